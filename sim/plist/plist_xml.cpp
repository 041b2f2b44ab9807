// The XML property-list format, as the platform writes it and as XML 1.0 reads it: the prolog,
// comments, processing instructions, CDATA sections, the five predefined entities and character
// references; raw text taken as it stands, as the platform's reader takes it. Parsing keeps an explicit stack, never
// recursion.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats.h"

namespace orvane::sim::formats {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters XML 1.0 allows in a document.
bool isXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

}  // namespace

namespace {

std::optional<std::int8_t> base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<std::int8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<std::int8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<std::int8_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return std::nullopt;
}

std::optional<Data> parseBase64(std::string_view s) {
  Data out;
  std::uint32_t buffer = 0;
  int bits = 0;
  int padding = 0;
  for (char c : s) {
    if (isSpace(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const auto digit = base64Digit(c);
    if (!digit || padding > 0) return std::nullopt;
    buffer = (buffer << 6u) | static_cast<std::uint32_t>(*digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((buffer >> static_cast<unsigned>(bits)) & 0xFFu));
    }
  }
  if (padding > 2 || bits >= 6) return std::nullopt;
  return out;
}

std::optional<Value> parseInteger(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (!negative) return Value(magnitude);
  if (magnitude > std::uint64_t{1} << 63u) return std::nullopt;
  return Value(static_cast<std::int64_t>(0 - magnitude));
}

std::optional<double> parseReal(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  std::string lower;
  for (char c : s) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower == "nan") return std::nan("");
  if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity") return HUGE_VAL;
  if (lower == "-inf" || lower == "-infinity") return -HUGE_VAL;
  if (s.starts_with('+')) s.remove_prefix(1);
  double d = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return d;
}

class XmlReader {
 public:
  XmlReader(std::string_view x, const ReadLimits& limits) : x_(x), limits_(limits) {}

