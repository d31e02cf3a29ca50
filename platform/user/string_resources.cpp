// user32's LoadStringA: a string of the module's own string table, in the
// block's language the system's loader would choose, converted to the
// system's ANSI code page. A string that is not there gives 0 and the loader's
// error: ERROR_RESOURCE_DATA_NOT_FOUND for an instance that is no module of
// the process or one without resources, ERROR_RESOURCE_TYPE_NOT_FOUND for a
// module without a string table, ERROR_RESOURCE_NAME_NOT_FOUND for a missing
// block. An empty slot of a block that exists gives 0 and an empty string and
// leaves the last error alone, as success does.
#include <windows.h>

#include <cstring>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/system_locale.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "user/module_resources.h"
#include "user/process.h"
#include "user/resource_language.h"

namespace {

constexpr uint16_t kStringTable = 6;  // RT_STRING
constexpr size_t kStringsPerBlock = 16;

// The string's slot in its block: each slot a 16-bit length and that many
// UTF-16 units. False when the block is cut short.
bool stringInBlock(const std::vector<uint8_t>& block, unsigned slot, std::u16string* text) {
  size_t at = 0;
  for (unsigned index = 0;; index++) {
    uint16_t length;
    if (block.size() - at < sizeof(length)) return false;
    std::memcpy(&length, &block[at], sizeof(length));
    at += sizeof(length);
    if ((block.size() - at) / sizeof(char16_t) < length) return false;
    if (index == slot) {
      text->resize(length);
      std::memcpy(text->data(), &block[at], length * sizeof(char16_t));
      return true;
    }
    at += length * sizeof(char16_t);
  }
}

// The text in the ANSI code page, cut to what fits in `room` bytes without
// splitting a double-byte character.
std::string fitted(nrv::SystemLocale& locale, const std::u16string& text, size_t room) {
  unsigned codePage = locale.codePage();
  std::string whole = nrv::toCodePage(codePage, text);
  if (whole.size() <= room) return whole;
  std::string cut;
  for (size_t at = 0; at < text.size();) {
    size_t units = (text[at] >= 0xD800 && text[at] < 0xDC00 && at + 1 < text.size()) ? 2 : 1;
    std::string character = nrv::toCodePage(codePage, std::u16string_view(text).substr(at, units));
    if (cut.size() + character.size() > room) break;
    cut += character;
    at += units;
  }
  return cut;
}

}  // namespace

extern "C" {

WINUSERAPI int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  static const char* const kRoutine = "LoadStringA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  nrv::ThreadRecord& thread = nrv::currentThread(kRoutine);
  // Unlike LoadStringW, LoadStringA has no form that hands out the resource itself.
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    nrv::bugCheck(
        "INVALID_PARAMETER",
        nrv::format("LoadStringA from %s: string %u was asked for into a buffer of %d characters at %p",
                    nrv::describeCodeAddress(__builtin_return_address(0)).c_str(), uID, cchBufferMax,
                    static_cast<void*>(lpBuffer)));
  }
  if (hInstance == nullptr) {
    nrv::bugCheck("NOT_IMPLEMENTED",
                  "LoadStringA: the process's own image (instance NULL) has no resources on this machine");
  }
  nrv::UserModule* module = process.moduleOf(hInstance);
  if (module == nullptr || module->resources == nullptr) {
    thread.lastError = ERROR_RESOURCE_DATA_NOT_FOUND;
    return 0;
  }
  const nrv::ModuleResources& resources = *module->resources;
  if (!resources.hasType(kStringTable)) {
    thread.lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return 0;
  }
  // Resource identifiers are 16 bits: a larger one names no block.
  auto block = static_cast<uint16_t>(uID / kStringsPerBlock + 1);
  std::vector<LANGID> languages =
      uID > 0xFFFF ? std::vector<LANGID>() : resources.languages(kStringTable, block);
  if (languages.empty()) {
    thread.lastError = ERROR_RESOURCE_NAME_NOT_FOUND;
    return 0;
  }
  nrv::UserServices& services = process.services();
  LANGID language =
      nrv::chooseStringLanguage(languages, services.profile, LANGIDFROMLCID(services.locale.lcid()));
  std::u16string text;
  if (!stringInBlock(resources.data(kStringTable, block, language), uID % kStringsPerBlock, &text)) {
    nrv::bugCheck("BAD_IMAGE_RESOURCES",
                  nrv::format("LoadStringA: block %u of the string table of %s is cut short", block,
                              module->name.c_str()));
  }
  std::string ansi = fitted(services.locale, text, static_cast<size_t>(cchBufferMax) - 1);
  std::memcpy(lpBuffer, ansi.data(), ansi.size());
  lpBuffer[ansi.size()] = '\0';
  return static_cast<int>(ansi.size());
}

}  // extern "C"
