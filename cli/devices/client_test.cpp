#include "cli/devices/client.h"

#include <gtest/gtest.h>

#include "cli/devices/places.h"

namespace orvane::cli::devices {
namespace {

// The device's answers are read back exactly, whatever their texts hold: escapes, characters past
// the BMP as surrogate pairs, members that are arrays or objects, keys that also appear as values
// or deeper down.
TEST(DeviceClient, ReadsTheDevicesAnswersBackExactly) {
  const std::string answer =
      R"({"status":1,"out":"a \"quoted\" line\n\ttab \\ \u00e9 \ud83d\ude00","err":"out",)"
      R"("processes":[{"name":"SpringBoard","out":"x"},{"name":"a,b]"}],"next":42, "deep":{"status":9}})";
  EXPECT_EQ(jsonMember(answer, "status"), "1");
  EXPECT_EQ(jsonMember(answer, "out"), "a \"quoted\" line\n\ttab \\ \xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(jsonMember(answer, "err"), "out");  // "out" as a value is not the key
  EXPECT_EQ(jsonMember(answer, "next"), "42");
  EXPECT_EQ(jsonMember(answer, "deep"), R"({"status":9})");
  EXPECT_EQ(jsonMember(answer, "missing"), std::nullopt);
  const auto items = jsonItems(*jsonMember(answer, "processes"));
  ASSERT_EQ(items.size(), 2U);
  EXPECT_EQ(jsonMember(items[0], "name"), "SpringBoard");
  EXPECT_EQ(jsonMember(items[1], "name"), "a,b]");
  EXPECT_EQ(jsonItems(R"(["en_US@hw=US;sw=QWERTY","ru_RU"])").size(), 2U);
  EXPECT_EQ(jsonText(R"("en\u005fUS")"), "en_US");
  EXPECT_TRUE(jsonItems("[]").empty());
  // Cut short or malformed: nothing, never a read past the end.
  for (const char* broken : {R"({"out":"unended)", R"({"out":"\u12)", R"({"out":"\uZZZZ"})", R"({"a":[1,2)", "["}) {
    EXPECT_EQ(jsonMember(broken, "out"), std::nullopt) << broken;
    jsonItems(broken);
  }
  EXPECT_EQ(jsonText(R"("a" "b")"), std::nullopt);
}

TEST(DeviceClient, QueryValuesAndNamesAreSafe) {
  EXPECT_EQ(queryValue("a b&c=d/é"), "a%20b%26c%3Dd%2F%C3%A9");
  for (const char* good : {"default", "phone-2", "a.b_c", "9"}) EXPECT_EQ(nameError(good), "") << good;
  for (const char* bad : {"", ".", "..", ".x", "-x", "a/b", "a b", "booted", "x.scn", "é"}) {
    EXPECT_NE(nameError(bad), "") << bad;
  }
  EXPECT_NE(nameError(std::string(65, 'a')), "");
  EXPECT_EQ(nameError(std::string(64, 'a')), "");
}

}  // namespace
}  // namespace orvane::cli::devices
