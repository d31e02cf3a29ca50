// String comparison as lstrcmpA and lstrcmpiA make it: by the system
// locale's sort order, not by byte values. What this machine implements of it:
//   - characters sort as symbols, then digits, then letters, then the rest of
//     the code page in character order (so "_" < "1" < "a" < "B" < "é");
//   - letters compare without case first; ASCII, the Latin-1 letters and the
//     full-width Latin letters fold;
//   - "-" and "'" are passed over at first, as word sort does ("co-op" sorts
//     beside "coop");
//   - among strings equal so far, a lowercase letter sorts before its capital
//     at the first difference (lstrcmpA only), then the string with fewer
//     hyphens and apostrophes, and then the text itself decides, so only
//     equal strings (equal ignoring case, for lstrcmpiA) compare as equal.
// Accents are not given their own weight: an accented letter sorts after z.
#pragma once

#include <string_view>

namespace nrv {

// -1, 0 or 1, for text already in UTF-16.
int compareForLocale(std::u16string_view first, std::u16string_view second, bool ignoreCase);

}  // namespace nrv
