#include "base/system_locale.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

namespace {

constexpr unsigned kPrimaryJapanese = 0x11;

const char* iconvName(unsigned codePage) { return codePage == 932 ? "CP932" : "CP1252"; }

// Runs iconv over the whole input; an input unit the target cannot take is
// skipped and replaced by what replace makes of it.
std::string convert(const char* to, const char* from, std::string_view input, size_t unit,
                    const std::function<std::string(std::string_view)>& replace) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    bugCheck("NOT_IMPLEMENTED", format("the host has no converter from %s to %s", from, to));
  }
  std::string output;
  std::vector<char> chunk(4096);
  auto* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft != 0) {
    char* out = chunk.data();
    size_t outLeft = chunk.size();
    size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    output.append(chunk.data(), chunk.size() - outLeft);
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // An invalid or unconvertible unit: replace it and go on after it.
    size_t skip = std::min(unit, inLeft);
    output.append(replace(std::string_view(in, skip)));
    in += skip;
    inLeft -= skip;
  }
  iconv_close(converter);
  return output;
}

}  // namespace

unsigned ansiCodePageOf(uint32_t lcid) { return (lcid & 0x3FF) == kPrimaryJapanese ? 932 : 1252; }

std::string toCodePage(unsigned codePage, std::u16string_view text) {
  std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
  return convert(iconvName(codePage), "UTF-16LE", bytes, sizeof(char16_t), [](std::string_view) { return "?"; });
}

std::u16string fromCodePage(unsigned codePage, std::string_view text) {
  // Bytes a code page leaves unassigned map to the same-numbered character, as Windows does.
  std::string bytes = convert("UTF-16LE", iconvName(codePage), text, 1, [](std::string_view unit) {
    return std::string{unit[0], '\0'};
  });
  std::u16string result(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(result.data(), bytes.data(), result.size() * sizeof(char16_t));
  return result;
}

uint32_t SystemLocale::lcid() {
  std::lock_guard<std::mutex> guard(lock_);
  return lcid_;
}

void SystemLocale::setLcid(uint32_t lcid) {
  std::lock_guard<std::mutex> guard(lock_);
  lcid_ = lcid;
}

unsigned SystemLocale::codePage() { return ansiCodePageOf(lcid()); }

std::string SystemLocale::toAnsi(std::u16string_view text) { return toCodePage(codePage(), text); }

std::u16string SystemLocale::fromAnsi(std::string_view text) { return fromCodePage(codePage(), text); }

}  // namespace nrv
