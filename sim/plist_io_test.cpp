#include "sim/plist_io.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvane::sim {
namespace {

Value everyKind() {
  return Value(Dictionary{
      {"bool", Value(false)},
      {"negative", Value(std::int64_t{-42})},
      {"large", Value(std::int64_t{1} << 40)},
      {"real", Value(2.5)},
      {"string", Value("en_US@hw=US;sw=QWERTY")},
      {"data", Value(Data{0, 1, 255})},
      {"date", Value(Date{86400})},
      {"array", Value(Array{Value(1), Value("two"), Value(Array{})})},
      {"dict", Value(Dictionary{{"nested", Value(true)}})},
  });
}

TEST(PlistIo, EveryKindSurvivesBothFormats) {
  for (PlistFormat format : {PlistFormat::kBinary, PlistFormat::kXml}) {
    auto parsed = parsePlist(serializePlist(everyKind(), format));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->format, format);
    EXPECT_EQ(parsed->value, everyKind());
  }
}

TEST(PlistIo, XmlWrittenByHandIsRead) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>mode</key><integer>-1</integer><key>enabled</key><false/></dict></plist>";
  auto parsed = parsePlist(xml);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->format, PlistFormat::kXml);
  EXPECT_EQ(parsed->value, Value(Dictionary{{"mode", Value(-1)}, {"enabled", Value(false)}}));
}

TEST(PlistIo, WhatIsNotAPropertyListReadsAsNothing) {
  EXPECT_FALSE(parsePlist(""));
  EXPECT_FALSE(parsePlist("not a plist at all"));
  EXPECT_FALSE(parsePlist(std::string("bplist00\x01\x02", 10)));
  EXPECT_FALSE(parsePlist(std::string(kMaxPlistBytes + 1, ' ')));
}

}  // namespace
}  // namespace orvane::sim

namespace orvane::sim {
namespace {

TEST(PlistIo, TextSurvivesARewriteAndWhatIsNotTextMakesTheListUnreadable) {
  const Value unicode(Dictionary{{"한국어", Value("emoji 🌐 é")}});
  for (PlistFormat format : {PlistFormat::kBinary, PlistFormat::kXml}) {
    auto parsed = parsePlist(serializePlist(unicode, format));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->value, unicode);
  }
  // An ASCII string object holding a byte above 0x7F (invalid UTF-8), in a key and in a value.
  const std::string xmlHead = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>";
  EXPECT_FALSE(parsePlist(xmlHead + "k\xff</key><string>v</string></dict></plist>"));
  EXPECT_FALSE(parsePlist(xmlHead + "k</key><string>v\xc1\xde</string></dict></plist>"));
  EXPECT_FALSE(parsePlist(xmlHead + "k</key><string>\xed\xa0\x80</string></dict></plist>"));  // a lone surrogate
  EXPECT_FALSE(parsePlist(xmlHead + "k</key><array><string>\xe2\x82</string></array></dict></plist>"));
}

}  // namespace
}  // namespace orvane::sim

namespace orvane::sim {
namespace {

TEST(PlistIo, AWriteThatWouldChangeADateIsRefusedAndOutOfRangeDatesNeverOverflow) {
  // Whole seconds travel in both formats; libplist 2.2 drops a date's fraction in XML and garbles a
  // negative one in binary, so those are refused rather than written changed.
  for (double seconds : {86400.0, -1234567.0, 2147483000.0}) {
    for (PlistFormat format : {PlistFormat::kBinary, PlistFormat::kXml}) {
      EXPECT_TRUE(serializeFaithfully(Value(Dictionary{{"d", Value(Date{seconds})}}), format)) << seconds;
    }
  }
  EXPECT_FALSE(serializeFaithfully(Value(Dictionary{{"d", Value(Date{0.5})}}), PlistFormat::kXml));
  EXPECT_FALSE(serializeFaithfully(Value(Dictionary{{"d", Value(Date{-0.5})}}), PlistFormat::kBinary));
  // Far outside what libplist can carry: written clamped, without overflow, and so refused.
  for (double seconds : {-1e12, 1e12, std::nan("")}) {
    EXPECT_FALSE(serializeFaithfully(Value(Dictionary{{"d", Value(Date{seconds})}}), PlistFormat::kBinary));
  }
  EXPECT_TRUE(serializeFaithfully(Value(Dictionary{{"k", Value("v")}, {"n", Value(2.5)}}), PlistFormat::kXml));
}

}  // namespace
}  // namespace orvane::sim
