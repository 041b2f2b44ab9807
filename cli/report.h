// The visual report: one self-contained HTML file (inline CSS, SVG and script, no network) that
// shows, line by line, what a user would see on the device: each process's keyboard with its
// globe key's label and the keyboard it is on, the switcher menu, alerts, the lock screen, and what
// changed. It is built from the very events of the JSON trace, so it shows what the trace shows.
#pragma once

#include <string>
#include <vector>

namespace orvane::cli {

class Report {
 public:
  // A scenario file begins, with its text (shown as the timeline).
  void startFile(const std::string& name, const std::string& text);
  // One trace event, as the JSON trace prints it.
  void event(std::string json);
  void expectation(const std::string& file, int line, bool held, const std::string& message);
  void fileResult(const std::string& file, const std::string& result);
  std::string html(int passed, int failedFiles, int expectations, int failed) const;

 private:
  struct File {
    std::string name;
    std::string text;
    std::string result;
  };
  std::vector<File> files_;
  std::vector<std::string> events_;
  std::vector<std::string> expectations_;
};

// The page's style and script, kept beside the report that embeds them.
extern const char* const kReportStyle;
// The device's drawing, shared by the report and the live page (device_drawing.cpp).
extern const char* const kDeviceStyle;
extern const char* const kDeviceScript;
extern const char* const kReportScript;

}  // namespace orvane::cli
