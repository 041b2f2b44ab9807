#include "sim/trace/value_text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "sim/plist/plist_io.h"
#include "sim/plist/text.h"
#include "sim/plist/value_writer.h"

namespace orvane::sim {

namespace {

bool isBareChar(char c) {
  return !(std::isspace(static_cast<unsigned char>(c)) || c == '[' || c == ']' || c == '{' || c == '}' || c == ',' ||
           c == ':' || c == '"' || c == '<' || c == '>');
}

class Parser {
 public:
  Parser(std::string_view text, std::size_t maxDepth) : text_(text), maxDepth_(maxDepth) {}

  ValueParse parseWhole() {
    auto v = parseValue(0);
    if (v) {
      skipSpace();
      if (pos_ != text_.size()) return fail("unexpected text after the value");
    }
    if (!v) return {std::nullopt, error_.empty() ? "bad value" : error_, errorAt_};
    return {std::move(v), "", std::string::npos};
  }

 private:
  ValueParse fail(std::string message) {
    error_ = std::move(message);
    return {std::nullopt, error_, pos_};
  }
  // The first error found, and where: the caller says where that is in its own terms.
  std::optional<Value> error(std::string message) {
    if (error_.empty()) {
      error_ = std::move(message);
      errorAt_ = pos_;
    }
    return std::nullopt;
  }

  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  std::optional<Value> parseValue(std::size_t depth) {
    if (depth > maxDepth_) return error("nesting too deep");
    skipSpace();
    if (pos_ == text_.size()) return error("missing value");
    const char c = text_[pos_];
    if (c == '[') return parseArray(depth);
    if (c == '{') return parseDictionary(depth);
    if (c == '"') {
      auto s = parseQuoted();
      if (!s) return std::nullopt;
      return Value(std::move(*s));
    }
    if (c == '<') return parseData();
    if (!isBareChar(c)) return error(std::string("unexpected '") + c + "'");
    const std::string_view rest = text_.substr(pos_);
    // null() and set([...]): a binary list's null object and set.
    if (rest.starts_with("null()")) {
      pos_ += 6;
      return Value(Null{});
    }
    if (rest.starts_with("set(")) {
      pos_ += 4;
      skipSpace();
      if (pos_ == text_.size() || text_[pos_] != '[') return error("set( takes an array");
      auto members = parseArray(depth);
      if (!members) return std::nullopt;
      skipSpace();
      if (pos_ == text_.size() || text_[pos_] != ')') return error("unterminated set(");
      ++pos_;
      return Value(Set{*members->array()});
    }
    if (rest.starts_with("date(") || rest.starts_with("uid(") || rest.starts_with("real(")) {
      // A date's ISO form holds colons, which end a bare word: the tagged form runs to its ')'.
      const std::size_t close = rest.find(')');
      if (close == std::string_view::npos) return error("unterminated " + std::string(rest.substr(0, rest.find('('))));
      auto tagged = taggedValue(rest.substr(0, close + 1));
      if (!tagged) return error("bad " + std::string(rest.substr(0, close + 1)));
      pos_ += close + 1;
      return tagged;
    }
    return bareValue(parseBare());
  }

  // A number too large for any integer or real the lists hold is an error, never a string.
  std::optional<Value> outOfRange(const std::string& word) { return error("number out of range: " + word); }