  std::optional<Value> read() {
    if (x_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    if (!isValidUtf8(x_)) return std::nullopt;
    if (!skipMisc(true)) return std::nullopt;
    Tag tag;
    if (!readTag(tag) || tag.end) return std::nullopt;
    bool inPlist = false;
    if (tag.name == "plist") {
      if (tag.empty || !skipMisc(false) || !readTag(tag) || tag.end) return std::nullopt;
      inPlist = true;
    }
    auto value = readValue(tag);
    if (!value) return std::nullopt;
    if (inPlist && (!skipMisc(false) || !readTag(tag) || !tag.end || tag.name != "plist")) return std::nullopt;
    if (!skipMisc(false) || pos_ != x_.size()) return std::nullopt;
    return value;
  }

 private:
  struct Tag {
    std::string_view name;
    bool end = false;
    bool empty = false;
  };
  struct Frame {
    bool isDictionary = false;
    Array array;
    Dictionary dictionary;
    std::optional<std::string> key;
  };

  // White space, comments and processing instructions; before the root also the document type.
  bool skipMisc(bool prolog) {
    for (;;) {
      while (pos_ < x_.size() && isSpace(x_[pos_])) ++pos_;
      const std::string_view rest = x_.substr(pos_);
      if (rest.starts_with("<!--")) {
        if (!skipPast("-->")) return false;
      } else if (rest.starts_with("<?")) {
        if (!skipPast("?>")) return false;
      } else if (prolog && rest.starts_with("<!DOCTYPE")) {
        // Up to the '>' that closes it, past any internal subset in brackets.
        std::size_t depth = 0;
        for (; pos_ < x_.size(); ++pos_) {
          const char c = x_[pos_];
          if (c == '[') ++depth;
          if (c == ']' && depth > 0) --depth;
          if (c == '>' && depth == 0) break;
        }
        if (pos_ == x_.size()) return false;
        ++pos_;
      } else {
        return true;
      }
    }
  }

  bool skipPast(std::string_view end) {
    const std::size_t at = x_.find(end, pos_);
    if (at == std::string_view::npos) return false;
    pos_ = at + end.size();
    return true;
  }

  // A start, end or empty-element tag at the cursor; attributes are skipped.
  bool readTag(Tag& tag) {
    if (pos_ >= x_.size() || x_[pos_] != '<') return false;
    std::size_t i = pos_ + 1;
    tag = Tag{};
    if (i < x_.size() && x_[i] == '/') {
      tag.end = true;
      ++i;
    }
    const std::size_t nameStart = i;
    while (i < x_.size() && !isSpace(x_[i]) && x_[i] != '>' && x_[i] != '/') ++i;
    tag.name = x_.substr(nameStart, i - nameStart);
    if (tag.name.empty()) return false;
    while (i < x_.size() && x_[i] != '>') {
      const char c = x_[i];
      if (c == '"' || c == '\'') {
        const std::size_t close = x_.find(c, i + 1);
        if (close == std::string_view::npos) return false;
        i = close + 1;
        continue;
      }
      if (c == '/') {
        if (tag.end || i + 1 >= x_.size() || x_[i + 1] != '>') return false;
        tag.empty = true;
      } else if (c == '<') {
        return false;
      }
      ++i;
    }
    if (i == x_.size()) return false;
    pos_ = i + 1;
    return true;
  }

  // The character data of an element up to its end tag: entities decoded, CDATA taken as it is,
  // comments dropped, raw characters as they stand.
  std::optional<std::string> readText(std::string_view name) {
    std::string out;
    while (pos_ < x_.size()) {
      const char c = x_[pos_];
      if (c == '<') {
        const std::string_view rest = x_.substr(pos_);
        if (rest.starts_with("<![CDATA[")) {
          const std::size_t end = x_.find("]]>", pos_ + 9);
          if (end == std::string_view::npos) return std::nullopt;
          appendRaw(out, x_.substr(pos_ + 9, end - pos_ - 9));
          pos_ = end + 3;
        } else if (rest.starts_with("<!--")) {
          if (!skipPast("-->")) return std::nullopt;
        } else if (rest.starts_with("<?")) {
          if (!skipPast("?>")) return std::nullopt;
        } else {
          Tag tag;
          if (!readTag(tag) || !tag.end || tag.name != name) return std::nullopt;
          return out;
        }
      } else if (c == '&') {
        if (!readReference(out)) return std::nullopt;
      } else {
        const std::size_t next = x_.find_first_of("<&", pos_);
        const std::size_t end = next == std::string_view::npos ? x_.size() : next;
        appendRaw(out, x_.substr(pos_, end - pos_));
        pos_ = end;
      }
    }
    return std::nullopt;
  }

  // Characters between references are taken as they stand, as the platform's reader takes them
  // (CFPropertyList.c, getString): no line-end rule turns a carriage return into a line feed.
  static void appendRaw(std::string& out, std::string_view raw) { out += raw; }

  bool readReference(std::string& out) {
    const std::size_t semi = x_.find(';', pos_);
    if (semi == std::string_view::npos || semi - pos_ > 12) return false;
    const std::string_view name = x_.substr(pos_ + 1, semi - pos_ - 1);
    pos_ = semi + 1;
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, c] : kEntities) {
      if (name == entity) {
        out += c;
        return true;
      }
    }
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    std::uint32_t cp = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || !isXmlChar(cp)) return false;
    appendUtf8(out, cp);
    return true;
  }

  // An element holding only an end tag (or none, when written empty).
  bool readEmpty(const Tag& tag) {
    if (tag.empty) return true;
    skipMisc(false);
    Tag end;
    return readTag(end) && end.end && end.name == tag.name;
  }

  std::optional<Value> scalar(const Tag& tag) {
    const std::string_view n = tag.name;
    if (n == "true" || n == "false") {
      if (!readEmpty(tag)) return std::nullopt;
      return Value(n == "true");
    }
    std::string text;
    if (!tag.empty) {
      auto t = readText(n);
      if (!t) return std::nullopt;
      text = std::move(*t);
    }
    if (n == "string") return Value(std::move(text));
    if (n == "integer") return parseInteger(text);
    if (n == "real") {
      auto d = parseReal(text);
      return d ? std::optional<Value>(Value(*d)) : std::nullopt;
    }
    if (n == "date") {
      auto d = parseXmlDate(text);
      return d ? std::optional<Value>(Value(Date{*d})) : std::nullopt;
    }
    if (n == "data") {
      auto d = parseBase64(text);
      return d ? std::optional<Value>(Value(std::move(*d))) : std::nullopt;
    }
    return std::nullopt;
  }

  // A dictionary holding only "CF$UID" with an integer is how the XML form spells a UID.
  static Value finishDictionary(Dictionary&& d) {
    if (d.size() == 1) {
      const auto& [key, v] = *d.begin();
      if (key == "CF$UID") {
        if (const auto* i = std::get_if<std::int64_t>(&v.storage()); i && *i >= 0) {
          return Value(Uid{static_cast<std::uint64_t>(*i)});
        }
        if (const auto* u = std::get_if<std::uint64_t>(&v.storage())) return Value(Uid{*u});
      }
    }
    return Value(std::move(d));
  }

  // A value starting at `first`, containers walked with an explicit stack.
  std::optional<Value> readValue(Tag first) {
    std::vector<Frame> stack;
    std::size_t nodes = 0;
    Tag tag = first;
    for (;;) {
      std::optional<Value> done;
      if (tag.end) {
        if (stack.empty() || tag.name != (stack.back().isDictionary ? "dict" : "array") || stack.back().key) {
          return std::nullopt;
        }
        Frame frame = std::move(stack.back());
        stack.pop_back();
        done = frame.isDictionary ? finishDictionary(std::move(frame.dictionary)) : Value(std::move(frame.array));
      } else if (tag.name == "dict" || tag.name == "array") {
        if (++nodes > limits_.maxNodes) return std::nullopt;
        if (tag.empty) {
          done = tag.name == "dict" ? Value(Dictionary{}) : Value(Array{});
        } else {
          if (stack.size() >= limits_.maxDepth) return std::nullopt;
          stack.push_back(Frame{tag.name == "dict", {}, {}, {}});
        }
      } else if (tag.name == "key") {
        if (stack.empty() || !stack.back().isDictionary || stack.back().key) return std::nullopt;
        auto text = tag.empty ? std::optional<std::string>("") : readText("key");
        if (!text) return std::nullopt;
        stack.back().key = std::move(*text);
      } else {
        if (++nodes > limits_.maxNodes) return std::nullopt;
        done = scalar(tag);
        if (!done) return std::nullopt;
      }
      if (done) {
        if (stack.empty()) return done;
        Frame& top = stack.back();
        if (top.isDictionary) {
          if (!top.key) return std::nullopt;                                       // a value without its key
          top.dictionary.insert_or_assign(std::move(*top.key), std::move(*done));  // the last of a key wins
          top.key.reset();
        } else {
          top.array.push_back(std::move(*done));
        }
      }
      if (!skipMisc(false) || !readTag(tag)) return std::nullopt;
    }
  }

  std::string_view x_;
  ReadLimits limits_;
  std::size_t pos_ = 0;
};

