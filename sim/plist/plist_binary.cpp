// The binary property-list format ("bplist00"): objects, an offset table and a 32-byte trailer.
// Reading walks the object graph once, without recursion, before building anything: it refuses
// reference cycles and nesting deeper than the limit. It then builds each object once: an object
// referred to many times is one value shared by every reference, so a read costs what the file
// holds. Writing keeps what a value shares shared in the same way.
#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats.h"

namespace orvane::sim::formats {

namespace {

constexpr std::size_t kTrailerSize = 32;
constexpr std::string_view kMagic = "bplist00";

std::uint64_t readBigEndian(const char* p, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < size; ++k) v = (v << 8) | static_cast<unsigned char>(p[k]);
  return v;
}

class BinaryReader {
 public:
  BinaryReader(std::string_view b, const ReadLimits& limits) : b_(b), limits_(limits) {}

  std::optional<Value> read() {
    if (!readTrailer() || !checkGraph()) return std::nullopt;
    return build(top_);
  }

 private:
  // An object's marker split in two, with its count and where its contents start.
  struct Header {
    unsigned kind = 0;
    unsigned low = 0;
    std::uint64_t count = 0;
    std::uint64_t contents = 0;
  };

  bool readTrailer() {
    if (b_.size() < kMagic.size() + kTrailerSize || !b_.starts_with(kMagic)) return false;
    const char* t = b_.data() + b_.size() - kTrailerSize;
    offsetSize_ = static_cast<unsigned char>(t[6]);
    refSize_ = static_cast<unsigned char>(t[7]);
    count_ = readBigEndian(t + 8, 8);
    top_ = readBigEndian(t + 16, 8);
    table_ = readBigEndian(t + 24, 8);
    const std::uint64_t end = b_.size() - kTrailerSize;
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    if (count_ == 0 || top_ >= count_ || table_ < kMagic.size() || table_ > end) return false;
    return (end - table_) / offsetSize_ >= count_;
  }

  std::uint64_t offsetOf(std::uint64_t object) const {
    return readBigEndian(b_.data() + table_ + object * offsetSize_, offsetSize_);
  }

  // The header of an object, or nothing when it does not fit between the magic and the table.
  std::optional<Header> headerOf(std::uint64_t object) const {
    const std::uint64_t at = offsetOf(object);
    if (at < kMagic.size() || at >= table_) return std::nullopt;
    const unsigned marker = static_cast<unsigned char>(b_[at]);
    Header h{marker >> 4u, marker & 0xFu, marker & 0xFu, at + 1};
    const bool counted =
        h.kind == 0x4 || h.kind == 0x5 || h.kind == 0x6 || h.kind == 0xA || h.kind == 0xC || h.kind == 0xD;
    if (counted && h.low == 0xF) {
      // The count follows as an integer object of 1, 2, 4 or 8 bytes.
      if (h.contents >= table_) return std::nullopt;
      const auto intMarker = static_cast<unsigned char>(b_[h.contents]);
      if ((intMarker >> 4u) != 0x1 || (intMarker & 0xFu) > 3) return std::nullopt;
      const std::size_t width = std::size_t{1} << (intMarker & 0xFu);
      if (h.contents + 1 + width > table_) return std::nullopt;
      h.count = readBigEndian(b_.data() + h.contents + 1, width);
      h.contents += 1 + width;
    }
    return h;
  }

  // How many references a container (an array, a set, a dictionary: keys, then values) holds; 0 for
  // a scalar.
  std::optional<std::uint64_t> referencesOf(const Header& h) const {
    if (h.kind != 0xA && h.kind != 0xC && h.kind != 0xD) return 0;
    const std::uint64_t room = (table_ - h.contents) / refSize_;
    if (h.count > room || (h.kind == 0xD && h.count > room / 2)) return std::nullopt;
    return h.kind == 0xD ? 2 * h.count : h.count;
  }

  std::uint64_t referenceAt(const Header& h, std::uint64_t k) const {
    return readBigEndian(b_.data() + h.contents + k * refSize_, refSize_);
  }

