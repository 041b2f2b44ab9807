// Every observable effect on the device, in the order it happened, tagged with its process.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/value.h"

namespace orvane::sim {

// What a field of an event holds: a word or a text (a keyboard's identifier, a log line), or a value
// (a stored preference, a list of keyboards) kept as the value itself, which each output writes in
// its own form: the text form of values in the text trace, JSON beside it in the JSON trace.
class FieldValue {
 public:
  FieldValue(std::string text)
      : content_(std::in_place_index<0>, std::move(text)) {}       // NOLINT(google-explicit-constructor)
  FieldValue(const char* text) : FieldValue(std::string(text)) {}  // NOLINT(google-explicit-constructor)
  static FieldValue of(Value value) { return FieldValue(std::move(value)); }

  // The text of a text field; nullptr for a value.
  const std::string* text() const { return std::get_if<std::string>(&content_); }
  // The value of a value field; nullptr for a text.
  const Value* value() const { return std::get_if<Value>(&content_); }

 private:
  explicit FieldValue(Value value) : content_(std::in_place_index<1>, std::move(value)) {}
  std::variant<std::string, Value> content_;
};

struct TraceEvent {
  std::uint64_t seq = 0;
  std::string process;  // "SpringBoard", an application's bundle identifier, or "device"
  std::string kind;     // see docs/scenarios.md for every kind and its fields
  std::vector<std::pair<std::string, FieldValue>> fields;

  // The text of a text field; nullptr when the event has no such field, or holds a value there.
  const std::string* field(std::string_view name) const;
  // The field as the text form writes it (a value in the text form of values); nothing when absent.
  std::optional<std::string> fieldText(std::string_view name) const;
};

class Trace {
 public:
  using Fields = std::vector<std::pair<std::string, FieldValue>>;

  void add(std::string process, std::string kind, Fields fields = {});
  const std::vector<TraceEvent>& events() const { return events_; }
  // Whether events are kept (they are, by default); a long run that only measures turns this off.
  void setRecording(bool recording) { recording_ = recording; }
  // Whether anyone takes events: when not, a caller on a hot path need not build them.
  bool wanted() const { return recording_ || static_cast<bool>(sink_); }
  // Called with each event as it is added (for live printing).
  void setSink(std::function<void(const TraceEvent&)> sink) { sink_ = std::move(sink); }

  // "[process] kind value value ..." with each field as textOf() writes it.
  static std::string text(const TraceEvent& event);
  // A field as a word of a trace line: a value in the text form of values, a text bare when it is
  // one plain word, else quoted in the text form of strings.
  static std::string textOf(const FieldValue& field);

 private:
  std::vector<TraceEvent> events_;
  bool recording_ = true;
  std::function<void(const TraceEvent&)> sink_;
};

// A JSON string of `s`. Bytes that are not valid UTF-8 come out as \uDC80 to \uDCFF (the byte plus
// 0xDC00, as Python's "surrogateescape" reads them), so nothing is lost and the output stays UTF-8.
std::string jsonString(std::string_view s);

}  // namespace orvane::sim
