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

// A piece of bytes as the encoding writes a text: its length (8 bytes), then the bytes. Taking one
// removes it from the front of `rest`; nothing when `rest` does not begin with a whole piece.
void appendPiece(std::string& out, std::string_view bytes);
std::optional<std::string_view> takePiece(std::string_view& rest);

}  // namespace orvane::sim
