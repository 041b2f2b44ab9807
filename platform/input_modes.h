// Thin helpers over the input-mode messages of UITextInputMode, fetched afresh at every call.
#pragma once

#include <string_view>
#include <vector>

#include "platform/uikit.h"

namespace orvane::platform {

inline constexpr std::string_view kIdentifierKey = "identifier";
inline constexpr std::string_view kDisplayNameKey = "displayName";

// [UITextInputMode activeInputModes]: never nil here, an absent list is an empty one.
inline ObjectList activeInputModes(objc::Class* textInputMode) {
  ObjectList list = objc::sendClass(textInputMode, sel::activeInputModes);
  return list ? list : std::make_shared<const std::vector<Id>>();
}

// [UITextInputMode currentInputMode]
inline Id currentInputMode(objc::Class* textInputMode) { return objc::sendClass(textInputMode, sel::currentInputMode); }

// [mode valueForKey:@"identifier"]; nil for an absent mode.
inline String identifierOf(const Id& inputMode) {
  return objc::send(inputMode, sel::valueForKey, std::string(kIdentifierKey));
}

// isEqualToString: with nil on either side equal to nothing.
inline bool isEqualToString(const String& a, const String& b) { return a && b && *a == *b; }
inline bool isEqualToString(const String& a, std::string_view b) { return a && *a == b; }
inline bool isEqualToString(const String& a, const std::string& b) { return a && *a == b; }

// The identifiers of the active input modes, fetched anew at every use and read afresh from the
// array each fetch answers: nothing read from one fetch serves another.
class ActiveIdentifiers {
 public:
  explicit ActiveIdentifiers(objc::Class* textInputMode) : textInputMode_(textInputMode) {}

  // Every active input mode's identifier, in the system's order.
  std::vector<String> fetch() const {
    const ObjectList list = activeInputModes(textInputMode_);
    std::vector<String> identifiers;
    identifiers.reserve(list->size());
    for (const Id& mode : *list) identifiers.push_back(identifierOf(mode));
    return identifiers;
  }

  // Fetches the active input modes anew and walks them in order until one has exactly this
  // identifier.
  bool fetchAndContain(std::string_view identifier) const {
    const ObjectList list = activeInputModes(textInputMode_);
    for (const Id& mode : *list) {
      if (isEqualToString(identifierOf(mode), identifier)) return true;
    }
    return false;
  }

 private:
  objc::Class* textInputMode_;
};

}  // namespace orvane::platform
