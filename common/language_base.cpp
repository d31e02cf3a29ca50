#include "language_base.h"

// The block for English, and for every language that has no block of its own.
#define ENGLISH_LANGUAGE_BASE 256

typedef struct {
  WORD PrimaryLanguage;
  // The block holds for this sublanguage only; ANY_SUBLANGUAGE for all the
  // sublanguages that no earlier row names.
  WORD Sublanguage;
  DWORD Base;
} LanguageBlock;

#define ANY_SUBLANGUAGE 0xFFFF

static const LanguageBlock LanguageBlocks[] = {
    {0x04, 1, 4096},                // Chinese (traditional)
    {0x04, ANY_SUBLANGUAGE, 4352},  // Chinese (simplified)
    {0x05, ANY_SUBLANGUAGE, 8192},  // Czech
    {0x06, ANY_SUBLANGUAGE, 5120},  // Danish
    {0x07, ANY_SUBLANGUAGE, 1024},  // German
    {0x08, ANY_SUBLANGUAGE, 6400},  // Greek
    {0x0A, 2, 1536},                // Spanish (Mexican)
    {0x0A, ANY_SUBLANGUAGE, 1280},  // Spanish
    {0x0C, ANY_SUBLANGUAGE, 512},   // French
    {0x0E, ANY_SUBLANGUAGE, 8448},  // Hungarian
    {0x10, ANY_SUBLANGUAGE, 768},   // Italian
    {0x11, ANY_SUBLANGUAGE, 2304},  // Japanese
    {0x12, ANY_SUBLANGUAGE, 4608},  // Korean
    {0x13, ANY_SUBLANGUAGE, 5376},  // Dutch
    {0x14, ANY_SUBLANGUAGE, 5632},  // Norwegian
    {0x15, ANY_SUBLANGUAGE, 6144},  // Polish
    {0x16, 1, 2048},                // Portuguese (Brazilian)
    {0x16, ANY_SUBLANGUAGE, 1792},  // Portuguese
    {0x19, ANY_SUBLANGUAGE, 4864},  // Russian
    {0x1D, ANY_SUBLANGUAGE, 5888},  // Swedish
};

DWORD LanguageBase(VOID) {
  // A language identifier is the low word of the locale: 10 bits of primary
  // language under 6 bits of sublanguage.
  WORD language = (WORD)(GetSystemDefaultLCID() & 0xFFFF);
  WORD primary = (WORD)(language & 0x3FF);
  WORD sublanguage = (WORD)(language >> 10);

  for (SIZE_T i = 0; i < sizeof(LanguageBlocks) / sizeof(LanguageBlocks[0]); i++) {
    const LanguageBlock *block = &LanguageBlocks[i];
    if (block->PrimaryLanguage == primary &&
        (block->Sublanguage == ANY_SUBLANGUAGE || block->Sublanguage == sublanguage)) {
      return block->Base;
    }
  }
  return ENGLISH_LANGUAGE_BASE;
}
