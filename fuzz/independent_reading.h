// A second reading of property-list bytes, by libplist, an implementation independent of the
// device's own: the rewrite oracles compare what libplist reads before and after a rewrite, so a
// fault that the device's reader and writer share (a value both drop or change) is still caught.
// libplist asserts on a NUL inside a string and copies a shared object at every reference; it is
// asked only about lists the device read without either.
#pragma once

#include <plist/plist.h>

#include <bit>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_device.h"
#include "sim/plist/plist_io.h"

namespace orvane::fuzz {

// The top-level dictionary as libplist reads it: each key with a canonical text of its value.
using Reading = std::map<std::string, std::string>;

inline std::string canonical(plist_t node);

// A dictionary's entries, sorted, each key with the canonical text of its value, the last of a key
// winning.
inline Reading entriesOf(plist_t dictionary) {
  Reading entries;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dictionary, &it);
  for (;;) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(dictionary, it, &key, &item);
    if (item == nullptr) {
      std::free(key);
      break;
    }
    entries[key ? key : ""] = canonical(item);
    std::free(key);
  }
  std::free(it);
  return entries;
}

inline std::string canonical(plist_t node) {
  std::string out;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return b ? "true" : "false";
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);  // libplist 2.2 gives the bits without the sign
      return "int:" + std::to_string(u);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return "real:" + std::to_string(std::bit_cast<uint64_t>(d));
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return "date:" + std::to_string(sec) + "." + std::to_string(usec);
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return "uid:" + std::to_string(u);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      out = "string:" + std::string(s ? s : "");
      std::free(s);
      return out;
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      out = "data:" + std::string(bytes ? bytes : "", length);
      std::free(bytes);
      return out;
    }
    case PLIST_ARRAY: {
      out = "[";
      for (uint32_t i = 0; i < plist_array_get_size(node); ++i) out += canonical(plist_array_get_item(node, i)) + ",";
      return out + "]";
    }
    case PLIST_DICT: {
      out = "{";
      for (const auto& [k, v] : entriesOf(node)) out += k + ":" + v + ",";
      return out + "}";
    }
    default:
      return "?";
  }
}

// Whether libplist can be asked about a value the device read: no NUL in any string or key, and
// few enough values that copying shared ones costs nothing worth mentioning.
inline bool safeForLibplist(const Value& v, std::size_t& budget) {
  if (budget == 0) return false;
  --budget;
  if (const auto* s = v.string()) return s->find('\0') == std::string::npos;
  if (const Array* a = v.array()) {
    for (const Value& e : *a) {
      if (!safeForLibplist(e, budget)) return false;
    }
  } else if (const Dictionary* d = v.dictionary()) {
    for (const auto& [k, e] : *d) {
      if (k.str().find('\0') != std::string::npos || !safeForLibplist(e, budget)) return false;
    }
  }
  return true;
}

// libplist's reading of a dictionary file; nothing when it reads no dictionary.
inline std::optional<Reading> independentReading(std::string_view bytes) {
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  std::optional<Reading> out;
  if (plist_get_node_type(root) == PLIST_DICT) out = entriesOf(root);
  plist_free(root);
  return out;
}

// libplist's canonical text of one value, as the device would write it in `format`.
inline std::string independentCanonical(const Value& value, sim::PlistFormat format) {
  const auto bytes = sim::serializePlist(Value(Dictionary{{"v", value}}), format);
  if (!bytes) broken("the device cannot write the value the action chose");
  const auto reading = independentReading(*bytes);
  if (!reading || !reading->contains("v")) broken("libplist cannot read the device's own writing");
  return reading->at("v");
}

// libplist reads an XML integer written with leading zeros ("<integer>-0615</integer>") as octal;
// the platform and Python's plistlib read it as decimal, as the device does. Such lists are not
// compared through libplist.
inline bool hasLeadingZeroInteger(std::string_view xml) {
  for (std::size_t at = xml.find("<integer>"); at != std::string_view::npos; at = xml.find("<integer>", at + 1)) {
    std::size_t i = at + 9;
    while (i < xml.size() && (xml[i] == ' ' || xml[i] == '\t' || xml[i] == '\n' || xml[i] == '\r')) ++i;
    if (i < xml.size() && (xml[i] == '-' || xml[i] == '+')) ++i;
    if (i + 1 < xml.size() && xml[i] == '0' && xml[i + 1] >= '0' && xml[i + 1] <= '9') return true;
  }
  return false;
}

// XML turns every carriage return in text into a line feed (end-of-line handling), as the platform
// and Python's plistlib read it, and as the device does; libplist keeps the carriage return. Such
// lists are not compared through libplist.
inline bool hasCarriageReturn(std::string_view xml) { return xml.find('\r') != std::string_view::npos; }

// The rewrite oracle: `after` must hold what `before` held, with `key` set to `value`, written in
// `format`: as the device reads it (values compared exactly, to the precision of the format) and,
// where it is safe to ask and the format did not change, as libplist reads it. When the format
// cannot carry what the file held, the write is refused and the old bytes must stay.
inline void checkRewrite(std::string_view before, std::string_view after, std::string_view key, const Value& value,
                         sim::PlistFormat format) {
  const auto old = sim::parsePlist(before);
  Dictionary expected = *old->value.dictionary();
  expected.insert_or_assign(std::string(key), value);
  if (!sim::serializeFaithfully(Value(expected), format)) {
    if (after != before) broken("a rewrite the format cannot carry changed the file");
    return;
  }
  const auto now = sim::parsePlist(after);
  if (!now || !now->value.dictionary()) broken("the rewritten file does not read as a dictionary");
  if (now->format != format) broken("the rewrite is not in the writer's format");
  if (!sim::sameValue(now->value, Value(expected), format)) broken("a key or value did not survive the rewrite");
  std::size_t budget = 20000;
  if (old->format != format || !safeForLibplist(old->value, budget)) return;
  if (format == sim::PlistFormat::kXml && (hasLeadingZeroInteger(before) || hasCarriageReturn(before))) return;
  auto independentBefore = independentReading(before);
  if (!independentBefore) return;  // a list libplist cannot read: nothing to compare with
  const auto independentAfter = independentReading(after);
  if (!independentAfter) broken("libplist cannot read the rewritten file");
  (*independentBefore)[std::string(key)] = independentCanonical(value, format);
  if (*independentAfter != *independentBefore) broken("libplist reads a different file after the rewrite");
}

}  // namespace orvane::fuzz
