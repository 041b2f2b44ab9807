#include "sim/standins/locale.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <memory>

#include "sim/standins/host.h"

namespace orvane::sim {

std::optional<std::string> localeDisplayName(std::string_view localeIdentifier, std::string_view displayLocale) {
  const std::string id(localeIdentifier);
  const icu::Locale locale(id.c_str());
  if (locale.isBogus() || id.empty()) return std::nullopt;
  const icu::Locale in{std::string(displayLocale).c_str()};
  icu::UnicodeString name;
  locale.getDisplayName(in, name);
  std::string out;
  name.toUTF8String(out);
  // ICU echoes what it cannot name; an echo of the bare identifier is no name at all.
  if (out.empty() || out == id) return std::nullopt;
  return out;
}

std::string keyboardDisplayName(std::string_view identifier) {
  const std::string_view locale = identifierPrefix(identifier);
  auto name = localeDisplayName(locale, "en");
  return name ? *name : std::string(locale);
}

std::string capitalizedString(std::string_view s) {
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  text.toTitle(nullptr, icu::Locale::getRoot());
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace orvane::sim
