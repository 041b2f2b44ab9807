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
  // What the word being typed may complete to, given the words before it on the line: commands
  // first, then that command's words (process names, keyboards, keys, event kinds).
  using Words = std::function<std::vector<std::string>(const std::vector<std::string>& before)>;
  // On a terminal the history is kept between sessions in `historyFile` (none: not kept).
  LineReader(Words words, std::optional<std::string> historyFile);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool interactive() const { return interactive_; }
  // The next line, without its end; nothing at the end of the input.
  std::optional<std::string> read(const char* prompt);

 private:
  bool interactive_;
  std::optional<std::string> historyFile_;
};

// On a terminal, Ctrl-C belongs to the shell: it cancels the line being typed, or stops the command
// running (a long `run`, a `source`), never the shell. After catchInterrupts(), SIGINT only marks
// an interrupt, which interrupted() reports and takeInterrupt() also clears.
void catchInterrupts();
bool interrupted();
bool takeInterrupt();

// The words a shell line's next word may complete to, given the words before it, on a device that
// runs `processes` and has `keyboards`.
std::vector<std::string> shellCompletions(const std::vector<std::string>& processes,
                                          const std::vector<std::string>& keyboards,
                                          const std::vector<std::string>& before);

// Where the shell keeps its history: $XDG_STATE_HOME/orvane/history, else
// ~/.local/state/orvane/history; nothing when neither can be named.
std::optional<std::string> historyPath();

}  // namespace orvane::cli
