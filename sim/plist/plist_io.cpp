#include "sim/plist/plist_io.h"

#include <bit>
#include <cmath>

#include "formats.h"

namespace orvane::sim {

namespace {

constexpr formats::ReadLimits kLimits{kMaxPlistDepth,     kMaxPlistNodes, kMaxPlistBytes,
                                      kPlistBuildPerByte, kPlistMinNodes, kPlistMinBytes};

bool sameReal(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

std::optional<ParsedPlist> parsePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxPlistBytes) return std::nullopt;
  const bool binary = bytes.starts_with("bplist00");
  auto value = binary ? formats::readBinary(bytes, kLimits) : formats::readXml(bytes, kLimits);
  if (!value) return std::nullopt;
  return ParsedPlist{std::move(*value), binary ? PlistFormat::kBinary : PlistFormat::kXml};
}

std::optional<std::string> serializePlist(const Value& value, PlistFormat format) {
  return format == PlistFormat::kBinary ? formats::writeBinary(value) : formats::writeXml(value);
}

std::optional<std::string> serializeFaithfully(const Value& value, PlistFormat format) {
  auto bytes = serializePlist(value, format);
  if (!bytes) return std::nullopt;
  const auto back = parsePlist(*bytes);
  if (!back || back->format != format || !sameValue(value, back->value, format)) return std::nullopt;
  return bytes;
}

bool sameValue(const Value& a, const Value& b, PlistFormat format) {
  if (a.storage().index() != b.storage().index()) return false;
  if (const auto* x = std::get_if<double>(&a.storage())) return sameReal(*x, std::get<double>(b.storage()));
  if (const auto* x = std::get_if<Date>(&a.storage())) {
    const double y = std::get<Date>(b.storage()).seconds;
    if (format == PlistFormat::kXml) return std::floor(x->seconds) == std::floor(y);
    return sameReal(x->seconds, y);
  }
  if (const auto* x = std::get_if<Set>(&a.storage())) {
    return sameValue(Value(x->members), Value(std::get<Set>(b.storage()).members), format);
  }
  if (const Array* x = a.array()) {
    const Array& y = *b.array();
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!sameValue((*x)[i], y[i], format)) return false;
    }
    return true;
  }
  if (const Dictionary* x = a.dictionary()) {
    const Dictionary& y = *b.dictionary();
    if (x->size() != y.size()) return false;
    for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j) {
      if (i->first != j->first || !sameValue(i->second, j->second, format)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace orvane::sim
