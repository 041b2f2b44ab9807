#include "cli/report.h"

#include "sim/device/trace.h"

namespace orvane::cli {

void Report::startFile(const std::string& name, const std::string& text) { files_.push_back({name, text, ""}); }

void Report::event(std::string json) { events_.push_back(std::move(json)); }

void Report::expectation(const std::string& file, int line, bool held, const std::string& message) {
  expectations_.push_back("{\"file\":" + sim::jsonString(file) + ",\"line\":" + std::to_string(line) +
                          ",\"held\":" + (held ? "true" : "false") + ",\"message\":" + sim::jsonString(message) + "}");
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

std::string Report::html(int passed, int failedFiles, int expectations, int failed) const {
  std::vector<std::string> fileJson;
  for (const File& f : files_) {
    fileJson.push_back("{\"name\":" + sim::jsonString(f.name) + ",\"text\":" + sim::jsonString(f.text) +
                       ",\"result\":" + sim::jsonString(f.result) + "}");
  }
  const std::string data = "{\"summary\":{\"files\":" + std::to_string(passed + failedFiles) +
                           ",\"passed\":" + std::to_string(passed) + ",\"failedFiles\":" + std::to_string(failedFiles) +
                           ",\"expectations\":" + std::to_string(expectations) +
                           ",\"failed\":" + std::to_string(failed) + "},\"files\":" + joined(fileJson) +
                           ",\"events\":" + joined(events_) + ",\"expectations\":" + joined(expectations_) + "}";
  return std::string(
             "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
             "script-src 'unsafe-inline'; img-src data:\">\n"
             "<title>orvane-sim report</title>\n<style>\n") +
         kDeviceStyle + kReportStyle +
         "</style>\n</head>\n<body>\n<header id=\"summary\"></header>\n<main>\n"
         "<nav id=\"scenarios\"></nav>\n<section id=\"timeline\"></section>\n<section id=\"device\"></section>\n"
         "<aside id=\"changes\"></aside>\n</main>\n<script id=\"data\" type=\"application/json\">\n" +
         scriptSafe(data) + "\n</script>\n<script>\n" + kDeviceScript + kReportScript + "</script>\n</body>\n</html>\n";
}

}  // namespace orvane::cli