  std::string parseBare() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && isBareChar(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  std::optional<Value> bareValue(const std::string& word) {
    if (word == "true") return Value(true);
    if (word == "false") return Value(false);
    const char* first = word.data();
    const char* last = word.data() + word.size();
    std::int64_t i = 0;
    auto [iend, ierr] = std::from_chars(first, last, i);
    if (ierr == std::errc() && iend == last) return Value(i);
    std::uint64_t u = 0;
    auto [uend, uerr] = std::from_chars(first, last, u);
    if (uerr == std::errc() && uend == last) return Value(u);
    if ((ierr == std::errc::result_out_of_range && iend == last) ||
        (uerr == std::errc::result_out_of_range && uend == last)) {
      return outOfRange(word);
    }
    double d = 0;
    auto [dend, derr] = std::from_chars(first, last, d);
    const bool real = dend == last && word.find_first_of(".eE") != std::string::npos;
    if (derr == std::errc() && real) return Value(d);
    if (derr == std::errc::result_out_of_range && real) return outOfRange(word);
    return Value(word);
  }

  // date(2001-01-01T00:00:00Z), date(0.5), uid(5), and real(nan), real(inf), real(-inf) (or any real).
  static std::optional<Value> taggedValue(std::string_view word) {
    if (!word.ends_with(')')) return std::nullopt;
    if (word.starts_with("real(")) {
      const std::string_view inner = word.substr(5, word.size() - 6);
      if (inner == "nan") return Value(std::numeric_limits<double>::quiet_NaN());
      if (inner == "-nan") return Value(-std::numeric_limits<double>::quiet_NaN());
      if (inner == "inf") return Value(std::numeric_limits<double>::infinity());
      if (inner == "-inf") return Value(-std::numeric_limits<double>::infinity());
      double d = 0;
      auto [end, ec] = std::from_chars(inner.data(), inner.data() + inner.size(), d);
      if (!inner.empty() && ec == std::errc() && end == inner.data() + inner.size()) return Value(d);
    } else if (word.starts_with("date(")) {
      const std::string_view inner = word.substr(5, word.size() - 6);
      if (auto iso = formats::parseXmlDate(inner)) return Value(Date{*iso});
      double d = 0;
      auto [end, ec] = std::from_chars(inner.data(), inner.data() + inner.size(), d);
      if (!inner.empty() && ec == std::errc() && end == inner.data() + inner.size()) return Value(Date{d});
    } else if (word.starts_with("uid(")) {
      const std::string_view inner = word.substr(4, word.size() - 5);
      std::uint64_t u = 0;
      auto [end, ec] = std::from_chars(inner.data(), inner.data() + inner.size(), u);
      if (!inner.empty() && ec == std::errc() && end == inner.data() + inner.size()) return Value(Uid{u});
    }
    return std::nullopt;
  }

  std::optional<std::string> parseQuoted() {
    ++pos_;  // opening quote
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ == text_.size()) break;
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'e':
          out += '\x1b';
          break;
        case '0':
          out += '\0';
          break;
        case 'x': {
          if (pos_ + 2 > text_.size()) {
            error("short \\x escape");
            return std::nullopt;
          }
          unsigned value = 0;
          auto [end, err] = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 2, value, 16);
          if (err != std::errc() || end != text_.data() + pos_ + 2) {
            error("bad \\x escape");
            return std::nullopt;
          }
          out += static_cast<char>(value);
          pos_ += 2;
          break;
        }
        default:
          out += e;
          break;
      }
    }
    error("unterminated string");
    return std::nullopt;
  }

  std::optional<Value> parseData() {
    ++pos_;
    Data out;
    std::string digits;
    while (pos_ < text_.size() && text_[pos_] != '>') {
      const char c = text_[pos_++];
      if (std::isspace(static_cast<unsigned char>(c))) continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) return error("bad data digit");
      digits += c;
    }
    if (pos_ == text_.size()) return error("unterminated data");
    ++pos_;
    if (digits.size() % 2 != 0) return error("odd number of data digits");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      unsigned byte = 0;
      std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
      out.push_back(static_cast<std::uint8_t>(byte));
    }
    return Value(std::move(out));
  }

  std::optional<Value> parseArray(std::size_t depth) {
    ++pos_;
    Array out;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return Value(std::move(out));
    }
    for (;;) {
      auto element = parseValue(depth + 1);
      if (!element) return std::nullopt;
      out.push_back(std::move(*element));
      skipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        return Value(std::move(out));
      }
      return error("expected ',' or ']'");
    }
  }

  std::optional<Value> parseDictionary(std::size_t depth) {
    ++pos_;
    Dictionary out;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return Value(std::move(out));
    }
    for (;;) {
      skipSpace();
      std::string key;
      if (pos_ < text_.size() && text_[pos_] == '"') {
        auto quoted = parseQuoted();
        if (!quoted) return std::nullopt;
        key = std::move(*quoted);
      } else {
        key = parseBare();
        if (key.empty()) return error("expected a key");
      }
      skipSpace();
      if (pos_ == text_.size() || text_[pos_] != ':') return error("expected ':'");
      ++pos_;
      auto element = parseValue(depth + 1);
      if (!element) return std::nullopt;
      out.insert_or_assign(std::move(key), std::move(*element));
      skipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        return Value(std::move(out));
      }
      return error("expected ',' or '}'");
    }
  }

  std::string_view text_;
  std::size_t maxDepth_;
  std::size_t pos_ = 0;
  std::string error_;
  std::size_t errorAt_ = std::string::npos;
};