  // One pass over the graph from the top object, each object once, with an explicit stack: it
  // refuses references out of the table, cycles, and nesting deeper than the limit. An object's
  // height (the containers nested in it) is known when its last child is.
  bool checkGraph() {
    // One allocation for what the walk learns of each object, one for its stack (as deep as the
    // nesting, usually a few frames).
    objects_.assign(count_, Walked{});
    struct Frame {
      std::uint64_t object;
      Header header;
      std::uint64_t refs;
      std::uint64_t next = 0;
      std::uint32_t height = 0;
    };
    std::vector<Frame> stack;
    stack.reserve(std::min<std::uint64_t>(count_, 16));
    auto enter = [&](std::uint64_t object) {
      const auto h = headerOf(object);
      const auto refs = h ? referencesOf(*h) : std::nullopt;
      if (!refs) return false;
      objects_[object].state = kWalking;
      stack.push_back(Frame{object, *h, *refs});
      return true;
    };
    if (!enter(top_)) return false;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next < frame.refs) {
        const std::uint64_t child = referenceAt(frame.header, frame.next++);
        if (child >= count_ || objects_[child].state == kWalking) return false;  // out of the table, or a cycle
        if (objects_[child].state == kUnseen) {
          if (stack.size() > limits_.maxDepth) return false;
          if (!enter(child)) return false;
          continue;
        }
        objects_[child].state = kShared;
        frame.height = std::max(frame.height, objects_[child].height);
        continue;
      }
      const bool container = frame.header.kind == 0xA || frame.header.kind == 0xC || frame.header.kind == 0xD;
      const std::uint32_t h = frame.height + (container ? 1 : 0);
      if (h > limits_.maxDepth) return false;
      objects_[frame.object] = Walked{h, kDone};
      stack.pop_back();
      if (!stack.empty()) stack.back().height = std::max(stack.back().height, h);
    }
    return true;
  }

  // The value of an object, built once however many references it has: every reference shares it,
  // so a read builds one value per object and copies each text and datum once.
  std::optional<Value> build(std::uint64_t object) {
    const bool shared = objects_[object].state == kShared;
    if (auto it = shared ? built_.find(object) : built_.end(); it != built_.end()) return it->second;
    auto value = buildOnce(object);
    if (value && shared) built_.emplace(object, *value);
    return value;
  }

  // A dictionary key: the same key object is one shared key in every dictionary that holds it. A
  // key is text, or any other object but a container, as CoreFoundation's reader takes it
  // (CFBinaryPList.c, _plistIsPrimitive).
  std::optional<Key> key(std::uint64_t object) {
    const bool shared = objects_[object].state == kShared;
    if (auto it = shared ? keys_.find(object) : keys_.end(); it != keys_.end()) return it->second;
    std::optional<Key> made;
    const auto h = headerOf(object);
    if (!h || h->kind == 0xA || h->kind == 0xC || h->kind == 0xD) return std::nullopt;
    if (auto text = textOf(*h)) {
      made = Key(std::move(*text));
    } else if (auto value = build(object)) {
      made = objectKey(*value);
    }
    if (!made || !shared) return made;
    return keys_.emplace(object, std::move(*made)).first->second;
  }

  // Builds the value of an object; the graph was checked, so the recursion is as deep as the
  // nesting limit at most.
  std::optional<Value> buildOnce(std::uint64_t object) {
    const auto h = headerOf(object);
    if (!h) return std::nullopt;
    switch (h->kind) {
      case 0xA:
      case 0xC:
        return arrayOrSet(*h);
      case 0xD:
        return dictionary(*h);
      default:
        return scalar(*h);
    }
  }

  // An object that holds no other: a number, a date, data, text, a UID, null or a boolean.
  std::optional<Value> scalar(const Header& h) const {
    const char* p = b_.data() + h.contents;
    const std::uint64_t room = table_ - h.contents;
    switch (h.kind) {
      case 0x0:
        // CoreFoundation's reader (CFBinaryPList.c) answers the null object with kCFNull; fill,
        // URL and UUID objects are not values it reads.
        if (h.low == 0x0) return Value(Null{});
        if (h.low == 0x8 || h.low == 0x9) return Value(h.low == 0x9);
        return std::nullopt;
      case 0x1:
        return integer(p, room, h.low);
      case 0x2:
        if (h.low == 2 && room >= 4)
          return Value(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(readBigEndian(p, 4)))));
        if (h.low == 3 && room >= 8) return Value(std::bit_cast<double>(readBigEndian(p, 8)));
        return std::nullopt;
      case 0x3:
        if (h.low != 3 || room < 8) return std::nullopt;
        return Value(Date{std::bit_cast<double>(readBigEndian(p, 8))});
      case 0x4:
        if (h.count > room) return std::nullopt;
        return Value(Data(p, p + h.count));
      case 0x5:
      case 0x6: {
        auto text = textOf(h);
        if (!text) return std::nullopt;
        return Value(std::move(*text));
      }
      case 0x8:
        if (h.low > 7 || room < h.low + 1u) return std::nullopt;
        return Value(Uid{readBigEndian(p, h.low + 1u)});
      default:
        return std::nullopt;  // kinds the format does not define
    }
  }

  // An array, or a set (which CoreFoundation reads as a CFSet).
  std::optional<Value> arrayOrSet(const Header& h) {
    Array out;
    out.reserve(static_cast<std::size_t>(h.count));
    for (std::uint64_t k = 0; k < h.count; ++k) {
      auto element = build(referenceAt(h, k));
      if (!element) return std::nullopt;
      out.push_back(std::move(*element));
    }
    if (h.kind == 0xC) return Value(Set{std::move(out)});
    return Value(std::move(out));
  }

  std::optional<Value> dictionary(const Header& h) {
    Dictionary out;
    for (std::uint64_t k = 0; k < h.count; ++k) {
      auto name = key(referenceAt(h, k));
      if (!name) return std::nullopt;
      auto element = build(referenceAt(h, h.count + k));
      if (!element) return std::nullopt;
      out.insert_or_assign(std::move(*name), std::move(*element));  // the last of a key wins
    }
    return Value(std::move(out));
  }

  // 1, 2 and 4 bytes are unsigned, 8 bytes signed. Of 16 bytes CoreFoundation keeps the low 64 bits
  // and sets the high half to zero (CFBinaryPList.c: a 128-bit number of high 0 and low the last 64
  // bits, "only the last 64 bits are significant"), so the value is those bits, unsigned: 2^64 + 2^63
  // reads as 2^63. Its writer writes such a number back in 16 bytes, the high half zero.
  static std::optional<Value> integer(const char* p, std::uint64_t room, unsigned low) {
    if (low > 4 || room < (1u << low)) return std::nullopt;
    if (low < 3) return Value(static_cast<std::int64_t>(readBigEndian(p, std::size_t{1} << low)));
    if (low == 3) return Value(static_cast<std::int64_t>(readBigEndian(p, 8)));
    return Value(readBigEndian(p + 8, 8));
  }

  // The text of a string object (ASCII or UTF-16); nothing for any other object.
  std::optional<std::string> textOf(std::uint64_t object) const {
    const auto h = headerOf(object);
    if (!h) return std::nullopt;
    return textOf(*h);
  }

  std::optional<std::string> textOf(const Header& h) const {
    const char* p = b_.data() + h.contents;
    const std::uint64_t room = table_ - h.contents;
    if (h.kind == 0x5) return ascii(p, room, h.count);
    if (h.kind == 0x6) return utf16(p, room, h.count);
    return std::nullopt;
  }

  static std::optional<std::string> ascii(const char* p, std::uint64_t room, std::uint64_t count) {
    if (count > room) return std::nullopt;
    std::string s(p, static_cast<std::size_t>(count));
    for (unsigned char c : s) {
      if (c >= 0x80) return std::nullopt;
    }
    return s;
  }

  static std::optional<std::string> utf16(const char* p, std::uint64_t room, std::uint64_t units) {
    if (units > room / 2) return std::nullopt;
    std::string s;
    s.reserve(static_cast<std::size_t>(units));
    for (std::uint64_t k = 0; k < units; ++k) {
      std::uint32_t c = static_cast<std::uint32_t>(readBigEndian(p + 2 * k, 2));
      if (c >= 0xDC00 && c <= 0xDFFF) return std::nullopt;  // a low surrogate alone
      if (c >= 0xD800 && c <= 0xDBFF) {
        if (k + 1 == units) return std::nullopt;
        const auto next = static_cast<std::uint32_t>(readBigEndian(p + 2 * (k + 1), 2));
        if (next < 0xDC00 || next > 0xDFFF) return std::nullopt;
        c = 0x10000 + ((c - 0xD800) << 10u) + (next - 0xDC00);
        ++k;
      }
      appendUtf8(s, c);
    }
    return s;
  }

  std::string_view b_;
  ReadLimits limits_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t table_ = 0;
  // Each object's place in the walk (kShared for an object met at more than one reference) and,
  // once done, its height.
  enum : std::uint8_t { kUnseen, kWalking, kDone, kShared };
  struct Walked {
    std::uint32_t height = 0;
    std::uint8_t state = kUnseen;
  };
  std::vector<Walked> objects_;
  // What this read has built of each shared object (text, data, containers), for its other
  // references; nothing outlives the read.
  std::unordered_map<std::uint64_t, Value> built_;
  std::unordered_map<std::uint64_t, Key> keys_;
};

