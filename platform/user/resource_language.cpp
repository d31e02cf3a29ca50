#include "user/resource_language.h"

#include <algorithm>
#include <functional>

namespace nrv {

namespace {

constexpr LANGID kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
constexpr LANGID kNeutralDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
constexpr LANGID kNeutralSystemDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);
constexpr LANGID kUnitedStatesEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

using Preference = std::function<bool(LANGID)>;

Preference exactly(LANGID wanted) {
  return [wanted](LANGID language) { return language == wanted; };
}

Preference anyEnglish() {
  return [](LANGID language) { return PRIMARYLANGID(language) == LANG_ENGLISH; };
}

}  // namespace

LANGID chooseStringLanguage(const std::vector<LANGID>& available, OsProfile profile, LANGID locale) {
  std::vector<Preference> order;
  if (profile == OsProfile::Windows2000) {
    order = {exactly(kNeutral), exactly(locale),          exactly(kUnitedStatesEnglish),
             anyEnglish(),      exactly(kNeutralDefault), exactly(kNeutralSystemDefault)};
  } else {
    order = {exactly(kNeutral), exactly(kNeutralDefault),      exactly(kNeutralSystemDefault),
             exactly(locale),   exactly(kUnitedStatesEnglish), anyEnglish()};
  }
  for (const Preference& preferred : order) {
    auto found = std::find_if(available.begin(), available.end(), preferred);
    if (found != available.end()) return *found;
  }
  return available.front();
}

}  // namespace nrv
