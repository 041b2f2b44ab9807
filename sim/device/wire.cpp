// A value's bytes between the device's processes: exact for every value, and an object that values
// share crosses once.
#include "sim/device/wire.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

#include "sim/plist/object_identity.h"

namespace orvane::sim {

namespace {

void put(std::string& out, std::uint64_t n) { out.append(reinterpret_cast<const char*>(&n), sizeof n); }

bool takeNumber(std::string_view& rest, std::uint64_t& n) {
  if (rest.size() < sizeof n) return false;
  std::memcpy(&n, rest.data(), sizeof n);
  rest.remove_prefix(sizeof n);
  return true;
}

// A value's bytes on the channel: its variant's index, then its contents. An object that another
// value shares (a long text, data or a container; a long key) crosses once: its first reference
// carries it (kDefine) and gives it the next slot, every later one names the slot (kSlot), so what
// crosses is what the value holds, never the value written out in full.
// A value's tag is the place of its alternative in Value's variant, named here; a kind of value
// added to the variant does not compile until it has a tag and an encoding.
template <typename T, std::size_t At = 0>
constexpr char tagOf() {
  if constexpr (std::is_same_v<std::variant_alternative_t<At, Value::Storage>, T>) {
    return static_cast<char>(At);
  } else {
    return tagOf<T, At + 1>();
  }
}
constexpr char kBool = tagOf<bool>();
constexpr char kSigned = tagOf<std::int64_t>();
constexpr char kUnsigned = tagOf<std::uint64_t>();
constexpr char kReal = tagOf<double>();
constexpr char kText = tagOf<std::string>();
constexpr char kData = tagOf<Data>();
constexpr char kDate = tagOf<Date>();
constexpr char kUid = tagOf<Uid>();
constexpr char kArray = tagOf<Array>();
constexpr char kDictionary = tagOf<Dictionary>();
constexpr char kNull = tagOf<Null>();
constexpr char kSet = tagOf<Set>();
static_assert(std::variant_size_v<Value::Storage> == 12, "a new kind of value needs a tag and an encoding here");
// After the variant's tags: a shared object's first reference, and a later one.
constexpr char kDefine = std::variant_size_v<Value::Storage>;
constexpr char kSlot = kDefine + 1;
constexpr char kKeyText = 0;
constexpr char kKeyDefine = 1;
constexpr char kKeySlot = 2;

class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}

  void value(const Value& value) {
    if (ObjectIdentity::isShared(value)) {
      const auto [it, first] = slots_.try_emplace(ObjectIdentity::of(value), slots_.size());
      if (!first) {
        out_.push_back(kSlot);
        put(out_, it->second);
        return;
      }
      out_.push_back(kDefine);
    }
    contents(value);
  }

 private:
  void key(const Key& key) {
    if (!ObjectIdentity::isShared(key)) {
      out_.push_back(kKeyText);
    } else if (const auto [it, first] = keySlots_.try_emplace(ObjectIdentity::of(key), keySlots_.size()); !first) {
      out_.push_back(kKeySlot);
      put(out_, it->second);
      return;
    } else {
      out_.push_back(kKeyDefine);
    }
    appendPiece(out_, key);
  }

