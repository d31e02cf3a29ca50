#include "user/locale_compare.h"

#include <string>

namespace nrv {

namespace {

char16_t foldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c == 0x152 || c == 0x160 || c == 0x17D) return static_cast<char16_t>(c + 1);
  if (c == 0x178) return 0xFF;
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
  return c;
}

bool ignoredAtFirst(char16_t c) { return c == u'-' || c == u'\''; }

// Symbols, then digits, then letters, then everything beyond ASCII.
unsigned primaryWeight(char16_t c) {
  char16_t folded = foldCase(c);
  if (folded >= u'0' && folded <= u'9') return 0x10000 + folded;
  if (folded >= u'a' && folded <= u'z') return 0x20000 + folded;
  if (folded < 0x80) return folded;
  return 0x30000 + folded;
}

std::u16string withoutIgnored(std::u16string_view text) {
  std::u16string kept;
  for (char16_t c : text) {
    if (!ignoredAtFirst(c)) kept += c;
  }
  return kept;
}

int sign(long difference) { return difference < 0 ? -1 : difference > 0 ? 1 : 0; }

int comparePrimary(const std::u16string& first, const std::u16string& second) {
  for (size_t index = 0; index < first.size() && index < second.size(); index++) {
    int order = sign(long(primaryWeight(first[index])) - long(primaryWeight(second[index])));
    if (order != 0) return order;
  }
  return sign(long(first.size()) - long(second.size()));
}

// The strings are equal without case here: the first lowercase letter against a capital decides.
int compareCase(const std::u16string& first, const std::u16string& second) {
  for (size_t index = 0; index < first.size(); index++) {
    if (first[index] == second[index]) continue;
    return foldCase(first[index]) == first[index] ? -1 : 1;
  }
  return 0;
}

std::u16string folded(std::u16string_view text) {
  std::u16string result(text);
  for (char16_t& c : result) c = foldCase(c);
  return result;
}

}  // namespace

int compareForLocale(std::u16string_view first, std::u16string_view second, bool ignoreCase) {
  std::u16string firstKept = withoutIgnored(first);
  std::u16string secondKept = withoutIgnored(second);
  int order = comparePrimary(firstKept, secondKept);
  if (order != 0) return order;
  if (!ignoreCase) {
    order = compareCase(firstKept, secondKept);
    if (order != 0) return order;
  }
  // Equal but for hyphens and apostrophes: the string with fewer of them first.
  if (first.size() != second.size()) return first.size() < second.size() ? -1 : 1;
  std::u16string a = ignoreCase ? folded(first) : std::u16string(first);
  std::u16string b = ignoreCase ? folded(second) : std::u16string(second);
  return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace nrv
