#include "cli/scenario.h"

#include <gtest/gtest.h>

#include "tests/test_device.h"

namespace orvane::cli {
namespace {

TEST(ScenarioLanguage, AHeldExpectationExitsZero) {
  testing::TestDevice device;
  EXPECT_EQ(device.runScript("keyboards en_US fr_FR\nstart com.example.a\nexpect input-mode com.example.a en_US\n"), 0);
}

TEST(ScenarioLanguage, AFailedExpectationSaysWhereWhatAndWhatWasFoundAndExitsOne) {
  testing::TestDevice device;
  std::string errors;
  const int status = device.runScript(
      "keyboards en_US fr_FR\nstart com.example.a\nexpect input-mode com.example.a fr_FR\n"
      "expect setting mode 2\nexpect input-mode com.example.a en_US\n",
      &errors);
  EXPECT_EQ(status, 1);
  EXPECT_NE(errors.find("test:3: expected input mode fr_FR in com.example.a, found en_US"), std::string::npos) << errors;
  EXPECT_NE(errors.find("test:4: expected setting mode = 2, found no readable settings file"), std::string::npos)
      << errors;
}

TEST(ScenarioLanguage, ABadLineStopsTheRunWithItsPlaceAndExitsTwo) {
  for (const char* bad : {"frobnicate", "tap com.example.none globe", "settings write {mode: ", "version x",
                          "expect event", "start", "post springboard sideways x", "file write ../x 1",
                          "pref set a/b k 1", "tap springboard \"unterminated"}) {
    testing::TestDevice device;
    std::string errors;
    const std::string script = std::string("start springboard\n") + bad + "\nexpect input-mode springboard nothing\n";
    EXPECT_EQ(device.runScript(script, &errors), 2) << bad;
    EXPECT_EQ(errors.rfind("test:2: ", 0), 0u) << bad << " -> " << errors;
  }
}

TEST(ScenarioLanguage, EventExpectationsFollowTheOrderOfTheTrace) {
  testing::TestDevice device;
  const std::string setup = "keyboards en_US\nstart springboard\npost springboard darwin a\npost springboard darwin b\n";
  EXPECT_EQ(device.runScript(setup + "expect event springboard darwin-post name=a\n"
                                     "expect event springboard darwin-post name=b\n"),
            0);
  testing::TestDevice reversed;
  EXPECT_EQ(reversed.runScript(setup + "expect event springboard darwin-post name=b\n"
                                       "expect event springboard darwin-post name=a\n"),
            1);
}

}  // namespace
}  // namespace orvane::cli
