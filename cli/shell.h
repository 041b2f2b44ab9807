// The interactive side of `orvane-sim shell`: lines read with editing, history and completion when
// standard input is a terminal (libedit), plainly otherwise.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvane::cli {

class LineReader {
 public:
  // `words` gives what a word may complete to at that moment (commands, process names, keyboard
  // identifiers).
  explicit LineReader(std::function<std::vector<std::string>()> words);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool interactive() const { return interactive_; }
  // The next line, without its end; nothing at the end of the input.
  std::optional<std::string> read(const char* prompt);

 private:
  bool interactive_;
};

// The shell's own commands and the scenario language's, one line each, for `help`.
extern const char* const kShellHelp;

}  // namespace orvane::cli
