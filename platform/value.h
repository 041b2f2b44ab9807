// The platform's property-list value: what preferences, property-list files and notification user
// info hold. One small type for all of them, so the extension reads values the way the platform's
// own `boolValue` and `intValue` would.
//
// Values are immutable once made, as the platform's property-list objects are: text (but the
// shortest), data, arrays, dictionaries and sets are held once and shared by every copy (a copy
// costs a reference count), and so are long dictionary keys. A property list whose objects refer to one object many
// times reads into one object referred to many times, not into as many copies.
#pragma once

#include <climits>
#include <compare>
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvane {

class Value;
// Which shared object a value or key holds, for the device's writers alone: defined in
// sim/plist/object_identity.h, which the extension's parts cannot include.
struct ObjectIdentity;

// Text up to this long is held in the value or key itself (copying it costs no more than sharing
// it would); longer text is held once and shared.
inline constexpr std::size_t kInlineText = 15;

// A dictionary key: immutable text; a long one is shared by every dictionary that holds the same
// key object.
class Key {
 public:
  Key(std::string s)  // NOLINT(google-explicit-constructor)
      : inline_(s.size() <= kInlineText ? std::move(s) : std::string()),
        // NOLINTNEXTLINE(bugprone-use-after-move): moved from only when inline_ did not take it
        shared_(inline_.empty() && !s.empty() ? std::make_shared<const std::string>(std::move(s)) : nullptr) {}
  Key(const char* s) : Key(std::string(s)) {}       // NOLINT(google-explicit-constructor)
  Key(std::string_view s) : Key(std::string(s)) {}  // NOLINT(google-explicit-constructor)

  const std::string& str() const { return shared_ ? *shared_ : inline_; }
  operator const std::string&() const { return str(); }  // NOLINT(google-explicit-constructor)
  operator std::string_view() const { return str(); }    // NOLINT(google-explicit-constructor)

  friend bool operator==(const Key& a, const Key& b) {
    return (a.shared_ != nullptr && a.shared_ == b.shared_) || a.str() == b.str();
  }
  friend std::strong_ordering operator<=>(const Key& a, const Key& b) { return a.str() <=> b.str(); }
  template <class T>
  requires(!std::same_as<T, Key> && std::convertible_to<const T&, std::string_view>) friend bool operator==(
      const Key& a, const T& b) {
    return std::string_view(a.str()) == std::string_view(b);
  }
  template <class T>
  requires(!std::same_as<T, Key> && std::convertible_to<const T&, std::string_view>) friend std::strong_ordering
  operator<=>(const Key& a, const T& b) {
    return std::string_view(a.str()) <=> std::string_view(b);
  }

 private:
  friend struct ObjectIdentity;
  std::string inline_;
  std::shared_ptr<const std::string> shared_;  // a long key's text, shared by every copy
};

using Array = std::vector<Value>;
using Dictionary = std::map<Key, Value, std::less<>>;
using Data = std::vector<std::uint8_t>;

// Seconds since 2001-01-01 00:00:00 UTC, the platform's reference date: any 64-bit real, as a
// binary property list stores it.
struct Date {
  double seconds = 0;
  bool operator==(const Date&) const = default;
};

// A keyed archive's object reference (CFKeyedArchiverUID): a property-list value with no reading.
struct Uid {
  std::uint64_t value = 0;
  bool operator==(const Uid&) const = default;
};

// A binary property list's null object (kCFNull): a value with no reading.
struct Null {
  bool operator==(const Null&) const = default;
};

// A binary property list's set (CFSet), its members in the order the file lists them: a value with
// no reading, which no settings key ever holds.
struct Set {
  std::vector<Value> members;
  bool operator==(const Set&) const;
};

class Value {
 public:
  // Integers are signed 64-bit; only those above INT64_MAX, which property lists also carry, are
  // held as unsigned, so each integer has exactly one form.
  using Storage = std::variant<bool, std::int64_t, std::uint64_t, double, std::string, Data, Date, Uid, Array,
                               Dictionary, Null, Set>;

  Value() : inline_(false) {}
  Value(bool b) : inline_(b) {}               // NOLINT(google-explicit-constructor)
  Value(int i) : inline_(std::int64_t{i}) {}  // NOLINT(google-explicit-constructor)
  Value(std::int64_t i) : inline_(i) {}       // NOLINT(google-explicit-constructor)
  Value(std::uint64_t u)                      // NOLINT(google-explicit-constructor)
      : inline_(u > static_cast<std::uint64_t>(INT64_MAX) ? Storage(u) : Storage(static_cast<std::int64_t>(u))) {}
  Value(double d) : inline_(d) {}                  // NOLINT(google-explicit-constructor)
  Value(const char* s) : Value(std::string(s)) {}  // NOLINT(google-explicit-constructor)
  Value(std::string s)                             // NOLINT(google-explicit-constructor)
      : inline_(s.size() <= kInlineText ? Storage(std::move(s)) : Storage(false)),
        // NOLINTNEXTLINE(bugprone-use-after-move): moved from only when inline_ did not take it
        shared_(std::holds_alternative<bool>(inline_) ? make(std::move(s)) : nullptr) {}
  Value(Data d) : shared_(make(std::move(d))) {}        // NOLINT(google-explicit-constructor)
  Value(Date d) : inline_(d) {}                         // NOLINT(google-explicit-constructor)
  Value(Uid u) : inline_(u) {}                          // NOLINT(google-explicit-constructor)
  Value(Array a) : shared_(make(std::move(a))) {}       // NOLINT(google-explicit-constructor)
  Value(Dictionary d) : shared_(make(std::move(d))) {}  // NOLINT(google-explicit-constructor)
  Value(Null n) : inline_(n) {}                         // NOLINT(google-explicit-constructor)
  Value(Set s) : shared_(make(std::move(s))) {}         // NOLINT(google-explicit-constructor)

  const Storage& storage() const { return shared_ ? *shared_ : inline_; }

  bool isBool() const { return std::holds_alternative<bool>(storage()); }
  bool isNumber() const {
    return std::holds_alternative<std::int64_t>(storage()) || std::holds_alternative<std::uint64_t>(storage()) ||
           std::holds_alternative<double>(storage());
  }
  const std::string* string() const { return std::get_if<std::string>(&storage()); }
  const Array* array() const { return std::get_if<Array>(&storage()); }
  const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage()); }
  // A dictionary to change: this value's own, copied first when another value shares it, so a
  // change is never seen through any other copy.
  Dictionary* dictionary();

  // `boolValue` of a number or boolean: "not zero"; of a string, NSString's: after leading white
  // space, an optional sign and zeros, true when it starts with "Y", "y", "T", "t" or 1 to 9.
  // Data, dates, UIDs, arrays, dictionaries, null and sets have no reading.
  std::optional<bool> boolReading() const;
  // `intValue` of a number or boolean: reals truncate toward zero (saturating), wider integers keep
  // their low 32 bits as the platform's 32-bit conversion does; of a string, NSString's: the leading
  // decimal integer (0 when there is none), saturating. Other types have no reading.
  std::optional<std::int32_t> int32Reading() const;

  // Equal content (shared objects compare equal at once).
  friend bool operator==(const Value& a, const Value& b) {
    return (a.shared_ != nullptr && a.shared_ == b.shared_) || a.storage() == b.storage();
  }

 private:
  friend struct ObjectIdentity;
  template <class T>
  static std::shared_ptr<Storage> make(T&& payload) {
    return std::make_shared<Storage>(std::forward<T>(payload));
  }

  Storage inline_;                   // booleans, numbers, dates, UIDs, null, short text
  std::shared_ptr<Storage> shared_;  // long text, data, arrays, dictionaries, sets
};