std::string formatReal(double d) {
  std::string s = formats::shortestDecimal(d);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

ValueParse parseValueText(std::string_view text, std::size_t maxDepth) { return Parser(text, maxDepth).parseWhole(); }

std::string formatStringText(std::string_view s) {
  bool bare = !s.empty();
  for (char c : s) bare = bare && isBareChar(c) && std::isprint(static_cast<unsigned char>(c));
  if (bare) {
    auto reparsed = parseValueText(s);
    bare = reparsed.value && reparsed.value->string() && *reparsed.value->string() == s;
  }
  if (bare) return std::string(s);
  std::string out = "\"";
  for (char c : s) {
    if (formats::appendSharedEscape(out, c)) continue;
    if (c == '\x1b') {
      out += "\\e";
    } else if (std::isprint(static_cast<unsigned char>(c)) || (static_cast<unsigned char>(c) >= 0x80)) {
      out += c;
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
      out += buf;
    }
  }
  return out + "\"";
}

std::string hexOf(const Data& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * data.size());
  for (std::uint8_t b : data) {
    out += kDigits[b >> 4u];
    out += kDigits[b & 0xFu];
  }
  return out;
}

namespace {
// The text form as a form of the value writer.
struct TextForm {
  static constexpr std::string_view kSeparator = ", ";
  static constexpr std::string_view kKeySeparator = ": ";
  static std::string scalar(bool b) { return b ? "true" : "false"; }
  static std::string scalar(std::int64_t n) { return std::to_string(n); }
  static std::string scalar(std::uint64_t n) { return std::to_string(n); }
  // NaN and the infinities are tagged, so that they never read as the strings "nan", "inf".
  static std::string scalar(double d) { return std::isfinite(d) ? formatReal(d) : "real(" + formatReal(d) + ")"; }
  static std::string scalar(const std::string& s) { return formatStringText(s); }
  static std::string scalar(const Data& d) { return "<" + hexOf(d) + ">"; }
  static std::string scalar(const Date& d) {
    if (d.seconds == std::floor(d.seconds)) {
      if (auto iso = formats::formatXmlDate(d.seconds)) return "date(" + *iso + ")";
    }
    return "date(" + formatReal(d.seconds) + ")";
  }
  static std::string scalar(const Uid& u) { return "uid(" + std::to_string(u.value) + ")"; }
  static std::string scalar(const Null&) { return "null()"; }
  static std::string set(const std::string& members) { return "set(" + members + ")"; }
  static std::string key(const Key& key) { return formatKeyText(key); }
  static std::string tooLarge(const ValueSize& size) {
    return "<too large to write out: " + std::to_string(size.values) + " values, " + std::to_string(size.bytes) +
           " bytes>";
  }
};

}  // namespace

std::string formatKeyText(const Key& key) {
  const auto object = keyObject(key);
  return object ? writeExpanded(*object, TextForm()) : formatStringText(key);
}

std::string formatValueText(const Value& value) { return writeValue(value, TextForm()); }

}  // namespace orvane::sim