void putBigEndian(std::string& out, std::uint64_t v, std::size_t size) {
  for (std::size_t k = size; k > 0; --k) out += static_cast<char>((v >> (8 * (k - 1))) & 0xFFu);
}

std::size_t widthFor(std::uint64_t v) {
  if (v <= 0xFF) return 1;
  if (v <= 0xFFFF) return 2;
  if (v <= 0xFFFFFFFF) return 4;
  return 8;
}

unsigned log2Width(std::size_t width) { return static_cast<unsigned>(std::countr_zero(width)); }

// Objects are written children first, so a container knows its children's numbers when it is
// written. What a value shares (one text, datum, container or key held by many references) is
// written once and referred to, as the platform's writer does, so writing costs what the value
// holds, not what it would be written out in full.
class BinaryWriter {
 public:
  std::optional<std::string> write(const Value& value) {
    std::unordered_set<const void*> seen;
    const std::uint64_t objects = countObjects(value, seen);
    refSize_ = widthFor(objects);
    out_ = kMagic;
    const auto top = object(value);
    if (!top) return std::nullopt;
    const std::uint64_t table = out_.size();
    const std::size_t offsetSize = widthFor(offsets_.empty() ? 0 : offsets_.back());
    for (std::uint64_t offset : offsets_) putBigEndian(out_, offset, offsetSize);
    out_.append(6, '\0');
    out_ += static_cast<char>(offsetSize);
    out_ += static_cast<char>(refSize_);
    putBigEndian(out_, offsets_.size(), 8);
    putBigEndian(out_, *top, 8);
    putBigEndian(out_, table, 8);
    return std::move(out_);
  }

