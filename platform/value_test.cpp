#include "platform/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/nslog.h"

namespace orvane {
namespace {

TEST(ValueReadings, NumbersAndBooleansHaveBothReadingsOtherTypesNone) {
  EXPECT_EQ(Value(true).boolReading(), true);
  EXPECT_EQ(Value(0).boolReading(), false);
  EXPECT_EQ(Value(-3).boolReading(), true);
  EXPECT_EQ(Value(0.25).boolReading(), true);
  EXPECT_EQ(Value(true).int32Reading(), 1);
  EXPECT_EQ(Value(2.9).int32Reading(), 2);
  EXPECT_EQ(Value(-2.9).int32Reading(), -2);
  EXPECT_EQ(Value("1").boolReading(), std::nullopt);
  EXPECT_EQ(Value("1").int32Reading(), std::nullopt);
  EXPECT_EQ(Value(Array{}).int32Reading(), std::nullopt);
}

TEST(ValueReadings, OutOfRangeNumbersNeverOverflow) {
  // Wider integers keep their low 32 bits; reals saturate; NaN reads as 0.
  EXPECT_EQ(Value(std::int64_t{0x100000002}).int32Reading(), 2);
  EXPECT_EQ(Value(1e300).int32Reading(), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Value(-1e300).int32Reading(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Value(std::nan("")).int32Reading(), 0);
}

TEST(ValueReadings, SettingHelpersFallBackOnAbsentOrWrongType) {
  const Dictionary d = {{"enabled", Value("yes")}, {"mode", Value(Array{})}, {"icon", Value(3)}};
  EXPECT_TRUE(boolSetting(d, "enabled", true));
  EXPECT_FALSE(boolSetting(d, "enabled", false));
  EXPECT_EQ(int32Setting(d, "mode", 1), 1);
  EXPECT_EQ(int32Setting(d, "icon", 1), 3);
  EXPECT_EQ(int32Setting(d, "missing", 7), 7);
  EXPECT_EQ(stringSetting(d, "enabled"), "yes");
  EXPECT_EQ(stringSetting(d, "icon"), std::nullopt);
}

TEST(Describe, ListsLookLikeThePlatformsArrayDescription) {
  EXPECT_EQ(describe(std::optional<std::vector<std::string>>{{"en_US", "emoji@sw=Emoji"}}),
            "(\n    en_US,\n    \"emoji@sw=Emoji\"\n)");
  EXPECT_EQ(describe(std::optional<std::vector<std::string>>{}), "(null)");
  EXPECT_EQ(describe(std::optional<std::vector<std::string>>{std::vector<std::string>{}}), "(\n)");
  EXPECT_EQ(describe(std::optional<Value>(Value("de_DE"))), "de_DE");
}

TEST(FormatLog, ConversionsTakeArgumentsInOrder) {
  EXPECT_EQ(platform::formatLog("%s[Orvane] Vou mudar para %@%s", {"<", "en_US", ">"}),
            "<[Orvane] Vou mudar para en_US>");
  EXPECT_EQ(platform::formatLog("100%% %s", {}), "100% (null)");
}

}  // namespace
}  // namespace orvane
