#include "sim/trace/trace.h"

#include <cstdio>

#include "sim/plist/text.h"
#include "sim/trace/value_text.h"

namespace orvane::sim {

const std::string* TraceEvent::field(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value.text();
  }
  return nullptr;
}

std::optional<std::string> TraceEvent::fieldText(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key != name) continue;
    return value.text() != nullptr ? *value.text() : formatValueText(*value.value());
  }
  return std::nullopt;
}

void Trace::add(std::string process, std::string kind, Fields fields) {
  if (!recording_ && !sink_) return;
  if (!recording_) {
    sink_(TraceEvent{0, std::move(process), std::move(kind), std::move(fields)});
    return;
  }
  events_.push_back(TraceEvent{events_.size() + 1, std::move(process), std::move(kind), std::move(fields)});
  if (sink_) sink_(events_.back());
}

namespace {
// Plain words print as they are; anything with spaces, quotes or control characters is quoted.
bool isPlainWord(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (c <= ' ' || c == '"' || c == '\\' || c == 0x7f) return false;
  }
  return true;
}
}  // namespace

std::string Trace::textOf(const FieldValue& field) {
  if (const Value* value = field.value()) return formatValueText(*value);
  const std::string& text = *field.text();
  return isPlainWord(text) ? text : formatStringText(text);
}

std::string Trace::text(const TraceEvent& event) {
  std::string out = "[" + event.process + "] " + event.kind;
  for (const auto& [key, value] : event.fields) out += " " + textOf(value);
  return out;
}

std::string jsonString(std::string_view s) {
  std::string out = "\"";
  char buf[8];
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    // A byte that does not begin valid UTF-8 is kept as U+DC80 + byte (as Python's surrogateescape
    // does), so the output is valid UTF-8 JSON and the byte can be recovered.
    const std::size_t length = formats::utf8SequenceAt(s, i);
    if (length == 0) {
      std::snprintf(buf, sizeof buf, "\\u%04x", 0xDC00u + c);
      out += buf;
      ++i;
      continue;
    }
    if (length > 1) {
      out += s.substr(i, length);
      i += length;
      continue;
    }
    if (!formats::appendSharedEscape(out, static_cast<char>(c))) {
      if (c < 0x20 || c == 0x7F) {
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
    }
    ++i;
  }
  return out + "\"";
}

}  // namespace orvane::sim
