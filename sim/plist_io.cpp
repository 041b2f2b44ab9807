#include "sim/plist_io.h"

#include "sim/plist_guard.h"

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvane::sim {

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Property-list strings are Unicode text: bytes that are not valid UTF-8, or a NUL, make the whole
// list unreadable, as the platform's reader has it; libplist would otherwise assert on a NUL and
// truncate invalid text when writing the list back.
bool isPlainText(const char* s, std::size_t length) {
  std::size_t i = 0;
  while (i < length) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0) return false;
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= length) return false;  // cut short
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not text.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::optional<Value> toValue(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // Property lists hold signed 64-bit integers; libplist hands them over as unsigned bits.
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (s == nullptr) return Value(std::string());
      if (!isPlainText(s, length)) return std::nullopt;
      return Value(std::string(s, length));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data out(bytes, bytes + length);
      std::free(bytes);
      return Value(std::move(out));
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist carries dates as 32-bit seconds and microseconds; one it could not carry comes out
      // saturated or with the microseconds overflowing, and could not be written back: unreadable.
      if (sec == INT32_MIN || sec == INT32_MAX || usec <= -1000000 || usec >= 1000000) return std::nullopt;
      return Value(Date{sec + usec / 1e6});
    }
    case PLIST_ARRAY: {
      Array out;
      const uint32_t size = plist_array_get_size(node);
      for (uint32_t i = 0; i < size; ++i) {
        plist_t item = plist_array_get_item(node, i);
        // An element of a type the platform has no value for (a keyed-archive UID) is left out;
        // text that is not text spoils the whole list.
        auto v = toValue(item);
        if (!v && plist_get_node_type(item) != PLIST_UID) return std::nullopt;
        if (v) out.push_back(std::move(*v));
      }
      return Value(std::move(out));
    }
    case PLIST_DICT: {
      Dictionary out;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (item == nullptr) {
          std::free(key);
          break;
        }
        auto v = toValue(item);
        const bool keyIsText = key != nullptr && isPlainText(key, std::strlen(key));
        if (!keyIsText || (!v && plist_get_node_type(item) != PLIST_UID)) {
          std::free(key);
          std::free(it);
          return std::nullopt;
        }
        if (v) out.insert_or_assign(key, std::move(*v));
        std::free(key);
      }
      std::free(it);
      return Value(std::move(out));
    }
    default:
      return std::nullopt;
  }
}

plist_t toPlist(const Value& value) {
  return std::visit(
      [](const auto& v) -> plist_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return plist_new_bool(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return plist_new_uint(static_cast<uint64_t>(v));
        } else if constexpr (std::is_same_v<T, double>) {
          return plist_new_real(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return plist_new_string(v.c_str());
        } else if constexpr (std::is_same_v<T, Data>) {
          return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
        } else if constexpr (std::is_same_v<T, Date>) {
          // Exact for every date read above: seconds and microseconds fit a double's mantissa.
          const double clamped = std::clamp(std::isfinite(v.seconds) ? v.seconds : 0.0, -2147483647.0, 2147483646.0);
          const double whole = std::trunc(clamped);
          const auto usec = static_cast<int32_t>(std::clamp(std::llround((clamped - whole) * 1e6), -999999LL, 999999LL));
          return plist_new_date(static_cast<int32_t>(whole), usec);
        } else if constexpr (std::is_same_v<T, Array>) {
          plist_t array = plist_new_array();
          for (const Value& element : v) plist_array_append_item(array, toPlist(element));
          return array;
        } else {
          plist_t dict = plist_new_dict();
          for (const auto& [key, element] : v) plist_dict_set_item(dict, key.c_str(), toPlist(element));
          return dict;
        }
      },
      value.storage());
}

}  // namespace

std::optional<ParsedPlist> parsePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxPlistBytes) return std::nullopt;
  const auto length = static_cast<uint32_t>(bytes.size());
  const bool binary = plist_is_binary(bytes.data(), length) != 0;
  if (binary != bytes.starts_with("bplist00") || !plistNestingWithin(bytes)) return std::nullopt;
  plist_t raw = nullptr;
  if (binary) {
    plist_from_bin(bytes.data(), length, &raw);
  } else {
    plist_from_xml(bytes.data(), length, &raw);
  }
  PlistPtr root(raw);
  if (!root) return std::nullopt;
  auto value = toValue(root.get());
  if (!value) return std::nullopt;
  return ParsedPlist{std::move(*value), binary ? PlistFormat::kBinary : PlistFormat::kXml};
}

std::string serializePlist(const Value& value, PlistFormat format) {
  PlistPtr root(toPlist(value));
  char* out = nullptr;
  uint32_t length = 0;
  if (format == PlistFormat::kBinary) {
    plist_to_bin(root.get(), &out, &length);
  } else {
    plist_to_xml(root.get(), &out, &length);
  }
  std::string bytes(out ? out : "", out ? length : 0);
  std::free(out);
  return bytes;
}

std::optional<std::string> serializeFaithfully(const Value& value, PlistFormat format) {
  std::string bytes = serializePlist(value, format);
  const auto back = parsePlist(bytes);
  if (!back || back->value != value) return std::nullopt;
  return bytes;
}

}  // namespace orvane::sim
