// Thin helpers over the input-mode messages of UITextInputMode, fetched afresh at every call.
#pragma once

#include <vector>

#include "platform/uikit.h"

namespace orvane::platform {

inline constexpr std::string_view kIdentifierKey = "identifier";
inline constexpr std::string_view kDisplayNameKey = "displayName";

// [UITextInputMode activeInputModes]
inline std::vector<Id> activeInputModes(objc::Class* textInputMode) {
  return objc::sendClass(textInputMode, sel::activeInputModes);
}

// [UITextInputMode currentInputMode]
inline Id currentInputMode(objc::Class* textInputMode) {
  return objc::sendClass(textInputMode, sel::currentInputMode);
}

// [mode valueForKey:@"identifier"]; nil for an absent mode.
inline String identifierOf(const Id& inputMode) {
  return objc::send(inputMode, sel::valueForKey, std::string(kIdentifierKey));
}

// isEqualToString: with nil on either side equal to nothing.
inline bool isEqualToString(const String& a, const String& b) { return a && b && *a == *b; }
inline bool isEqualToString(const String& a, std::string_view b) { return a && *a == b; }
inline bool isEqualToString(const String& a, const std::string& b) { return a && *a == b; }

}  // namespace orvane::platform
