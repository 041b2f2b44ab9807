// Property-list bytes to values and back, through libplist. XML and binary are both read, told apart
// by their content.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace orvane::sim {

enum class PlistFormat { kXml, kBinary };

struct ParsedPlist {
  Value value;
  PlistFormat format;
};

// Larger inputs are not property lists the device will parse.
inline constexpr std::size_t kMaxPlistBytes = 1 << 20;

// Nothing when the bytes are not a property list of a kind the device reads.
std::optional<ParsedPlist> parsePlist(std::string_view bytes);
std::string serializePlist(const Value& value, PlistFormat format);
// The bytes of `value` only when they read back as the very same value: libplist cannot carry
// everything a value holds (a date's fraction, for one), and a write must never change data.
std::optional<std::string> serializeFaithfully(const Value& value, PlistFormat format);

}  // namespace orvane::sim
