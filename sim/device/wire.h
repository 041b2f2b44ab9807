// A value's bytes on the connection between the device's processes: every value exactly (every
// integer, every real with its bits, bytes that are not UTF-8), and an object that values share
// (a long text, data, a container) once however often it is referred to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace orvane::sim {

std::string encodeValue(const Value& value);
// Appends the value's bytes to `out`.
void encodeInto(std::string& out, const Value& value);
// Nothing when the bytes are not one whole encoded value.
std::optional<Value> decodeValue(std::string_view bytes);

}  // namespace orvane::sim
