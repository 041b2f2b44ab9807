#include "cli/output/output.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "sim/plist/plist_io.h"
#include "sim/plist/text.h"
#include "sim/plist/value_writer.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {

namespace {

std::string jsonNumber(double d) {
  if (std::isnan(d)) return "\"nan\"";
  if (std::isinf(d)) return d > 0 ? "\"inf\"" : "\"-inf\"";
  return sim::formats::shortestDecimal(d);
}

// JSON as a form of the value writer: numbers as numbers, the kinds JSON has no word for as an
// object that names them.
struct JsonForm {
  static constexpr std::string_view kSeparator = ",";
  static constexpr std::string_view kKeySeparator = ":";
  static std::string scalar(bool b) { return b ? "true" : "false"; }
  static std::string scalar(std::int64_t n) { return std::to_string(n); }
  static std::string scalar(std::uint64_t n) { return std::to_string(n); }
  static std::string scalar(double d) { return jsonNumber(d); }
  static std::string scalar(const std::string& s) { return sim::jsonString(s); }
  static std::string scalar(const Data& d) { return "{\"data\":\"" + sim::hexOf(d) + "\"}"; }
  static std::string scalar(const Date& d) {
    const auto iso = d.seconds == std::floor(d.seconds) ? sim::formats::formatXmlDate(d.seconds) : std::nullopt;
    return "{\"date\":" + (iso ? sim::jsonString(*iso) : jsonNumber(d.seconds)) + "}";
  }
  static std::string scalar(const Uid& u) { return "{\"uid\":" + std::to_string(u.value) + "}"; }
  static std::string scalar(const Null&) { return "{\"null\":true}"; }
  static std::string set(const std::string& members) { return "{\"set\":" + members + "}"; }
  // A key that is not text (a number, a date, as a binary property list may hold) is named by that
  // object in the text form of values.
  static std::string key(const Key& key) {
    const auto object = keyObject(key);
    return sim::jsonString(object ? sim::formatValueText(*object) : key.str());
  }
  static std::string tooLarge(const sim::ValueSize& size) {
    return "{\"tooLarge\":{\"values\":" + std::to_string(size.values) + ",\"bytes\":" + std::to_string(size.bytes) +
           "}}";
  }
};

}  // namespace

std::string valueJson(const Value& value) { return sim::writeValue(value, JsonForm()); }

JsonMembers eventMembers(const sim::TraceEvent& event) {
  JsonMembers members;
  members.reserve(event.fields.size());
  for (const auto& [key, field] : event.fields) {
    // A value comes in the text form of values, and as JSON beside it.
    const Value* value = field.value();
    members.emplace_back(key, sim::jsonString(value != nullptr ? sim::formatValueText(*value) : *field.text()));
    if (value != nullptr) members.emplace_back(key + "Json", valueJson(*value));
  }
  return members;
}

std::string eventJson(const sim::TraceEvent& event, std::uint64_t seq, const std::string& file, int line,
                      const JsonMembers& members) {
  std::string out = "{\"seq\":" + std::to_string(seq) + ",\"process\":" + sim::jsonString(event.process) +
                    ",\"kind\":" + sim::jsonString(event.kind);
  if (!file.empty()) out += ",\"file\":" + sim::jsonString(file) + ",\"line\":" + std::to_string(line);
  for (const auto& [key, json] : members) out += "," + sim::jsonString(key) + ":" + json;
  return out + "}";
}

std::string eventText(const sim::TraceEvent& event) {
  std::string out = "[" + event.process + "] " + event.kind;
  bool first = true;
  for (const auto& [key, value] : event.fields) {
    out += " " + (first ? "" : key + "=") + sim::Trace::textOf(value);
    first = false;
  }
  return out;
}

Output::Output(std::ostream& out, std::ostream& err, OutputOptions options)
    : out_(out), err_(err), options_(std::move(options)) {}

std::optional<std::vector<std::string>> Output::processMissed() const {
  if (!options_.process || processSeen_) return std::nullopt;
  return std::vector<std::string>(processesSeen_.begin(), processesSeen_.end());
}

bool Output::shown(const sim::TraceEvent& event) const {
  if (options_.format == TraceFormat::kNone) return false;
  if (!options_.only.empty() && !options_.only.contains(event.kind)) return false;
  return !options_.process || event.process == *options_.process;
}

void Output::event(const sim::TraceEvent& event) {
  ++seq_;
  if (options_.process && !processSeen_) {
    processSeen_ = event.process == *options_.process;
    if (!processSeen_ && processesSeen_.size() < 256) processesSeen_.insert(event.process);
  }
  const bool visible = shown(event);
  std::string jsonLine;
  const bool json = observer_ || copy_ != nullptr || (visible && options_.format == TraceFormat::kJson);
  if (report_ != nullptr || json) {
    const JsonMembers members = eventMembers(event);
    if (report_ != nullptr) report_->event(event.process, event.kind, seq_, file_, line_, members);
    if (json) jsonLine = eventJson(event, seq_, file_, line_, members);
    if (observer_) observer_(event, jsonLine);
  }
  if (capture_) capturedOfFile_.append(eventText(event)).push_back('\n');
  show(event, jsonLine);
  if (copy_ != nullptr) copy_->show(event, jsonLine);
}

