// The visual report: one self-contained HTML file (inline CSS, SVG and script, no network) that
// shows, line by line, what a user would see on the device: each process's keyboard with its
// globe key's label and the keyboard it is on, the switcher menu, alerts, the lock screen, and what
// changed. It is built from the very events of the JSON trace, so it shows what the trace shows.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvane::cli {

// The members of a JSON object, in order, each value already written as JSON.
using JsonMembers = std::vector<std::pair<std::string, std::string>>;

class Report {
 public:
  // A scenario file begins, with its text (shown as the timeline).
  void startFile(const std::string& name, const std::string& text);
  // The text of the files of that name, as it now stands (a session's lines, which grow).
  void setText(const std::string& name, const std::string& text);
  bool hasFile(const std::string& name) const;
  // One trace event: what the JSON trace prints, its members after seq, process, kind, file and
  // line given as they are printed there.
  void event(const std::string& process, const std::string& kind, std::uint64_t seq, const std::string& file, int line,
             const JsonMembers& members);
  void expectation(const std::string& file, int line, bool held, const std::string& message);
  // A line that could not be run (its file stopped there): its message, and the byte of the line
  // the message blames (std::string::npos: none).
  void badLine(const std::string& file, int line, const std::string& message, std::size_t column);
  void fileResult(const std::string& file, const std::string& result);
  // The page, its header counting the files as the command does: passed, failed (an expectation did
  // not hold), errors (a file that could not be read or run to its end).
  std::string html(int passed, int failedFiles, int errorFiles, int expectations, int failed) const;

 private:
  // Texts held once each, numbered in the order first met, with how often each was used.
  struct Table {
    std::uint32_t add(std::string text);
    std::unordered_map<std::string, std::uint32_t> ids;
    std::vector<const std::string*> texts;
    std::vector<std::uint32_t> uses;
  };
  struct File {
    std::string name;
    std::string text;
    std::string result;
  };
  std::vector<File> files_;
  // A long run repeats itself: the events are kept as the numbers of their shapes (process, kind,
  // file and field names, as JSON) and of their values (JSON), and the page rebuilds each event
  // when it needs it. cells_ holds, per event, its shape, then one value per field.
  Table shapes_;
  Table values_;
  std::vector<std::uint32_t> shapeWidths_;  // fields per shape
  std::vector<std::uint32_t> cells_;
  std::vector<int> lines_;
  std::vector<std::pair<std::size_t, std::uint64_t>> seqBreaks_;  // event index, its seq (where not the last + 1)
  std::uint64_t lastSeq_ = 0;
  std::vector<std::string> expectations_;
};

}  // namespace orvane::cli
