#include "sim/plist/plist_io.h"

#include <bit>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "formats.h"

namespace orvane::sim {

namespace {

constexpr formats::ReadLimits kLimits{kMaxPlistDepth, kMaxPlistNodes};

std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
std::uint64_t times(std::uint64_t a, std::uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

// Measures a value once per shared object: what each comes to in full is remembered for its other
// references within this one measurement.
class Measure {
 public:
  ValueSize total(const Value& value) {
    const auto [values, bytes] = full(value);
    return ValueSize{values, bytes, held_};
  }

  ValueSize total(const Dictionary& dictionary) {
    std::uint64_t own = 1;
    const auto [values, bytes] = members(dictionary, own);
    held_ = add(held_, own);
    return ValueSize{values, bytes, held_};
  }

 private:
  using Full = std::pair<std::uint64_t, std::uint64_t>;

  Full full(const Value& value) {
    if (ObjectIdentity::of(value) == nullptr) {
      const std::string* text = value.string();
      const std::uint64_t bytes = text != nullptr ? text->size() : 0;
      held_ = add(held_, 1 + bytes);
      return {1, bytes};
    }
    const bool shared = ObjectIdentity::isShared(value);
    if (auto it = shared ? done_.find(ObjectIdentity::of(value)) : done_.end(); it != done_.end()) {
      held_ = add(held_, 1);  // the reference
      return it->second;
    }
    Full out{1, 0};
    std::uint64_t own = 1;
    const auto& s = value.storage();
    const auto* set = std::get_if<Set>(&s);
    if (const std::string* text = value.string()) {
      own = add(own, text->size());
      out.second = text->size();
    } else if (const Data* data = std::get_if<Data>(&s)) {
      own = add(own, data->size());
      out.second = data->size();
    } else if (const Array* a = set != nullptr ? &set->members : value.array()) {
      for (const Value& v : *a) {
        const Full f = full(v);
        out = {add(out.first, f.first), add(out.second, f.second)};
      }
    } else if (const Dictionary* d = value.dictionary()) {
      out = members(*d, own);
    }
    held_ = add(held_, own);
    if (shared) done_.emplace(ObjectIdentity::of(value), out);
    return out;
  }

  // A dictionary's entries, written out in full, and what its keys add to what it holds (`own`).
  Full members(const Dictionary& d, std::uint64_t& own) {
    Full out{1, 0};
    for (const auto& [key, v] : d) {
      if (!ObjectIdentity::isShared(key) || keys_.insert(ObjectIdentity::of(key)).second)
        own = add(own, 1 + key.str().size());
      held_ = add(held_, 1);  // the reference to the key
      const Full f = full(v);
      out = {add(out.first, add(1, f.first)), add(out.second, add(key.str().size(), f.second))};
    }
    return out;
  }

  std::uint64_t held_ = 0;
  std::unordered_map<const void*, Full> done_;
  std::unordered_set<const void*> keys_;
};

bool sameReal(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

ValueSize sizeOf(const Value& value) { return Measure().total(value); }
ValueSize sizeOf(const Dictionary& dictionary) { return Measure().total(dictionary); }

bool expandable(const ValueSize& size) {
  const std::uint64_t multiple = times(size.held, kPlistBuildPerByte);
  const auto allowed = [&](std::uint64_t floor, std::uint64_t limit) {
    return std::min(std::max(multiple, floor), std::max<std::uint64_t>(limit, size.held));
  };
  return size.values <= allowed(kPlistMinNodes, kMaxPlistNodes) &&
         size.bytes <= allowed(kPlistMinBytes, kMaxPlistBytes);
}

bool expandable(const Value& value) { return expandable(sizeOf(value)); }

std::optional<ParsedPlist> parsePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxPlistBytes) return std::nullopt;
  const bool binary = bytes.starts_with("bplist00");
  auto value = binary ? formats::readBinary(bytes, kLimits) : formats::readXml(bytes, kLimits);
  if (!value) return std::nullopt;
  return ParsedPlist{std::move(*value), binary ? PlistFormat::kBinary : PlistFormat::kXml};
}

std::optional<std::string> serializePlist(const Value& value, PlistFormat format) {
  // Binary keeps what the value shares shared; XML has no references and writes it out in full.
  if (format == PlistFormat::kBinary) return formats::writeBinary(value);
  if (!expandable(value)) return std::nullopt;
  return formats::writeXml(value);
}

std::optional<std::string> serializeFaithfully(const Value& value, PlistFormat format) {
  auto bytes = serializePlist(value, format);
  if (!bytes) return std::nullopt;
  const auto back = parsePlist(*bytes);
  if (!back || back->format != format || !sameValue(value, back->value, format)) return std::nullopt;
  return bytes;
}

namespace {

// Compares two values once per pair of shared objects: a pair found the same is not compared again
// at its other references, so comparing costs what the values hold.
class Compare {
 public:
  explicit Compare(PlistFormat format) : format_(format) {}

  bool same(const Value& a, const Value& b) {
    if (ObjectIdentity::of(a) != nullptr && ObjectIdentity::of(a) == ObjectIdentity::of(b)) return true;
    // Only a pair of which both are shared can be met again.
    const bool shared = ObjectIdentity::isShared(a) && ObjectIdentity::isShared(b);
    if (shared && known_.contains({ObjectIdentity::of(a), ObjectIdentity::of(b)})) return true;
    if (!compare(a, b)) return false;
    if (shared) known_.insert({ObjectIdentity::of(a), ObjectIdentity::of(b)});
    return true;
  }

 private:
  struct PairHash {
    std::size_t operator()(const std::pair<const void*, const void*>& p) const {
      return std::hash<const void*>()(p.first) * 31 + std::hash<const void*>()(p.second);
    }
  };

  bool sameMembers(const Array& x, const Array& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!same(x[i], y[i])) return false;
    }
    return true;
  }

  bool compare(const Value& a, const Value& b) {
    if (a.storage().index() != b.storage().index()) return false;
    if (const auto* x = std::get_if<double>(&a.storage())) return sameReal(*x, std::get<double>(b.storage()));
    if (const auto* x = std::get_if<Date>(&a.storage())) {
      const double y = std::get<Date>(b.storage()).seconds;
      if (format_ == PlistFormat::kXml) return std::floor(x->seconds) == std::floor(y);
      return sameReal(x->seconds, y);
    }
    if (const auto* x = std::get_if<Set>(&a.storage()))
      return sameMembers(x->members, std::get<Set>(b.storage()).members);
    if (const Array* x = a.array()) return sameMembers(*x, *b.array());
    if (const Dictionary* x = a.dictionary()) {
      const Dictionary& y = *b.dictionary();
      if (x->size() != y.size()) return false;
      for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j) {
        if (i->first != j->first || !same(i->second, j->second)) return false;
      }
      return true;
    }
    return a == b;
  }

  PlistFormat format_;
  std::unordered_set<std::pair<const void*, const void*>, PairHash> known_;
};

}  // namespace

bool sameValue(const Value& a, const Value& b, PlistFormat format) { return Compare(format).same(a, b); }

}  // namespace orvane::sim
