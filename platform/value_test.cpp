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
  EXPECT_EQ(Value(Array{}).int32Reading(), std::nullopt);
  EXPECT_EQ(Value(Data{1}).boolReading(), std::nullopt);
  EXPECT_EQ(Value(Date{1}).boolReading(), std::nullopt);
  EXPECT_EQ(Value(Uid{1}).int32Reading(), std::nullopt);
  EXPECT_EQ(Value(std::uint64_t{0xFFFFFFFF00000005}).int32Reading(), 5);
}

TEST(ValueReadings, StringsReadAsFoundationReadsThem) {
  struct Row {
    const char* text;
    bool boolValue;
    std::int32_t intValue;
  };
  for (const Row& row : std::initializer_list<Row>{
           {"YES", true, 0},
           {"yes", true, 0},
           {"true", true, 0},
           {"T", true, 0},
           {"NO", false, 0},
           {"no", false, 0},
           {"false", false, 0},
           {"", false, 0},
           {"0", false, 0},
           {"1", true, 1},
           {" 1", true, 1},
           {"\t\n-0007x", true, -7},
           {"+0", false, 0},
           {"00", false, 0},
           {"0009", true, 9},
           {"-", false, 0},
           {"42abc", true, 42},
           {"x1", false, 0},
           {" 2.9", true, 2},
           {"1e3", true, 1},
           {"99999999999", true, 2147483647},
           {"-99999999999", true, -2147483647 - 1},
           {"2147483647", true, 2147483647},
           {"-2147483648", true, -2147483647 - 1},
       }) {
    EXPECT_EQ(Value(row.text).boolReading(), row.boolValue) << row.text;
    EXPECT_EQ(Value(row.text).int32Reading(), row.intValue) << row.text;
  }
}

TEST(ValueReadings, OutOfRangeNumbersNeverOverflow) {
  // Wider integers keep their low 32 bits; reals saturate; NaN reads as 0.
  EXPECT_EQ(Value(std::int64_t{0x100000002}).int32Reading(), 2);
  EXPECT_EQ(Value(1e300).int32Reading(), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Value(-1e300).int32Reading(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Value(std::nan("")).int32Reading(), 0);
}

TEST(ValueReadings, SettingHelpersFallBackOnAbsentOrWrongType) {
  const Dictionary d = {
      {"enabled", Value("no")}, {"mode", Value(Array{})}, {"icon", Value(3)}, {"date", Value(Date{1})}};
  EXPECT_FALSE(boolSetting(d, "enabled", true));  // a string answers the reading
  EXPECT_TRUE(boolSetting(d, "date", true));      // a date has none: the fallback
  EXPECT_FALSE(boolSetting(d, "date", false));
  EXPECT_EQ(int32Setting(d, "mode", 1), 1);
  EXPECT_EQ(int32Setting(d, "icon", 1), 3);
  EXPECT_EQ(int32Setting(d, "missing", 7), 7);
  EXPECT_EQ(stringSetting(d, "enabled"), "no");
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
