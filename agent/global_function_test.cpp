#include "agent/global_function.h"

#include <gtest/gtest.h>

#include "rig/rig.h"
#include "settings/text.h"

namespace orvane {
namespace {

TEST(PlatformLength, CountsUtf16CodeUnits) {
  EXPECT_EQ(platformLength(""), 0u);
  EXPECT_EQ(platformLength("en_US"), 5u);
  EXPECT_EQ(platformLength("\xc3\xa9t\xc3\xa9"), 3u);  // été
  EXPECT_EQ(platformLength("\xf0\x9f\x8c\x90x"), 3u);  // a globe emoji is a surrogate pair
}

// Whether a will-show with this "DefaultKeyboard" queues the switch.
bool appliesDefault(const Value& defaultKeyboard) {
  rig::Rig device;
  device.keyboards({"en_US", "fr_FR"});
  device.writeSettings({{"DefaultKeyboard", defaultKeyboard}});
  sim::LocalProcess& app = device.start("com.example.app");
  app.showKeyboard();
  return app.pendingTasks() == 1;
}

TEST(DefaultKeyboard, OnlyValuesLongerThanFourCharactersAreApplied) {
  EXPECT_FALSE(appliesDefault(Value("emoj")));
  EXPECT_TRUE(appliesDefault(Value("emoji")));
  EXPECT_FALSE(appliesDefault(Value("\xf0\x9f\x8c\x90\xf0\x9f\x8c\x90")));  // two characters, four units
  EXPECT_TRUE(appliesDefault(Value("\xf0\x9f\x8c\x90\xf0\x9f\x8c\x90x")));
  EXPECT_FALSE(appliesDefault(Value(123456)));  // not a string: no default keyboard
  EXPECT_FALSE(appliesDefault(Value(Array{Value("en_US")})));
}

TEST(Agent, ExistsBeforeTheSystemsApplicationMainIsEntered) {
  rig::Rig device;
  device.keyboards({"en_US"});
  device.start("com.example.app");
  std::vector<std::string> kinds;
  for (const auto& e : device.device().trace().events()) {
    if (e.kind == "distributed-observe" || e.kind == "application-main") kinds.push_back(e.kind);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"distributed-observe", "distributed-observe", "distributed-observe",
                                             "application-main"}));
}

TEST(Agent, TheShownFlagBelongsToEachProcess) {
  rig::Rig device;
  device.keyboards({"en_US", "fr_FR"});
  device.writeSettings({{"DefaultKeyboard", Value("fr_FR")}});
  sim::LocalProcess& one = device.start("com.example.one");
  sim::LocalProcess& two = device.start("com.example.two");
  one.showKeyboard();
  two.showKeyboard();
  device.device().runUntilIdle();
  EXPECT_EQ(one.currentInputMode(), "fr_FR");
  EXPECT_EQ(two.currentInputMode(), "fr_FR");
}

}  // namespace
}  // namespace orvane
