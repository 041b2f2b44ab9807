// The text form of values in scenarios and traces:
//   true false          booleans
//   42 -7               integers (64-bit signed, and unsigned above that)
//   1.5 -2e3            reals
//   en_US "two words"   strings: a bare word, or quoted with \" \\ \n \t \e \xHH escapes
//   <0a1b>              data, in hex
//   date(2001-01-01T00:00:00Z) date(0.5)   dates (ISO 8601 in UTC, or seconds since 2001)
//   uid(5)              a keyed archive's UID
//   [a, b]              arrays
//   {mode: 1, icon: 2}  dictionaries (keys are strings, bare or quoted)
// A bare word is any run of characters other than white space and  [ ] { } , : " < >
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace orvane::sim {

struct ValueParse {
  std::optional<Value> value;
  std::string error;                   // set when value is empty
  std::size_t at = std::string::npos;  // where in the text the error was found, when it was
};

// How deep a value typed in a scenario may nest; the text form of any value a file can hold (a
// trace's) reads to the files' own bound.
inline constexpr std::size_t kMaxTypedDepth = 64;

// Parses one whole value; trailing text other than white space is an error.
ValueParse parseValueText(std::string_view text, std::size_t maxDepth = kMaxTypedDepth);
std::string formatValueText(const Value& value);
// Bytes as lower-case hex digits, two a byte.
std::string hexOf(const Data& data);
// A string as the text form writes it: bare when that reads back as the same string, else quoted.
std::string formatStringText(std::string_view s);
// A dictionary key as text: quoted text, or the object of a key that is not text (a number, a date,
// ... as a binary property list may hold), shown as that value.
std::string formatKeyText(const Key& key);

}  // namespace orvane::sim