// Text as the platform's writer puts it in XML (CFPropertyList.c, _appendEscapedString): only
// "<", ">" and "&" escaped, every other character written as it is, control characters, carriage
// returns and U+FFFE/U+FFFF included. Such a file is not always XML 1.0, but the platform reads it
// back as it was written. Nothing when the text is not UTF-8.
bool appendEscaped(std::string& out, std::string_view s) {
  if (!isValidUtf8(s)) return false;
  for (const char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return true;
}

std::string formatReal(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
  return formats::shortestDecimal(d);
}

}  // namespace

namespace {

std::string formatBase64(const Data& data, const std::string& indent) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{data[i]} << 16u) |
                            (i + 1 < data.size() ? std::uint32_t{data[i + 1]} << 8u : 0) |
                            (i + 2 < data.size() ? std::uint32_t{data[i + 2]} : 0);
    encoded += kDigits[(n >> 18u) & 63u];
    encoded += kDigits[(n >> 12u) & 63u];
    encoded += i + 1 < data.size() ? kDigits[(n >> 6u) & 63u] : '=';
    encoded += i + 2 < data.size() ? kDigits[n & 63u] : '=';
  }
  std::string out = "\n";
  for (std::size_t i = 0; i < encoded.size(); i += 68) out += indent + encoded.substr(i, 68) + "\n";
  return out + indent.substr(0, indent.empty() ? 0 : indent.size() - 1);
}

class XmlWriter {
 public:
  std::optional<std::string> write(const Value& value) {
    out_ =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    if (!element(value, 0)) return std::nullopt;
    out_ += "</plist>\n";
    return std::move(out_);
  }

 private:
  bool simple(std::string_view tag, const std::string& text, std::size_t depth) {
    out_ += std::string(depth, '\t') + "<" + std::string(tag) + ">" + text + "</" + std::string(tag) + ">\n";
    return true;
  }

