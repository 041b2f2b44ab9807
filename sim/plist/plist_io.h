// Property-list bytes to values and back. XML and binary are both read, told apart by their
// content; the work of a read is bounded by what the file holds, and every value a real writer
// produces reads, and writes back, exactly.
#pragma once

#include <cstddef>
#include <cstdint>
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
// A read builds each object of a file once, however many references it has, so what it costs is
// what the file holds. Written out in full (as XML, as text in a trace, as JSON, or handed to the
// extension, which walks every reference), a shared object counts at each reference: a value may be
// written out only while that stays within a fixed multiple of what it holds, with floors for small
// values, and within absolute bounds. A value past them is refused where it would be written out,
// never expanded.
inline constexpr std::size_t kMaxPlistNodes = std::size_t{1} << 22;
inline constexpr std::size_t kPlistBuildPerByte = 16;
inline constexpr std::size_t kPlistMinNodes = std::size_t{1} << 16;
inline constexpr std::size_t kPlistMinBytes = std::size_t{1} << 20;

// What a value comes to written out in full, and what it holds.
struct ValueSize {
  std::uint64_t values = 0;  // every shared object at each of its references (saturating)
  std::uint64_t bytes = 0;   // of text, data and keys, likewise
  std::uint64_t held = 0;    // values, bytes and references it holds, each shared object once
};
// Linear in what the value holds: each shared object is measured once.
ValueSize sizeOf(const Value& value);
ValueSize sizeOf(const Dictionary& dictionary);
// Whether the value may be written out in full: at most kPlistBuildPerByte values and bytes per
// unit it holds (or the floors), and never more than kMaxPlistNodes values or kMaxPlistBytes bytes
// unless it holds that much itself (a value that shares nothing is always written out).
bool expandable(const ValueSize& size);
bool expandable(const Value& value);

// Nothing when the bytes are not a property list the device reads.
std::optional<ParsedPlist> parsePlist(std::string_view bytes);
// Nothing when the format cannot carry the value (a string that is not text; in XML a control
// character, a date outside the years 1 to 9999, or a value too large to write out in full).
std::optional<std::string> serializePlist(const Value& value, PlistFormat format);
// The bytes of `value` only when they read back as the very same value, to the precision of the
// format (XML dates have whole seconds): a write must never change data it was not asked to.
std::optional<std::string> serializeFaithfully(const Value& value, PlistFormat format);

// Whether two values are the same to the precision of `format`: reals and dates compared by their
// bits (so -0.0 is not 0.0, and NaN is NaN), integers by sign and value.
bool sameValue(const Value& a, const Value& b, PlistFormat format = PlistFormat::kBinary);

}  // namespace orvane::sim
