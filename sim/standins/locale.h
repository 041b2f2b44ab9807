// The locale service, from ICU: names of locales and the capitalisation of strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvane::sim {

// The name of `localeIdentifier` written in `displayLocale`'s language; nothing when ICU knows
// neither its language nor any other part of it.
std::optional<std::string> localeDisplayName(std::string_view localeIdentifier, std::string_view displayLocale);
// The display name an enabled keyboard gets: its locale's name in English, else the locale itself.
std::string keyboardDisplayName(std::string_view identifier);
// Title case of every word: first letter upper case, the rest lower case.
std::string capitalizedString(std::string_view s);

}  // namespace orvane::sim