 private:
  // The objects the file will hold: each shared object and key once.
  static std::uint64_t countObjects(const Value& value, std::unordered_set<const void*>& seen) {
    if (ObjectIdentity::isShared(value) && !seen.insert(ObjectIdentity::of(value)).second) return 0;
    std::uint64_t n = 1;
    const auto* set = std::get_if<Set>(&value.storage());
    if (const Array* a = set != nullptr ? &set->members : value.array()) {
      for (const Value& v : *a) n += countObjects(v, seen);
    } else if (const Dictionary* d = value.dictionary()) {
      for (const auto& [key, v] : *d)
        n += (!ObjectIdentity::isShared(key) || seen.insert(ObjectIdentity::of(key)).second ? 1 : 0) +
             countObjects(v, seen);
    }
    return n;
  }

  std::uint64_t begin() {
    offsets_.push_back(out_.size());
    return offsets_.size() - 1;
  }

  void marker(unsigned kind, std::uint64_t count) {
    if (count < 0xF) {
      out_ += static_cast<char>((kind << 4u) | count);
      return;
    }
    out_ += static_cast<char>((kind << 4u) | 0xFu);
    const std::size_t width = widthFor(count);
    out_ += static_cast<char>(0x10u | log2Width(width));
    putBigEndian(out_, count, width);
  }

  std::uint64_t integer(std::uint64_t bits, bool negative, bool wide) {
    const std::uint64_t id = begin();
    if (wide) {  // above INT64_MAX: 16 bytes, the high half zero
      out_ += static_cast<char>(0x14);
      putBigEndian(out_, 0, 8);
      putBigEndian(out_, bits, 8);
    } else {
      const std::size_t width = negative ? 8 : widthFor(bits);
      out_ += static_cast<char>(0x10u | log2Width(width));
      putBigEndian(out_, bits, width);
    }
    return id;
  }

