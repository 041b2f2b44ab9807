// The platform's property-list value: what preferences, property-list files and notification user
// info hold. One small type for all of them, so the extension reads values the way the platform's
// own `boolValue` and `intValue` would.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvane {

class Value;

using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;
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

  Value() : storage_(false) {}
  Value(bool b) : storage_(b) {}               // NOLINT(google-explicit-constructor)
  Value(int i) : storage_(std::int64_t{i}) {}  // NOLINT(google-explicit-constructor)
  Value(std::int64_t i) : storage_(i) {}       // NOLINT(google-explicit-constructor)
  Value(std::uint64_t u)                       // NOLINT(google-explicit-constructor)
      : storage_(u > static_cast<std::uint64_t>(INT64_MAX) ? Storage(u) : Storage(static_cast<std::int64_t>(u))) {}
  Value(double d) : storage_(d) {}                    // NOLINT(google-explicit-constructor)
  Value(const char* s) : storage_(std::string(s)) {}  // NOLINT(google-explicit-constructor)
  Value(std::string s) : storage_(std::move(s)) {}    // NOLINT(google-explicit-constructor)
  Value(Data d) : storage_(std::move(d)) {}           // NOLINT(google-explicit-constructor)
  Value(Date d) : storage_(d) {}                      // NOLINT(google-explicit-constructor)
  Value(Uid u) : storage_(u) {}                       // NOLINT(google-explicit-constructor)
  Value(Array a) : storage_(std::move(a)) {}          // NOLINT(google-explicit-constructor)
  Value(Dictionary d) : storage_(std::move(d)) {}     // NOLINT(google-explicit-constructor)
  Value(Null n) : storage_(n) {}                      // NOLINT(google-explicit-constructor)
  Value(Set s) : storage_(std::move(s)) {}            // NOLINT(google-explicit-constructor)

  const Storage& storage() const { return storage_; }

  bool isBool() const { return std::holds_alternative<bool>(storage_); }
  bool isNumber() const {
    return std::holds_alternative<std::int64_t>(storage_) || std::holds_alternative<std::uint64_t>(storage_) ||
           std::holds_alternative<double>(storage_);
  }
  const std::string* string() const { return std::get_if<std::string>(&storage_); }
  const Array* array() const { return std::get_if<Array>(&storage_); }
  const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }
  Dictionary* dictionary() { return std::get_if<Dictionary>(&storage_); }

  // `boolValue` of a number or boolean: "not zero"; of a string, NSString's: after leading white
  // space, an optional sign and zeros, true when it starts with "Y", "y", "T", "t" or 1 to 9.
  // Data, dates, UIDs, arrays, dictionaries, null and sets have no reading.
  std::optional<bool> boolReading() const;
  // `intValue` of a number or boolean: reals truncate toward zero (saturating), wider integers keep
  // their low 32 bits as the platform's 32-bit conversion does; of a string, NSString's: the leading
  // decimal integer (0 when there is none), saturating. Other types have no reading.
  std::optional<std::int32_t> int32Reading() const;

  bool operator==(const Value&) const = default;

 private:
  Storage storage_;
};

inline bool Set::operator==(const Set& other) const { return members == other.members; }

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
