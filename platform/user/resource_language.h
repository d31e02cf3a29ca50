// Which language of a string table block LoadString takes when the block
// exists in several. The system tries, in turn (the thread's locale being the
// system default locale on this machine, which has no other):
//   Windows 2000: neutral, the locale's language, U.S. English, any English,
//                 neutral with the default sublanguage, neutral with the
//                 system default sublanguage, then whatever comes first;
//   Windows 98:   the three neutral forms first, then the locale's language,
//                 U.S. English, any English, then whatever comes first.
#pragma once

#include <windows.h>

#include <vector>

#include "base/os_profile.h"

namespace nrv {

// available: the block's languages, ascending, at least one.
LANGID chooseStringLanguage(const std::vector<LANGID>& available, OsProfile profile, LANGID locale);

}  // namespace nrv