  std::optional<std::uint64_t> string(const std::string& s) {
    const bool isAscii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (isAscii) {
      const std::uint64_t id = begin();
      marker(0x5, s.size());
      out_ += s;
      return id;
    }
    if (!isValidUtf8(s)) return std::nullopt;
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < s.size();) {
      const auto c = static_cast<unsigned char>(s[i]);
      const std::size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
      std::uint32_t cp = extra == 0 ? c : c & (0x3Fu >> extra);
      for (std::size_t k = 1; k <= extra; ++k) cp = (cp << 6u) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
      i += extra + 1;
      if (cp >= 0x10000) {
        units.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10u)));
        units.push_back(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FFu)));
      } else {
        units.push_back(static_cast<std::uint16_t>(cp));
      }
    }
    const std::uint64_t id = begin();
    marker(0x6, units.size());
    for (std::uint16_t u : units) putBigEndian(out_, u, 2);
    return id;
  }

  std::optional<std::uint64_t> object(const Value& value) {
    if (!ObjectIdentity::isShared(value)) return scalarOrNew(value);
    if (auto it = written_.find(ObjectIdentity::of(value)); it != written_.end()) return it->second;
    auto id = scalarOrNew(value);
    if (id) written_.emplace(ObjectIdentity::of(value), *id);
    return id;
  }

  std::optional<std::uint64_t> keyObject(const Key& key) {
    if (!ObjectIdentity::isShared(key)) return string(key.str());
    if (auto it = written_.find(ObjectIdentity::of(key)); it != written_.end()) return it->second;
    auto id = string(key.str());
    if (id) written_.emplace(ObjectIdentity::of(key), *id);
    return id;
  }

  std::optional<std::uint64_t> scalarOrNew(const Value& value) {
    const auto& s = value.storage();
    if (const auto* b = std::get_if<bool>(&s)) {
      const std::uint64_t id = begin();
      out_ += static_cast<char>(*b ? 0x09 : 0x08);
      return id;
    }
    if (const auto* i = std::get_if<std::int64_t>(&s)) return integer(static_cast<std::uint64_t>(*i), *i < 0, false);
    if (const auto* u = std::get_if<std::uint64_t>(&s)) return integer(*u, false, true);
    if (const auto* d = std::get_if<double>(&s)) {
      const std::uint64_t id = begin();
      out_ += static_cast<char>(0x23);
      putBigEndian(out_, std::bit_cast<std::uint64_t>(*d), 8);
      return id;
    }
    if (const auto* date = std::get_if<Date>(&s)) {
      const std::uint64_t id = begin();
      out_ += static_cast<char>(0x33);
      putBigEndian(out_, std::bit_cast<std::uint64_t>(date->seconds), 8);
      return id;
    }
    if (const auto* text = value.string()) return string(*text);
    if (const auto* data = std::get_if<Data>(&s)) {
      const std::uint64_t id = begin();
      marker(0x4, data->size());
      out_.append(reinterpret_cast<const char*>(data->data()), data->size());
      return id;
    }
    if (const auto* uid = std::get_if<Uid>(&s)) {
      const std::size_t width = widthFor(uid->value);
      const std::uint64_t id = begin();
      out_ += static_cast<char>(0x80u | (width - 1));
      putBigEndian(out_, uid->value, width);
      return id;
    }
    if (std::holds_alternative<Null>(s)) {
      const std::uint64_t id = begin();
      out_ += static_cast<char>(0x00);
      return id;
    }
    return container(value);
  }

  // An array or a dictionary: its members first, then the object that refers to them.
  std::optional<std::uint64_t> container(const Value& value) {
    std::vector<std::uint64_t> refs;
    unsigned kind = 0xA;
    const auto* set = std::get_if<Set>(&value.storage());
    if (set != nullptr) kind = 0xC;
    if (const Array* a = set != nullptr ? &set->members : value.array()) {
      refs.reserve(a->size());
      for (const Value& v : *a) {
        auto id = object(v);
        if (!id) return std::nullopt;
        refs.push_back(*id);
      }
    } else {
      const Dictionary& d = *value.dictionary();
      kind = 0xD;
      refs.reserve(2 * d.size());
      for (const auto& [key, v] : d) {
        auto id = keyObject(key);
        if (!id) return std::nullopt;
        refs.push_back(*id);
      }
      for (const auto& [key, v] : d) {
        auto id = object(v);
        if (!id) return std::nullopt;
        refs.push_back(*id);
      }
    }
    const std::uint64_t id = begin();
    marker(kind, kind == 0xD ? refs.size() / 2 : refs.size());
    for (std::uint64_t r : refs) putBigEndian(out_, r, refSize_);
    return id;
  }

  std::string out_;
  std::vector<std::uint64_t> offsets_;
  std::unordered_map<const void*, std::uint64_t> written_;  // shared objects and keys written so far
  std::size_t refSize_ = 1;
};

}  // namespace

std::optional<Value> readBinary(std::string_view bytes, const ReadLimits& limits) {
  return BinaryReader(bytes, limits).read();
}

std::optional<std::string> writeBinary(const Value& value) { return BinaryWriter().write(value); }

}  // namespace orvane::sim::formats
