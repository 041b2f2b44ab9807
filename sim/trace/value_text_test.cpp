#include "sim/trace/value_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvane::sim {
namespace {

TEST(ValueText, ReadsEveryKind) {
  auto parsed = parseValueText(
      R"({enabled: true, mode: -2, real: 1.5, SelectedKeyboards: [en_US@hw=US;sw=QWERTY, "two words"], data: <00ff>})");
  ASSERT_TRUE(parsed.value) << parsed.error;
  const Value expected(Dictionary{
      {"enabled", Value(true)},
      {"mode", Value(-2)},
      {"real", Value(1.5)},
      {"SelectedKeyboards", Value(Array{Value("en_US@hw=US;sw=QWERTY"), Value("two words")})},
      {"data", Value(Data{0x00, 0xff})},
  });
  EXPECT_EQ(*parsed.value, expected);
}

TEST(ValueText, QuotedNumbersAndKeywordsStayStrings) {
  EXPECT_EQ(*parseValueText(R"("1")").value, Value("1"));
  EXPECT_EQ(*parseValueText(R"("true")").value, Value("true"));
  EXPECT_EQ(*parseValueText(R"("\e[0m\x41")").value, Value("\x1b[0mA"));
}

TEST(ValueText, FormatReadsBackAsTheSameValue) {
  const Value v(Dictionary{
      {"k y", Value(Array{Value("1"), Value(1), Value(1.0), Value("a\"b"), Value("")})},
      {"wide", Value(Array{Value(std::uint64_t{18446744073709551615U}), Value(INT64_MIN)})},
      {"dates", Value(Array{Value(Date{0}), Value(Date{-3187296000.0}), Value(Date{0.5}), Value(Date{1e300})})},
      {"uid", Value(Uid{42})},
      {"null", Value(Null{})},
      {"set", Value(Set{{Value("a"), Value(Set{}), Value(Null{})}})},
      {"null()", Value("null()")},
      {"date(", Value("date(")}});
  auto parsed = parseValueText(formatValueText(v));
  ASSERT_TRUE(parsed.value) << parsed.error;
  EXPECT_EQ(*parsed.value, v);
}

TEST(ValueText, MalformedTextIsAnErrorNotACrash) {
  for (const char* bad : {"", "[1, 2", "{a 1}", "\"open", "<0>", "<zz>", "[1] trailing", "{a: }", "\"\\x4\"",
                          "date(2001-13-01T00:00:00Z)", "date(", "uid(-1)", "uid(x)"}) {
    auto parsed = parseValueText(bad);
    EXPECT_FALSE(parsed.value) << bad;
    EXPECT_FALSE(parsed.error.empty()) << bad;
  }
  EXPECT_FALSE(parseValueText(std::string(1000, '[')).value);
}

// A real NaN or infinity prints tagged, never as the strings "nan" or "inf", and reads back bit for
// bit; a number no integer or real can hold is an error naming it, never a string.
TEST(ValueText, NonFiniteRealsAreNotStringsAndOutOfRangeNumbersAreErrors) {
  EXPECT_EQ(formatValueText(Value(std::numeric_limits<double>::quiet_NaN())), "real(nan)");
  EXPECT_EQ(formatValueText(Value(-std::numeric_limits<double>::infinity())), "real(-inf)");
  EXPECT_EQ(formatValueText(Value("nan")), "nan");
  EXPECT_EQ(*parseValueText("nan").value, Value("nan"));
  EXPECT_EQ(*parseValueText("real(inf)").value, Value(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(*parseValueText("real(2.5)").value, Value(2.5));
  const auto nan = parseValueText("real(nan)");
  ASSERT_TRUE(nan.value);
  EXPECT_TRUE(std::isnan(std::get<double>(nan.value->storage())));
  for (const char* text :
       {"18446744073709551616", "-9223372036854775809", "1e999", "-1e999", "[1, 99999999999999999999]"}) {
    const auto parsed = parseValueText(text);
    EXPECT_FALSE(parsed.value) << text;
    EXPECT_NE(parsed.error.find("number out of range"), std::string::npos) << text << ": " << parsed.error;
  }
  EXPECT_EQ(*parseValueText("18446744073709551615").value, Value(std::numeric_limits<std::uint64_t>::max()));
}

}  // namespace
}  // namespace orvane::sim
