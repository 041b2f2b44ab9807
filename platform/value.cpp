#include "platform/value.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <limits>

namespace orvane {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// NSString's boolValue: after leading white space, an optional sign and any zeros, true when the
// text starts with "Y", "y", "T", "t" or a digit 1 to 9.
bool stringBoolValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i == s.size()) return false;
  const char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// NSString's intValue: the leading decimal integer after white space and an optional sign, 0 when
// there is none, saturating at the 32-bit limits.
std::int32_t stringIntValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    magnitude = std::min(magnitude * 10 + (s[i] - '0'), kLimit);
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(std::min(magnitude, kLimit - 1));
}

}  // namespace

namespace {
constexpr char kObjectKeyMark = '\xff';

void appendBigEndian(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((v >> static_cast<unsigned>(shift)) & 0xFFu);
}
std::uint64_t readBigEndian(std::string_view s) {
  std::uint64_t v = 0;
  for (const char c : s) v = (v << 8u) | static_cast<unsigned char>(c);
  return v;
}
}  // namespace

std::optional<Key> objectKey(const Value& object) {
  std::string out(1, kObjectKeyMark);
  const Value::Storage& v = object.storage();
  if (const auto* b = std::get_if<bool>(&v)) {
    out += *b ? "b1" : "b0";
  } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
    out += 'i';
    appendBigEndian(out, static_cast<std::uint64_t>(*i));
  } else if (const auto* u = std::get_if<std::uint64_t>(&v)) {
    out += 'u';
    appendBigEndian(out, *u);
  } else if (const auto* d = std::get_if<double>(&v)) {
    out += 'r';
    appendBigEndian(out, std::bit_cast<std::uint64_t>(*d));
  } else if (const auto* date = std::get_if<Date>(&v)) {
    out += 'd';
    appendBigEndian(out, std::bit_cast<std::uint64_t>(date->seconds));
  } else if (const auto* uid = std::get_if<Uid>(&v)) {
    out += 'U';
    appendBigEndian(out, uid->value);
  } else if (std::holds_alternative<Null>(v)) {
    out += 'n';
  } else if (const auto* data = std::get_if<Data>(&v)) {
    out += 'x';
    out.append(data->begin(), data->end());
  } else {
    return std::nullopt;
  }
  return Key(std::move(out));
}

std::optional<Value> keyObject(const Key& key) {
  const std::string& s = key.str();
  if (s.size() < 2 || s[0] != kObjectKeyMark) return std::nullopt;
  const std::string_view rest = std::string_view(s).substr(2);
  switch (s[1]) {
    case 'b':
      return Value(rest == "1");
    case 'i':
      return Value(static_cast<std::int64_t>(readBigEndian(rest)));
    case 'u':
      return Value(readBigEndian(rest));
    case 'r':
      return Value(std::bit_cast<double>(readBigEndian(rest)));
    case 'd':
      return Value(Date{std::bit_cast<double>(readBigEndian(rest))});
    case 'U':
      return Value(Uid{readBigEndian(rest)});
    case 'n':
      return Value(Null{});
    case 'x':
      return Value(Data(rest.begin(), rest.end()));
    default:
      return std::nullopt;
  }
}

std::optional<bool> Value::boolReading() const {
  if (const auto* b = std::get_if<bool>(&storage())) return *b;
  if (const auto* s = std::get_if<std::string>(&storage())) return stringBoolValue(*s);
  if (const auto* i = std::get_if<std::int64_t>(&storage())) return *i != 0;
  if (std::holds_alternative<std::uint64_t>(storage())) return true;  // never zero
  if (const auto* d = std::get_if<double>(&storage())) return *d != 0.0;
  return std::nullopt;
}

std::optional<std::int32_t> Value::int32Reading() const {
  if (const auto* b = std::get_if<bool>(&storage())) return *b ? 1 : 0;
  if (const auto* s = std::get_if<std::string>(&storage())) return stringIntValue(*s);
  if (const auto* i = std::get_if<std::int64_t>(&storage())) return static_cast<std::int32_t>(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&storage())) return static_cast<std::int32_t>(*u);
  if (const auto* d = std::get_if<double>(&storage())) {
    if (std::isnan(*d)) return 0;
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    if (*d <= kMin) return std::numeric_limits<std::int32_t>::min();
    if (*d >= kMax) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(*d);
  }
  return std::nullopt;
}

Dictionary* Value::dictionary() {
  if (!std::holds_alternative<Dictionary>(storage())) return nullptr;
  if (shared_.use_count() > 1) shared_ = make(Dictionary(std::get<Dictionary>(*shared_)));
  return &std::get<Dictionary>(*shared_);
}

const Value* find(const Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

bool boolSetting(const Dictionary& dictionary, std::string_view key, bool fallback) {
  const Value* v = find(dictionary, key);
  return v ? v->boolReading().value_or(fallback) : fallback;
}

std::int32_t int32Setting(const Dictionary& dictionary, std::string_view key, std::int32_t fallback) {
  const Value* v = find(dictionary, key);
  return v ? v->int32Reading().value_or(fallback) : fallback;
}

std::optional<std::string> stringSetting(const Dictionary& dictionary, std::string_view key) {
  const Value* v = find(dictionary, key);
  if (v == nullptr || v->string() == nullptr) return std::nullopt;
  return *v->string();
}

std::vector<std::string> stringElements(const std::optional<Value>& value) {
  return stringElements(value ? &*value : nullptr);
}

std::vector<std::string> stringElements(const Value* value) {
  std::vector<std::string> out;
  if (const Array* array = value ? value->array() : nullptr) {
    for (const Value& element : *array) {
      if (const std::string* s = element.string()) out.push_back(*s);
    }
  }
  return out;
}

namespace {

// The platform quotes an element of a list description unless it is a plain word.
std::string describeElement(const std::string& s) {
  bool plain = !s.empty();
  for (unsigned char c : s) {
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/')) plain = false;
  }
  if (plain) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string describeList(const std::vector<std::string>& items) {
  if (items.empty()) return "(\n)";
  std::string out = "(\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += "    " + describeElement(items[i]);
    out += i + 1 < items.size() ? ",\n" : "\n";
  }
  return out + ")";
}

}  // namespace

std::string describe(const std::optional<std::vector<std::string>>& strings) {
  return strings ? describeList(*strings) : "(null)";
}

std::string describe(const std::optional<Value>& value) {
  if (!value) return "(null)";
  if (const auto* s = value->string()) return *s;
  if (const auto* a = value->array()) {
    std::vector<std::string> items;
    for (const Value& v : *a) items.push_back(v.string() ? *v.string() : describe(std::optional<Value>(v)));
    return describeList(items);
  }
  if (const auto* b = std::get_if<bool>(&value->storage())) return *b ? "1" : "0";
  if (const auto* i = std::get_if<std::int64_t>(&value->storage())) return std::to_string(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&value->storage())) return std::to_string(*u);
  if (const auto* d = std::get_if<double>(&value->storage())) return std::to_string(*d);
  return "<object>";
}

}  // namespace orvane