inline bool Set::operator==(const Set& other) const { return members == other.members; }

// A dictionary key that is not text. The binary format allows any object but a container as a key
// (CFBinaryPList.c, _plistIsPrimitive), and CoreFoundation reads such a dictionary as it stands; its
// writers refuse one (CFPropertyList.c: "property list dictionaries may only have keys which are
// CFStrings"). Such a key is spelled in bytes no text key holds (text is UTF-8; these begin with
// 0xFF), so it never equals a key looked up by name, and no writer here writes it either.
// `object` is a boolean, number, date, data, UID or null; nothing for text or a container.
std::optional<Key> objectKey(const Value& object);
// The object of such a key; nothing for a text key.
std::optional<Value> keyObject(const Key& key);

// Looks a key up; nullptr when absent.
const Value* find(const Dictionary& dictionary, std::string_view key);

// The boolean reading of `key`, or `fallback` when the key is absent or has no boolean reading.
bool boolSetting(const Dictionary& dictionary, std::string_view key, bool fallback);
// The 32-bit integer reading of `key`, or `fallback` when absent or without an integer reading.
std::int32_t int32Setting(const Dictionary& dictionary, std::string_view key, std::int32_t fallback);
// The string under `key`, or nothing when absent or not a string.
std::optional<std::string> stringSetting(const Dictionary& dictionary, std::string_view key);

// The string elements of an array, in order (other elements skipped); none for a value that is
// absent or not an array.
std::vector<std::string> stringElements(const std::optional<Value>& value);
std::vector<std::string> stringElements(const Value* value);

// The `%@` description the platform's log gives an object: a string as itself, an array as the
// platform's parenthesised, indented list; nothing as "(null)".
std::string describe(const std::optional<Value>& value);
std::string describe(const std::optional<std::vector<std::string>>& strings);

}  // namespace orvane
