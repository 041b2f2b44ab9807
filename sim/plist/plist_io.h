// Property-list bytes to values and back. XML and binary are both read, told apart by their
// content; the work of a read is bounded by what the file holds, and every value a real writer
// produces reads, and writes back, exactly.
#pragma once

#include <cstddef>
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

// Larger files are not property lists the device reads.
inline constexpr std::size_t kMaxPlistBytes = std::size_t{64} << 20;
// Arrays and dictionaries nested deeper than this make a list unreadable.
inline constexpr std::size_t kMaxPlistDepth = 1024;
// The most values a read builds (or, for a binary list that shares nothing, one per object its
// graph reaches), and the most bytes of text and data it copies (what the largest file holds): a
// shared object counts at each of its references, so a small file whose objects refer to one
// another many times over is refused at once instead of growing without bound. Neither grows with
// bytes nothing refers to.
inline constexpr std::size_t kMaxPlistNodes = std::size_t{1} << 22;
// Within those, a read builds at most this many values, and copies this many bytes, per byte of
// the objects its file's graph reaches; a small file may always build 65,536 values and 1 MiB.
inline constexpr std::size_t kPlistBuildPerByte = 16;
inline constexpr std::size_t kPlistMinNodes = std::size_t{1} << 16;
inline constexpr std::size_t kPlistMinBytes = std::size_t{1} << 20;

// Nothing when the bytes are not a property list the device reads.
std::optional<ParsedPlist> parsePlist(std::string_view bytes);
// Nothing when the format cannot carry the value (a string that is not text; in XML a control
// character, or a date outside the years 1 to 9999).
std::optional<std::string> serializePlist(const Value& value, PlistFormat format);
// The bytes of `value` only when they read back as the very same value, to the precision of the
// format (XML dates have whole seconds): a write must never change data it was not asked to.
std::optional<std::string> serializeFaithfully(const Value& value, PlistFormat format);

// Whether two values are the same to the precision of `format`: reals and dates compared by their
// bits (so -0.0 is not 0.0, and NaN is NaN), integers by sign and value.
bool sameValue(const Value& a, const Value& b, PlistFormat format = PlistFormat::kBinary);

}  // namespace orvane::sim
