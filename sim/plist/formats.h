// The two property-list formats, read and written by the device itself so that every value a real
// writer produces comes back exactly: 64-bit signed and unsigned integers, UIDs, dates as any 64-bit
// real, reals with their sign and NaN. plist_io.h is the door to these; nothing outside the codec
// includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"
#include "sim/plist/object_identity.h"
#include "sim/plist/text.h"

namespace orvane::sim::formats {

// Limits on a read: nesting, and (in XML, where nothing is shared) the number of values.
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

}  // namespace orvane::sim::formats
