// Fields taken out of IEEE 1284 device IDs, on the monitor's own extraction.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <random>
#include <string>

#include "id_field_rule.h"
#include "nrvusbmn.h"

namespace {

// The field as the scan asks for it: long key, short key, at most 255 characters.
// Unset when the ID has neither key.
std::optional<std::string> Field(const std::string& id, const char* key, const char* shortKey) {
  char output[ID_FIELD_MAX_LENGTH + 2];
  std::fill(std::begin(output), std::end(output), '#');
  if (!ExtractIdField(id.c_str(), key, shortKey, output, ID_FIELD_MAX_LENGTH)) {
    EXPECT_EQ(output[0], '#') << "nothing is written for a field that is not there";
    return std::nullopt;
  }
  EXPECT_EQ(output[ID_FIELD_MAX_LENGTH + 1], '#') << "the output holds 255 characters and a NUL";
  return std::string(output);
}

std::optional<std::string> Description(const std::string& id) { return Field(id, "DESCRIPTION", "DES"); }
std::optional<std::string> Model(const std::string& id) { return Field(id, "MODEL", "MDL"); }

TEST(ExtractIdField, TakesTheValueOfTheLongOrShortKey) {
  EXPECT_EQ(Description("MFG:ABC;MDL:P100;DES:ABC P100 Laser;"), "ABC P100 Laser");
  EXPECT_EQ(Model("MFG:ABC;MDL:P100;"), "P100");
  EXPECT_EQ(Description("MFG:ABC;MDL:P100;"), std::nullopt);
  EXPECT_EQ(Model("MANUFACTURER:ABC;MODEL:Long Name;MDL:Short;"), "Long Name");
}

TEST(ExtractIdField, TheLongKeyWinsWhereverItStands) {
  EXPECT_EQ(Model("MDL:Short;MODEL:Long;"), "Long");
}

TEST(ExtractIdField, AnEmptyValueIsFound) {
  EXPECT_EQ(Description("MFG:ABC;DES:;MDL:P100;"), "");
  EXPECT_EQ(Description("DES:"), "");
}

TEST(ExtractIdField, AValueWithoutSemicolonRunsToTheEnd) {
  EXPECT_EQ(Description("MFG:ABC;DES:Last Field"), "Last Field");
}

TEST(ExtractIdField, ALongValueIsCutTo255Characters) {
  const std::string value(300, 'x');
  EXPECT_EQ(Description("DES:" + value + ";"), std::string(255, 'x'));
  EXPECT_EQ(Description("DES:" + value), std::string(255, 'x'));
  EXPECT_EQ(Description("DES:" + std::string(255, 'y') + ";"), std::string(255, 'y'));
}

// The search is a plain substring search, case-sensitive and not anchored to the
// start of a field: the same rule the driver applies to the same text.
TEST(ExtractIdField, KeysAreFoundAnywhereAndCaseSensitively) {
  EXPECT_EQ(Model("CMD:PCL;XMDL:inside;"), "inside");
  EXPECT_EQ(Model("MFG:ABC;mdl:lower;"), std::nullopt);
  // The first ':' after the key ends the key, even one in a later field.
  EXPECT_EQ(Model("MDL;CMD:PCL;"), "PCL");
}

TEST(ExtractIdField, AKeyWithoutColonIsNoField) {
  EXPECT_EQ(Model("MFG;MDL"), std::nullopt);
  EXPECT_EQ(Description(""), std::nullopt);
}

// Random IDs made of the characters that matter, against the rule written out apart.
TEST(ExtractIdField, AgreesWithTheRuleOnRandomIds) {
  const std::string alphabet = "DESCRIPTIONMDL:;; ab";
  std::mt19937 random(1284);  // fixed seed: the same IDs every run
  for (int round = 0; round < 20000; ++round) {
    std::string id;
    const size_t length = random() % (round % 10 == 0 ? 600 : 40);
    for (size_t i = 0; i < length; ++i) id.push_back(alphabet[random() % alphabet.size()]);
    ASSERT_EQ(Description(id), idFieldByRule(id, "DESCRIPTION", "DES")) << id;
    ASSERT_EQ(Model(id), idFieldByRule(id, "MODEL", "MDL")) << id;
  }
}

}  // namespace
