#include "sim/plist_guard.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace orvane::sim {

namespace {

// Counts element nesting of <array> and <dict>, skipping comments, processing instructions, CDATA
// and the declarations, so that text inside them cannot fool the count.
bool xmlNestingWithin(std::string_view xml, std::size_t maxDepth) {
  // libplist asserts on text that holds a NUL: refuse raw NUL bytes and references to U+0000.
  if (xml.find('\0') != std::string_view::npos) return false;
  for (std::size_t at = xml.find("&#"); at != std::string_view::npos; at = xml.find("&#", at + 2)) {
    std::size_t k = at + 2;
    const bool hex = k < xml.size() && (xml[k] == 'x' || xml[k] == 'X');
    if (hex) ++k;
    const std::size_t digits = k;
    while (k < xml.size() && xml[k] == '0') ++k;
    if (k > digits && k < xml.size() && xml[k] == ';') return false;
  }
  std::size_t depth = 0;
  std::size_t i = 0;
  auto skipPast = [&](std::string_view end) {
    const std::size_t at = xml.find(end, i);
    i = at == std::string_view::npos ? xml.size() : at + end.size();
  };
  while ((i = xml.find('<', i)) != std::string_view::npos) {
    const std::string_view rest = xml.substr(i);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
    } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
      skipPast(">");
    } else {
      const std::size_t close = xml.find('>', i);
      if (close == std::string_view::npos) return true;  // truncated: the parser will refuse it
      const std::string_view tag = xml.substr(i + 1, close - i - 1);
      const bool selfClosing = !tag.empty() && tag.back() == '/';
      const bool isEnd = !tag.empty() && tag.front() == '/';
      const std::string_view name = tag.substr(isEnd ? 1 : 0, tag.find_first_of(" \t\r\n/", isEnd ? 1 : 0) - (isEnd ? 1 : 0));
      if (name == "array" || name == "dict") {
        if (isEnd) {
          if (depth > 0) --depth;
        } else if (!selfClosing && ++depth > maxDepth) {
          return false;
        }
      }
      i = close + 1;
    }
  }
  return true;
}

std::uint64_t readBigEndian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < size; ++k) v = (v << 8) | static_cast<unsigned char>(bytes[at + k]);
  return v;
}

