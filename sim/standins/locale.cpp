#include "sim/standins/locale.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <memory>

#include "sim/standins/host.h"

namespace orvane::sim {

std::optional<std::string> localeDisplayName(std::string_view localeIdentifier, std::string_view displayLocale) {
  // As CFLocale names a locale (CFLocale.c, __CFLocaleFullName): ICU's full name; where ICU had to
  // fall back to the codes themselves for some part of it (U_USING_DEFAULT_WARNING), that name still
  // stands when ICU knows the language's own name ("English (XX)"), and there is none when it does
  // not ("xx (United States)" is never given).
  const std::string id(localeIdentifier);
  const std::string in(displayLocale);
  if (id.empty()) return std::nullopt;
  constexpr int32_t kMaxICUNameSize = 1024;  // CFLocale's own buffer
  UChar name[kMaxICUNameSize];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t size = uloc_getDisplayName(id.c_str(), in.c_str(), name, kMaxICUNameSize, &status);
  if (U_FAILURE(status) || size <= 0) return std::nullopt;
  if (status == U_USING_DEFAULT_WARNING) {
    UChar language[kMaxICUNameSize];
    UErrorCode languageStatus = U_ZERO_ERROR;
    uloc_getDisplayLanguage(id.c_str(), in.c_str(), language, kMaxICUNameSize, &languageStatus);
    if (U_FAILURE(languageStatus) || languageStatus == U_USING_DEFAULT_WARNING) return std::nullopt;
  }
  std::string out;
  icu::UnicodeString(name, size).toUTF8String(out);
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
