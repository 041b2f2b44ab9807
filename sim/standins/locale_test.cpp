#include "sim/standins/locale.h"

#include <gtest/gtest.h>

namespace orvane::sim {
namespace {

// CFLocale answers nil where ICU does not know the language; a region or script it does not know is
// named by its code, after the language's name.
TEST(Locale, NamesOnlyWhatTheLocaleServiceKnows) {
  EXPECT_EQ(localeDisplayName("en_US", "en"), "English (United States)");
  EXPECT_EQ(localeDisplayName("zh_Hant_TW", "en"), "Chinese (Traditional, Taiwan)");
  EXPECT_EQ(localeDisplayName("fr_FR", "fr"), "français (France)");
  EXPECT_EQ(localeDisplayName("xx", "en"), std::nullopt);
  EXPECT_EQ(localeDisplayName("xx_US", "en"), std::nullopt);  // not "xx (United States)"
  EXPECT_EQ(localeDisplayName("en_XX", "en"), "English (XX)");
  EXPECT_EQ(localeDisplayName("de_XY", "de"), "Deutsch (XY)");
  EXPECT_EQ(localeDisplayName("emoji", "en"), std::nullopt);
  EXPECT_EQ(localeDisplayName("", "en"), std::nullopt);
  // A keyboard the service cannot name is shown by its locale code.
  EXPECT_EQ(keyboardDisplayName("de_DE@sw=QWERTZ"), "German (Germany)");
  EXPECT_EQ(keyboardDisplayName("qq_QQ@sw=X"), "qq_QQ");
  EXPECT_EQ(keyboardDisplayName("fr_QQ@sw=AZERTY"), "French (QQ)");
}

}  // namespace
}  // namespace orvane::sim
