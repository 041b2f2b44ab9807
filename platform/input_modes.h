// Thin helpers over the input-mode messages of UITextInputMode, fetched afresh at every call.
#pragma once

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

// The identifiers of the active input modes, fetched anew at every use. The platform's array and
// its input modes are immutable, so while a fetch answers the very array of the previous one, the
// identifiers read from it then still stand and are not asked for again.
class ActiveIdentifiers {
 public:
  explicit ActiveIdentifiers(objc::Class* textInputMode) : textInputMode_(textInputMode) {}

  const std::vector<String>& fetch() {
    ObjectList list = activeInputModes(textInputMode_);
    if (list != array_) {
      identifiers_.clear();
      identifiers_.reserve(list->size());
      for (const Id& mode : *list) identifiers_.push_back(identifierOf(mode));
      array_ = std::move(list);
    }
    return identifiers_;
  }

 private:
  objc::Class* textInputMode_;
  ObjectList array_;
  std::vector<String> identifiers_;
};

}  // namespace orvane::platform