// Walks the object graph from the top object with an explicit stack, computing each container's
// depth once; a reference back to an object still being walked is a cycle.
bool binaryNestingWithin(std::string_view b, std::size_t maxDepth) {
  constexpr std::size_t kTrailer = 32;
  if (b.size() < 8 + kTrailer) return false;
  const std::size_t t = b.size() - kTrailer;
  const std::size_t offsetSize = static_cast<unsigned char>(b[t + 6]);
  const std::size_t refSize = static_cast<unsigned char>(b[t + 7]);
  const std::uint64_t count = readBigEndian(b, t + 8, 8);
  const std::uint64_t top = readBigEndian(b, t + 16, 8);
  const std::uint64_t table = readBigEndian(b, t + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
  if (count == 0 || count > b.size() || top >= count) return false;
  if (table >= t || (t - table) / offsetSize < count) return false;

  auto offsetOf = [&](std::uint64_t object) -> std::uint64_t {
    return readBigEndian(b, static_cast<std::size_t>(table + object * offsetSize), offsetSize);
  };
  // A container's references: where they start and how many. A scalar has none; false when malformed.
  struct Refs {
    std::uint64_t at = 0;
    std::uint64_t count = 0;
    bool container = false;
  };
  // An object's kind (its marker's high nibble), its count and where its contents start; false when
  // the offset or the count does not fit the file.
  struct Header {
    unsigned kind = 0;
    std::uint64_t count = 0;
    std::uint64_t contents = 0;
  };
  auto headerOf = [&](std::uint64_t object, Header& out) -> bool {
    const std::uint64_t at = offsetOf(object);
    if (at < 8 || at >= table) return false;
    const unsigned marker = static_cast<unsigned char>(b[at]);
    out = Header{marker >> 4, marker & 0xFu, at + 1};
    if (out.count != 0xF) return true;
    // The count follows as an integer object.
    if (out.contents >= table) return false;
    const unsigned intMarker = static_cast<unsigned char>(b[out.contents]);
    if ((intMarker >> 4) != 0x1 || (intMarker & 0xF) > 3) return false;
    const std::size_t width = std::size_t{1} << (intMarker & 0xF);
    if (out.contents + 1 + width > table) return false;
    out.count = readBigEndian(b, static_cast<std::size_t>(out.contents + 1), width);
    out.contents += 1 + width;
    return true;
  };
  auto refsOf = [&](std::uint64_t object, Refs& out) -> bool {
    out = Refs{};
    Header h;
    if (!headerOf(object, h)) return false;
    const unsigned kind = h.kind;
    if (kind != 0xA && kind != 0xC && kind != 0xD) return true;  // not an array, set or dictionary
    const std::uint64_t n = h.count;
    const std::uint64_t p = h.contents;
    const std::uint64_t refs = kind == 0xD ? 2 * n : n;
    if (n > table || refs > (table - p) / refSize) return false;
    out = Refs{p, refs, true};
    return true;
  };
  auto refAt = [&](const Refs& refs, std::uint64_t k) {
    return readBigEndian(b, static_cast<std::size_t>(refs.at + k * refSize), refSize);
  };

  // libplist asserts on a string that holds a NUL: refuse any string object with one, ASCII (0x5),
  // UTF-16 (0x6) or UTF-8 (0x7), whether reachable from the top object or not.
  for (std::uint64_t object = 0; object < count; ++object) {
    Header h;
    if (!headerOf(object, h)) return false;
    if (h.kind != 0x5 && h.kind != 0x6 && h.kind != 0x7) continue;
    const std::uint64_t n = h.count;
    const std::uint64_t p = h.contents;
    const std::uint64_t unit = h.kind == 0x6 ? 2 : 1;
    if (n > table || n * unit > table - p) return false;
    const char* text = b.data() + p;
    if (unit == 1) {
      if (std::memchr(text, 0, static_cast<std::size_t>(n)) != nullptr) return false;
    } else {
      for (std::uint64_t k = 0; k < n; ++k) {
        if (text[2 * k] == 0 && text[2 * k + 1] == 0) return false;
      }
    }
  }

  // Height counts containers: an empty array is 1, a scalar 0, as the XML count does.
  enum : std::uint8_t { kUnseen, kWalking, kDone };
  std::vector<std::uint8_t> state(static_cast<std::size_t>(count), kUnseen);
  std::vector<std::uint32_t> height(static_cast<std::size_t>(count), 0);
  struct Frame {
    std::uint64_t object;
    Refs refs;
    std::uint64_t next = 0;
    std::uint32_t height = 0;
  };
  std::vector<Frame> stack;
  stack.reserve(16);
  Frame first{top, {}, 0, 0};
  if (!refsOf(top, first.refs)) return false;
  stack.push_back(first);
  state[top] = kWalking;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.refs.count) {
      const std::uint64_t child = refAt(frame.refs, frame.next++);
      if (child >= count) return false;
      if (state[child] == kWalking) return false;  // a cycle
      if (state[child] == kDone) {
        frame.height = std::max(frame.height, height[child] + 1);
        continue;
      }
      if (stack.size() > maxDepth) return false;
      Frame next{child, {}, 0, 0};
      if (!refsOf(child, next.refs)) return false;
      state[child] = kWalking;
      stack.push_back(next);
      continue;
    }
    const std::uint32_t h = std::max<std::uint32_t>(frame.height, frame.refs.container ? 1 : 0);
    if (h > maxDepth) return false;
    height[frame.object] = h;
    state[frame.object] = kDone;
    const std::uint64_t done = frame.object;
    stack.pop_back();
    if (!stack.empty()) stack.back().height = std::max(stack.back().height, height[done] + 1);
  }
  return true;
}

}  // namespace

bool plistNestingWithin(std::string_view bytes, std::size_t maxDepth) {
  if (bytes.starts_with("bplist00")) return binaryNestingWithin(bytes, maxDepth);
  return xmlNestingWithin(bytes, maxDepth);
}

}  // namespace orvane::sim
