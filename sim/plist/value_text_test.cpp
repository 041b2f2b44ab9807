#include "sim/plist/value_text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace orvane::sim
