// Thin helpers over the input-mode messages of UITextInputMode, fetched afresh at every call.
#pragma once

#include <string_view>
#include <unordered_set>
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
// identifiers read from it then still stand and are not asked for again; nor is the index that
// answers "is this identifier active?" in constant time, rebuilt only for a different array.
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
      indexed_ = false;
    }
    return identifiers_;
  }

  // Fetches the active input modes anew and tells whether one has exactly this identifier.
  bool fetchAndContain(std::string_view identifier) {
    fetch();
    if (!indexed_) {
      index_.clear();
      for (const String& id : identifiers_) {
        if (id) index_.insert(*id);
      }
      indexed_ = true;
    }
    return index_.contains(identifier);
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  objc::Class* textInputMode_;
  ObjectList array_;
  std::vector<String> identifiers_;
  std::unordered_set<std::string, Hash, std::equal_to<>> index_;
  bool indexed_ = false;
};

}  // namespace orvane::platform