void Output::show(const sim::TraceEvent& event, const std::string& json) {
  if (!shown(event)) return;
  errno = 0;
  if (options_.format == TraceFormat::kJson) {
    out_ << json << '\n';
  } else if (event.kind == "say") {
    out_ << "\n== " << *event.field("text") << '\n';
  } else {
    out_ << eventText(event) << '\n';
  }
  if (!out_ && writeError_ == 0) writeError_ = errno ? errno : EIO;
}

void Output::expectation(const std::string& where, bool held, const std::string& message) {
  if (report_ != nullptr) report_->expectation(file_, line_, held, message);
  if (copy_ != nullptr && !held) copy_->placed(*this).failure(where, message, false);
  if (!held) failure(where, message, false);
}

void Output::failure(const std::string& where, const std::string& message, bool badLine) {
  err_ << where << ": " << message << '\n';
  failuresOfFile_.push_back(where + ": " + message);
  if (options_.format != TraceFormat::kJson) return;
  out_ << "{\"kind\":" << sim::jsonString(badLine ? "bad-line" : "expect-failed")
       << ",\"file\":" << sim::jsonString(file_) << ",\"line\":" << line_ << ",\"message\":" << sim::jsonString(message)
       << "}\n";
}

void Output::badLine(const std::string& where, const std::string& message, const std::string& line,
                     std::size_t column) {
  if (copy_ != nullptr) copy_->placed(*this).badLine(where, message, line, column);
  err_ << where << ": " << message << '\n';
  failuresOfFile_.push_back(where + ": " + message);
  // The report shows the line that stopped the file, with its message, as a failure at that line.
  if (report_ != nullptr) report_->badLine(file_, line_, message, column);
  if (column != std::string::npos && column <= line.size()) {
    // The caret under the word: tabs stay tabs, and a character of several bytes is one column.
    std::string under;
    for (std::size_t i = 0; i < column; ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      if (c == '\t') {
        under += '\t';
      } else if ((c & 0xC0) != 0x80) {
        under += ' ';
      }
    }
    err_ << "    " << line << "\n    " << under << "^\n";
  }
  if (options_.format != TraceFormat::kJson) return;
  out_ << "{\"kind\":\"bad-line\",\"file\":" << sim::jsonString(file_) << ",\"line\":" << line_
       << ",\"message\":" << sim::jsonString(message);
  if (column != std::string::npos) out_ << ",\"column\":" << column + 1;
  out_ << "}\n";
}

void Output::fileResult(const std::string& file, int status, int expectations, int failed) {
  const std::string result = status == 0 ? "ok" : status == 1 ? "failed" : "stopped";
  if (options_.format == TraceFormat::kJson) {
    out_ << "{\"kind\":\"file-result\",\"file\":" << sim::jsonString(file) << ",\"result\":\"" << result
         << "\",\"expectations\":" << expectations << ",\"failed\":" << failed << "}\n";
    return;
  }
  out_ << file << ": " << paint(status == 0 ? kGreen : kRed)
       << (status == 0   ? "ok (" + std::to_string(expectations) + " expectations)"
           : status == 1 ? "FAILED " + std::to_string(failed) + " of " + std::to_string(expectations) + " expectations"
                         : "stopped at a bad line after " + std::to_string(expectations) + " expectations")
       << paint(kPlain) << '\n';
}

const char* Output::paint(const char* colour) const { return options_.color.value_or(false) ? colour : ""; }

void Output::summary(const Tally& tally, double seconds) {
  char time[32];
  std::snprintf(time, sizeof time, "%.2f", seconds);
  if (options_.format == TraceFormat::kJson) {
    out_ << "{\"kind\":\"summary\",\"files\":" << tally.passed + tally.failedFiles + tally.errorFiles
         << ",\"passed\":" << tally.passed << ",\"failedFiles\":" << tally.failedFiles
         << ",\"errorFiles\":" << tally.errorFiles << ",\"expectations\":" << tally.expectations
         << ",\"failed\":" << tally.failed << ",\"seconds\":" << time << "}\n";
    return;
  }
  // The files' count closes the run, alone on its line, as test runners end theirs; errors are
  // counted apart from failures, and named only when there are some.
  const bool clean = tally.failedFiles == 0 && tally.errorFiles == 0;
  out_ << tally.expectations << " expectations, " << tally.failed << " failed, " << time << " seconds\n"
       << paint(clean ? kGreen : kRed) << tally.passed << " passed, " << tally.failedFiles << " failed";
  if (tally.errorFiles > 0) out_ << ", " << tally.errorFiles << (tally.errorFiles == 1 ? " error" : " errors");
  out_ << paint(kPlain) << '\n';
}

}  // namespace orvane::cli