  void contents(const Value& item) {
    out_.push_back(static_cast<char>(item.storage().index()));
    std::visit(
        [this](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, bool>) {
            out_.push_back(v ? 1 : 0);
          } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
            put(out_, static_cast<std::uint64_t>(v));
          } else if constexpr (std::is_same_v<T, double>) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &v, sizeof bits);
            put(out_, bits);
          } else if constexpr (std::is_same_v<T, std::string>) {
            appendPiece(out_, v);
          } else if constexpr (std::is_same_v<T, Data>) {
            appendPiece(out_, std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
          } else if constexpr (std::is_same_v<T, Date>) {
            contents(Value(v.seconds));
          } else if constexpr (std::is_same_v<T, Uid>) {
            put(out_, v.value);
          } else if constexpr (std::is_same_v<T, Array>) {
            put(out_, v.size());
            for (const Value& member : v) value(member);
          } else if constexpr (std::is_same_v<T, Dictionary>) {
            put(out_, v.size());
            for (const auto& [name, member] : v) {
              key(name);
              value(member);
            }
          } else if constexpr (std::is_same_v<T, Set>) {
            put(out_, v.members.size());
            for (const Value& member : v.members) value(member);
          }
        },
        item.storage());
  }

  std::string& out_;
  std::unordered_map<const void*, std::uint64_t> slots_;
  std::unordered_map<const void*, std::uint64_t> keySlots_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool done() const { return bytes_.empty(); }

  std::optional<Value> value(int depth = 0) {
    if (depth > 4096 || bytes_.empty()) return std::nullopt;
    const char tag = bytes_.front();
    if (tag == kSlot) {
      bytes_.remove_prefix(1);
      std::uint64_t slot = 0;
      if (!number(slot) || slot >= slots_.size()) return std::nullopt;
      return slots_[slot];
    }
    if (tag == kDefine) {
      bytes_.remove_prefix(1);
      // The slot is taken before the contents are read, as the encoder numbers it.
      const std::size_t slot = slots_.size();
      slots_.emplace_back();
      auto defined = contents(depth);
      if (!defined) return std::nullopt;
      slots_[slot] = *defined;
      return defined;
    }
    return contents(depth);
  }

 private:
  std::optional<Value> contents(int depth) {
    if (bytes_.empty()) return std::nullopt;
    const auto index = static_cast<std::size_t>(static_cast<unsigned char>(bytes_.front()));
    bytes_.remove_prefix(1);
    std::uint64_t n = 0;
    switch (index) {
      case kBool:
        if (bytes_.empty()) return std::nullopt;
        n = static_cast<unsigned char>(bytes_.front());
        bytes_.remove_prefix(1);
        return Value(n != 0);
      case kSigned:
        if (!number(n)) return std::nullopt;
        return Value(static_cast<std::int64_t>(n));
      case kUnsigned:
        if (!number(n)) return std::nullopt;
        return Value(n);
      case kReal: {
        if (!number(n)) return std::nullopt;
        double d = 0;
        std::memcpy(&d, &n, sizeof d);
        return Value(d);
      }
      case kText: {
        auto s = text();
        return s ? std::optional<Value>(Value(std::string(*s))) : std::nullopt;
      }
      case kData: {
        auto s = text();
        return s ? std::optional<Value>(Value(Data(s->begin(), s->end()))) : std::nullopt;
      }
      case kDate: {
        auto seconds = value(depth + 1);
        const double* d = seconds ? std::get_if<double>(&seconds->storage()) : nullptr;
        return d ? std::optional<Value>(Value(Date{*d})) : std::nullopt;
      }
      case kUid:
        if (!number(n)) return std::nullopt;
        return Value(Uid{n});
      case kArray:
      case kSet:
        return members(index == kSet, depth);
      case kDictionary:
        return entries(depth);
      case kNull:
        return Value(Null{});
      default:
        return std::nullopt;
    }
  }

  // An array's or a set's members, after their count.
  std::optional<Value> members(bool set, int depth) {
    std::uint64_t n = 0;
    if (!number(n) || n > bytes_.size()) return std::nullopt;
    Array out;
    // Room for what the count claims, up to a bound: a count is not trusted before its members come.
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, 1024)));
    for (std::uint64_t i = 0; i < n; ++i) {
      auto member = value(depth + 1);
      if (!member) return std::nullopt;
      out.push_back(std::move(*member));
    }
    return set ? Value(Set{std::move(out)}) : Value(std::move(out));
  }

  // A dictionary's keys and members, after their count.
  std::optional<Value> entries(int depth) {
    std::uint64_t n = 0;
    if (!number(n) || n > bytes_.size()) return std::nullopt;
    Dictionary out;
    for (std::uint64_t i = 0; i < n; ++i) {
      auto name = key();
      if (!name) return std::nullopt;
      auto member = value(depth + 1);
      if (!member) return std::nullopt;
      out.insert_or_assign(std::move(*name), std::move(*member));
    }
    return Value(std::move(out));
  }

  std::optional<Key> key() {
    if (bytes_.empty()) return std::nullopt;
    const char tag = bytes_.front();
    bytes_.remove_prefix(1);
    if (tag == kKeySlot) {
      std::uint64_t slot = 0;
      if (!number(slot) || slot >= keySlots_.size()) return std::nullopt;
      return keySlots_[slot];
    }
    auto s = text();
    if (!s || (tag != kKeyText && tag != kKeyDefine)) return std::nullopt;
    Key k{std::string(*s)};
    if (tag == kKeyDefine) keySlots_.push_back(k);
    return k;
  }

  bool number(std::uint64_t& n) { return takeNumber(bytes_, n); }
  std::optional<std::string_view> text() { return takePiece(bytes_); }

  std::string_view bytes_;
  std::vector<Value> slots_;
  std::vector<Key> keySlots_;
};

}  // namespace

void appendPiece(std::string& out, std::string_view bytes) {
  put(out, bytes.size());
  out.append(bytes);
}

std::optional<std::string_view> takePiece(std::string_view& rest) {
  std::string_view left = rest;
  std::uint64_t n = 0;
  if (!takeNumber(left, n) || n > left.size()) return std::nullopt;
  rest = left.substr(static_cast<std::size_t>(n));
  return left.substr(0, static_cast<std::size_t>(n));
}

void encodeInto(std::string& out, const Value& value) { Encoder(out).value(value); }

std::string encodeValue(const Value& value) {
  std::string out;
  encodeInto(out, value);
  return out;
}

std::optional<Value> decodeValue(std::string_view bytes) {
  Reader reader(bytes);
  auto value = reader.value();
  return value && reader.done() ? value : std::nullopt;
}

}  // namespace orvane::sim
