// The two property-list formats, read and written by the device itself so that every value a real
// writer produces comes back exactly: 64-bit signed and unsigned integers, UIDs, dates as any 64-bit
// real, reals with their sign and NaN. plist_io.h is the door to these; nothing else calls them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace orvane::sim::formats {

// Limits that keep the work of a read proportional to the file: nesting, and the number of values
// the read builds, which in a binary list counts a shared object once at every reference.
struct ReadLimits {
  std::size_t maxDepth;
  std::size_t maxNodes;
};

std::optional<Value> readBinary(std::string_view bytes, const ReadLimits& limits);
std::optional<Value> readXml(std::string_view bytes, const ReadLimits& limits);
// Nothing when the format cannot carry the value (a string that is not text, a date XML cannot
// spell, a control character in XML).
std::optional<std::string> writeBinary(const Value& value);
std::optional<std::string> writeXml(const Value& value);

// Text helpers both formats share.
bool isValidUtf8(std::string_view s);
// The length of the valid UTF-8 sequence that starts at s[at] (1 for an ASCII byte); 0 when the
// bytes there are not one.
std::size_t utf8SequenceAt(std::string_view s, std::size_t at);
// Appends the UTF-8 form of a code point (which must be a Unicode scalar value).
void appendUtf8(std::string& out, std::uint32_t codePoint);

// A date as XML spells it, "2001-01-01T00:00:00Z" (shorter forms such as "2001Z" read too), in
// seconds since 2001-01-01; a fraction is dropped when writing, as the platform's writer drops it.
std::optional<double> parseXmlDate(std::string_view text);
std::optional<std::string> formatXmlDate(double seconds);

// Dates as the XML form spells them: whole seconds since 2001-01-01, years 1 to 9999.
inline constexpr double kFirstXmlDate = -63113904000.0;  // 0001-01-01T00:00:00Z
inline constexpr double kLastXmlDate = 252423993599.0;   // 9999-12-31T23:59:59Z

}  // namespace orvane::sim::formats
