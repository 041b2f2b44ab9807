#include "cli/output/report.h"

#include <algorithm>

#include "cli/output/pages.h"
#include "sim/trace/trace.h"

namespace orvane::cli {

void Report::startFile(const std::string& name, const std::string& text) { files_.push_back({name, text, ""}); }

void Report::setText(const std::string& name, const std::string& text) {
  for (File& f : files_) {
    if (f.name == name) f.text = text;
  }
}

bool Report::hasFile(const std::string& name) const {
  return std::ranges::any_of(files_, [&name](const File& f) { return f.name == name; });
}

std::uint32_t Report::Table::add(std::string text) {
  const auto [at, added] = ids.try_emplace(std::move(text), static_cast<std::uint32_t>(texts.size()));
  if (added) {
    texts.push_back(&at->first);
    uses.push_back(0);
  }
  ++uses[at->second];
  return at->second;
}

void Report::event(const std::string& process, const std::string& kind, std::uint64_t seq, const std::string& file,
                   int line, const JsonMembers& members) {
  std::string shape = "{\"process\":" + sim::jsonString(process) + ",\"kind\":" + sim::jsonString(kind);
  if (!file.empty()) shape += ",\"file\":" + sim::jsonString(file);
  shape += ",\"keys\":[";
  for (std::size_t i = 0; i < members.size(); ++i) shape += (i ? "," : "") + sim::jsonString(members[i].first);
  shape += "]}";
  const std::uint32_t id = shapes_.add(std::move(shape));
  if (id == shapeWidths_.size()) shapeWidths_.push_back(static_cast<std::uint32_t>(members.size()));
  if (seq != lastSeq_ + 1) seqBreaks_.emplace_back(lines_.size(), seq);
  lastSeq_ = seq;
  lines_.push_back(file.empty() ? 0 : line);
  cells_.push_back(id);
  for (const auto& member : members) cells_.push_back(values_.add(member.second));
}

void Report::expectation(const std::string& file, int line, bool held, const std::string& message) {
  expectations_.push_back("{\"file\":" + sim::jsonString(file) + ",\"line\":" + std::to_string(line) +
                          ",\"held\":" + (held ? "true" : "false") + ",\"message\":" + sim::jsonString(message) + "}");
}

void Report::badLine(const std::string& file, int line, const std::string& message, std::size_t column) {
  expectations_.push_back("{\"file\":" + sim::jsonString(file) + ",\"line\":" + std::to_string(line) +
                          ",\"held\":false,\"error\":true,\"message\":" + sim::jsonString(message) +
                          (column != std::string::npos ? ",\"column\":" + std::to_string(column) : "") + "}");
}

void Report::fileResult(const std::string& file, const std::string& result) {
  for (File& f : files_) {
    if (f.name == file) f.result = result;
  }
}

namespace {

std::string joined(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ",\n" : "") + items[i];
  return out + "]";
}

// JSON inside a script element, as data and nothing else: "<", ">" and "&" (which occur only
// inside JSON strings) are written as \u escapes, so that no value can end the element ("</script>")
// or move the HTML tokenizer into a comment or double-escaped state ("<!--<script>"); U+2028 and
// U+2029 likewise, for any reader that takes the data as script. One pass, whatever the values.
std::string scriptSafe(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xE2' && i + 2 < json.size() && json[i + 1] == '\x80' &&
               (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
      out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

// The events as the page reads them: "shapes" (process, kind, file and field names), "values"
// (each JSON value used more than once), and "events", one flat list holding per event its
// shape's number, its line less the line of the event before, then per field a value's number in
// "values" or, for a string used only once, the string itself; "seqs" gives [index, seq] where an
// event's seq is not one more than the seq before it (taken as 0 before the first event).
std::string Report::html(int passed, int failedFiles, int errorFiles, int expectations, int failed) const {
  std::vector<std::string> fileJson;
  fileJson.reserve(files_.size());
  for (const File& f : files_) {
    fileJson.push_back("{\"name\":" + sim::jsonString(f.name) + ",\"text\":" + sim::jsonString(f.text) +
                       ",\"result\":" + sim::jsonString(f.result) + "}");
  }
  std::string data = "{\"summary\":{\"files\":" + std::to_string(passed + failedFiles + errorFiles) +
                     ",\"passed\":" + std::to_string(passed) + ",\"failedFiles\":" + std::to_string(failedFiles) +
                     ",\"errorFiles\":" + std::to_string(errorFiles) +
                     ",\"expectations\":" + std::to_string(expectations) + ",\"failed\":" + std::to_string(failed) +
                     "},\"files\":" + joined(fileJson) + ",\"expectations\":" + joined(expectations_) + ",\"shapes\":[";
  for (std::size_t i = 0; i < shapes_.texts.size(); ++i) (data += i ? ",\n" : "") += *shapes_.texts[i];
  data += "],\"values\":[";
  constexpr std::uint32_t kInline = UINT32_MAX;
  std::vector<std::uint32_t> number(values_.texts.size(), kInline);
  std::uint32_t kept = 0;
  for (std::size_t i = 0; i < values_.texts.size(); ++i) {
    const std::string& text = *values_.texts[i];
    if (values_.uses[i] == 1 && text.front() == '"') continue;
    (data += kept ? "," : "") += text;
    number[i] = kept++;
  }
  data += "],\"seqs\":[";
  for (std::size_t i = 0; i < seqBreaks_.size(); ++i) {
    data += (i ? ",[" : "[") + std::to_string(seqBreaks_[i].first) + "," + std::to_string(seqBreaks_[i].second) + "]";
  }
  data += "],\"events\":[";
  int lastLine = 0;
  for (std::size_t e = 0, cell = 0; e < lines_.size(); ++e) {
    const std::uint32_t shape = cells_[cell++];
    (data += e ? ",\n" : "") += std::to_string(shape);
    (data += ",") += std::to_string(static_cast<long long>(lines_[e]) - lastLine);
    lastLine = lines_[e];
    for (std::uint32_t f = 0; f < shapeWidths_[shape]; ++f) {
      const std::uint32_t value = cells_[cell++];
      data += ",";
      data += number[value] == kInline ? *values_.texts[value] : std::to_string(number[value]);
    }
  }
  data += "]}";
  return pages::fill(pages::kReportPage,
                     {{"<!-- style -->", std::string(pages::kDeviceStyle) + std::string(pages::kReportStyle)},
                      {"<!-- data -->", scriptSafe(data)},
                      {"<!-- script -->", pages::deviceScript() + std::string(pages::kReportScript)}});
}

}  // namespace orvane::cli
