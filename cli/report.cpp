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

// JSON inside a script element: "</" would end the element early.
std::string scriptSafe(std::string json) {
  for (std::size_t at = json.find("</"); at != std::string::npos; at = json.find("</", at + 3))
    json.insert(at + 1, "\\");
  return json;
}

}  // namespace

std::string Report::html(int files, int expectations, int failed) const {
  std::vector<std::string> fileJson;
  for (const File& f : files_) {
    fileJson.push_back("{\"name\":" + sim::jsonString(f.name) + ",\"text\":" + sim::jsonString(f.text) +
                       ",\"result\":" + sim::jsonString(f.result) + "}");
  }
  const std::string data = "{\"summary\":{\"files\":" + std::to_string(files) +
                           ",\"expectations\":" + std::to_string(expectations) +
                           ",\"failed\":" + std::to_string(failed) + "},\"files\":" + joined(fileJson) +
                           ",\"events\":" + joined(events_) + ",\"expectations\":" + joined(expectations_) + "}";
  return std::string(
             "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
             "script-src 'unsafe-inline'; img-src data:\">\n"
             "<title>orvane-sim report</title>\n<style>\n") +
         kReportStyle +
         "</style>\n</head>\n<body>\n<header id=\"summary\"></header>\n<main>\n"
         "<nav id=\"scenarios\"></nav>\n<section id=\"timeline\"></section>\n<section id=\"device\"></section>\n"
         "<aside id=\"changes\"></aside>\n</main>\n<script id=\"data\" type=\"application/json\">\n" +
         scriptSafe(data) + "\n</script>\n<script>\n" + kReportScript + "</script>\n</body>\n</html>\n";
}

}  // namespace orvane::cli
