// The system default locale, which a running machine may change at any time
// (as the control panel does), and the ANSI code page that goes with it:
// 932 on a Japanese system, 1252 on every other this machine plays.
// Conversions between that code page and UTF-16 use the host's iconv.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace nrv {

class SystemLocale {
 public:
  static constexpr uint32_t kUnitedStates = 0x0409;

  uint32_t lcid();
  void setLcid(uint32_t lcid);
  unsigned codePage();

  // Text in the ANSI code page. Characters the code page lacks become '?', as
  // the system's conversion does by default.
  std::string toAnsi(std::u16string_view text);
  std::u16string fromAnsi(std::string_view text);

 private:
  std::mutex lock_;
  uint32_t lcid_ = kUnitedStates;
};

// The ANSI code page of a locale: 932 for Japanese, else 1252.
unsigned ansiCodePageOf(uint32_t lcid);
std::string toCodePage(unsigned codePage, std::u16string_view text);
std::u16string fromCodePage(unsigned codePage, std::string_view text);

}  // namespace nrv
