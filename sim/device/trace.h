// Every observable effect on the device, in the order it happened, tagged with its process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvane::sim {

struct TraceEvent {
  std::uint64_t seq = 0;
  std::string process;  // "SpringBoard", an application's bundle identifier, or "device"
  std::string kind;     // see docs/scenarios.md for every kind and its fields
  std::vector<std::pair<std::string, std::string>> fields;

  // The value of a field, or nullptr.
  const std::string* field(std::string_view name) const;
};

class Trace {
 public:
  using Fields = std::vector<std::pair<std::string, std::string>>;

  void add(std::string process, std::string kind, Fields fields = {});
  const std::vector<TraceEvent>& events() const { return events_; }
  // Whether events are kept (they are, by default); a long run that only measures turns this off.
  void setRecording(bool recording) { recording_ = recording; }
  // Whether anyone takes events: when not, a caller on a hot path need not build them.
  bool wanted() const { return recording_ || static_cast<bool>(sink_); }
  // Called with each event as it is added (for live printing).
  void setSink(std::function<void(const TraceEvent&)> sink) { sink_ = std::move(sink); }

  // "[process] kind value value ..." with values in the text form of strings.
  static std::string text(const TraceEvent& event);
  // One field's value as the text form shows it.
  static std::string textValue(std::string_view key, const std::string& value);
  // One JSON object: {"seq":N,"process":"...","kind":"...", <fields as strings>}.
  static std::string json(const TraceEvent& event);

 private:
  std::vector<TraceEvent> events_;
  bool recording_ = true;
  std::function<void(const TraceEvent&)> sink_;
};

// A JSON string of `s`. Bytes that are not valid UTF-8 come out as \uDC80 to \uDCFF (the byte plus
// 0xDC00, as Python's "surrogateescape" reads them), so nothing is lost and the output stays UTF-8.
std::string jsonString(std::string_view s);

}  // namespace orvane::sim