  bool element(const Value& value, std::size_t depth) {
    const std::string indent(depth, '\t');
    const auto& s = value.storage();
    if (const auto* b = std::get_if<bool>(&s)) {
      out_ += indent + (*b ? "<true/>\n" : "<false/>\n");
      return true;
    }
    if (const auto* i = std::get_if<std::int64_t>(&s)) return simple("integer", std::to_string(*i), depth);
    if (const auto* u = std::get_if<std::uint64_t>(&s)) return simple("integer", std::to_string(*u), depth);
    if (const auto* d = std::get_if<double>(&s)) return simple("real", formatReal(*d), depth);
    if (const auto* date = std::get_if<Date>(&s)) {
      auto text = formatXmlDate(date->seconds);
      return text && simple("date", *text, depth);
    }
    if (const auto* data = std::get_if<Data>(&s)) return simple("data", formatBase64(*data, indent + "\t"), depth);
    if (const auto* text = value.string()) {
      std::string escaped;
      return appendEscaped(escaped, *text) && simple("string", escaped, depth);
    }
    if (const auto* uid = std::get_if<Uid>(&s)) {
      out_ += indent + "<dict>\n" + indent + "\t<key>CF$UID</key>\n";
      simple("integer", std::to_string(uid->value), depth + 1);
      out_ += indent + "</dict>\n";
      return true;
    }
    // CoreFoundation's XML writer has no spelling for null or a set (CFPropertyList.c): the write fails.
    if (std::holds_alternative<Null>(s) || std::holds_alternative<Set>(s)) return false;
    if (const Array* a = value.array()) {
      if (a->empty()) {
        out_ += indent + "<array/>\n";
        return true;
      }
      out_ += indent + "<array>\n";
      for (const Value& v : *a) {
        if (!element(v, depth + 1)) return false;
      }
      out_ += indent + "</array>\n";
      return true;
    }
    const Dictionary& d = *value.dictionary();
    if (d.empty()) {
      out_ += indent + "<dict/>\n";
      return true;
    }
    out_ += indent + "<dict>\n";
    for (const auto& [key, v] : d) {
      std::string escaped;
      if (!appendEscaped(escaped, key)) return false;
      simple("key", escaped, depth + 1);
      if (!element(v, depth + 1)) return false;
    }
    out_ += indent + "</dict>\n";
    return true;
  }

  std::string out_;
};

}  // namespace

namespace {

// UTF-16 text as UTF-8; nothing for an odd length or a surrogate without its pair.
std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(bytes.size());
  const auto unit = [&](std::size_t i) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<std::uint32_t>(bigEndian ? (a << 8u) | b : (b << 8u) | a);
  };
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    std::uint32_t cp = unit(i);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      const std::uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10u) + (low - 0xDC00);
      i += 2;
    }
    appendUtf8(out, cp);
  }
  return out;
}

// ISO-8859-1 (and its subset US-ASCII) as UTF-8: every byte is the code point of its value.
std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

// The encoding the declaration names, lower case; empty when there is none.
std::string declaredEncoding(std::string_view bytes) {
  if (!bytes.starts_with("<?xml")) return {};
  const std::string_view declaration = bytes.substr(0, bytes.find("?>"));
  const std::size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return {};
  const std::size_t quote = declaration.find_first_of("\"'", at);
  if (quote == std::string_view::npos) return {};
  const std::size_t close = declaration.find(declaration[quote], quote + 1);
  if (close == std::string_view::npos) return {};
  std::string name(declaration.substr(quote + 1, close - quote - 1));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

// The encodings the platform's reader takes (CFPropertyList.c reads the byte-order mark and the
// declaration's encoding, converting through CFString): UTF-8 (with or without its byte-order mark),
// UTF-16 with a byte-order mark or, without one, told by its first characters as XML's appendix F
// says, and ISO-8859-1 or US-ASCII when the declaration names them. The text is read as UTF-8.
std::optional<Value> readXml(std::string_view bytes, const ReadLimits& limits) {
  std::optional<std::string> converted;
  if (bytes.starts_with("\xFF\xFE")) {
    converted = utf16ToUtf8(bytes.substr(2), false);
  } else if (bytes.starts_with("\xFE\xFF")) {
    converted = utf16ToUtf8(bytes.substr(2), true);
  } else if (bytes.starts_with(std::string_view("<\0?\0", 4))) {
    converted = utf16ToUtf8(bytes, false);
  } else if (bytes.starts_with(std::string_view("\0<\0?", 4))) {
    converted = utf16ToUtf8(bytes, true);
  } else {
    const std::string encoding = declaredEncoding(bytes);
    if (encoding == "iso-8859-1" || encoding == "latin1" || encoding == "us-ascii") {
      if (encoding == "us-ascii" && std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; })) {
        return std::nullopt;
      }
      converted = latin1ToUtf8(bytes);
    } else if (!encoding.empty() && encoding != "utf-8" && encoding != "utf8") {
      return std::nullopt;  // an encoding the device does not read: the file is unreadable
    } else {
      return XmlReader(bytes, limits).read();
    }
  }
  if (!converted) return std::nullopt;
  return XmlReader(*converted, limits).read();
}

std::optional<std::string> writeXml(const Value& value) { return XmlWriter().write(value); }

}  // namespace orvane::sim::formats
