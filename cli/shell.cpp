#include "cli/shell.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace orvane::cli {

namespace {

// libedit calls back through plain functions: the words of the one reader that exists.
LineReader::Words* gWords = nullptr;
volatile std::sig_atomic_t gInterrupted = 0;
bool gCatching = false;

void onInterrupt(int) { gInterrupted = 1; }
std::vector<std::string> gBefore;
std::vector<std::string> gMatches;

char* nextMatch(const char* text, int state) {
  if (state == 0) {
    gMatches.clear();
    const std::size_t length = std::strlen(text);
    if (gWords != nullptr) {
      for (const std::string& word : (*gWords)(gBefore)) {
        if (word.compare(0, length, text) == 0) gMatches.push_back(word);
      }
    }
  }
  if (static_cast<std::size_t>(state) >= gMatches.size()) return nullptr;
  return ::strdup(gMatches[static_cast<std::size_t>(state)].c_str());
}

char** complete(const char* text, int start, int) {
  // The words before the one being completed decide what it may be.
  gBefore.clear();
  std::string word;
  for (int i = 0; i < start && rl_line_buffer[i] != '\0'; ++i) {
    if (std::isspace(static_cast<unsigned char>(rl_line_buffer[i]))) {
      if (!word.empty()) gBefore.push_back(std::move(word));
      word.clear();
    } else {
      word += rl_line_buffer[i];
    }
  }
  if (!word.empty()) gBefore.push_back(word);
  // File names complete the file of source and save; nothing else does.
  rl_attempted_completion_over = gBefore.size() == 1 && (gBefore[0] == "source" || gBefore[0] == "save") ? 0 : 1;
  if (rl_attempted_completion_over == 0) return nullptr;
  return rl_completion_matches(text, nextMatch);
}

}  // namespace

LineReader::LineReader(Words words, std::optional<std::string> historyFile)
    : interactive_(::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0),
      historyFile_(interactive_ ? std::move(historyFile) : std::nullopt) {
  if (!interactive_) return;
  gWords = new Words(std::move(words));
  rl_attempted_completion_function = complete;
  if (historyFile_) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(*historyFile_).parent_path(), ec);
    ::read_history(historyFile_->c_str());
  }
}

LineReader::~LineReader() {
  if (historyFile_) ::write_history(historyFile_->c_str());
  delete gWords;
  gWords = nullptr;
}

std::optional<std::string> historyPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state == '/') return std::string(state) + "/orvane/history";
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::string(home) + "/.local/state/orvane/history";
  return std::nullopt;
}

std::string helpFor(const std::string& command) {
  std::string out;
  std::istringstream lines(kShellHelp);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != ' ') continue;  // a heading
    // The line names the command as a word of its own.
    std::size_t at = 0;
    while ((at = line.find(command, at)) != std::string::npos) {
      const bool before = at == 0 || (!std::isalnum(static_cast<unsigned char>(line[at - 1])) && line[at - 1] != '-');
      const std::size_t after = at + command.size();
      const bool behind =
          after >= line.size() || (!std::isalnum(static_cast<unsigned char>(line[after])) && line[after] != '-');
      if (before && behind) {
        out += line + "\n";
        break;
      }
      at = after;
    }
  }
  return out;
}

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a read waiting for the line returns, and the line is dropped
  ::sigaction(SIGINT, &action, nullptr);
  gCatching = true;
}

bool interrupted() { return gInterrupted != 0; }

bool takeInterrupt() {
  const bool was = gInterrupted != 0;
  gInterrupted = 0;
  return was;
}

std::optional<std::string> LineReader::read(const char* prompt) {
  if (!interactive_) {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
  }
  char* raw = nullptr;
  for (;;) {
    takeInterrupt();
    raw = ::readline(prompt);
    // Ctrl-C while typing: the line is dropped and a fresh one begins.
    if (raw == nullptr && gCatching && takeInterrupt()) {
      std::cout << "^C\n" << std::flush;
      continue;
    }
    break;
  }
  if (raw == nullptr) return std::nullopt;
  std::string line(raw);
  std::free(raw);
  if (line.find_first_not_of(" \t") != std::string::npos) ::add_history(line.c_str());
  return line;
}

const char* const kShellHelp =
    "shell commands:\n"
    "  help [COMMAND]                this list, or what it says of one command\n"
    "  quit, exit                    leave the shell (also end of input)\n"
    "  reset                         a fresh device\n"
    "  state [--json]                the device's state (processes, keyboards, settings, alerts on screen)\n"
    "  source FILE                   run the lines of a scenario file here\n"
    "  save FILE                     write this session's lines (since the last reset) as a scenario\n"
    "  show file PATH | pref DOMAIN  a device file or a preference domain, in readable form\n"
    "setting up the device:\n"
    "  version NUMBER                the system version (default 1240.1)\n"
    "  keyboard-methods plain|context|both|version   the next-keyboard steps the keyboard class has\n"
    "  activator installed|absent    put Activator's library on the device, or take it off\n"
    "  keyboards ID[=\"Name\"]...      the enabled keyboards, in the system's order\n"
    "  settings write|write-xml|set|remove|delete|bytes ...   the settings file\n"
    "  file write|write-xml|bytes|delete PATH ...             any device file\n"
    "  pref set|remove DOMAIN KEY [VALUE]                     one preference\n"
    "  app-icon DISPLAYID SIZE [cgimage|ciimage|empty]        an icon AppList holds\n"
    "  fault write|flush|rename|read-only|full [TIMES] | none the file layer fails\n"
    "processes and events:\n"
    "  start PROCESS [returns STATUS], stop PROCESS, suspend APP, resume APP\n"
    "  kill PROCESS [mid-write], crash PROCESS, hang PROCESS   a process that ends without stop\n"
    "  show-keyboard PROCESS, hide-keyboard PROCESS\n"
    "  tap PROCESS globe|KEY|nowhere, next-keyboard PROCESS, switcher PROCESS, label PROCESS [KEY]\n"
    "  unlock, dismiss PROCESS, post PROCESS darwin|distributed NAME [USERINFO]\n"
    "  activator fire NAME, activator ask NAME QUESTION [ARGUMENT]\n"
    "  run                           run every main queue until none has work\n"
    "  say TEXT, mark\n"
    "expectations:\n"
    "  expect input-mode|alert|no-alert|log|no-log|hook|no-hook|pref|no-pref|setting|no-setting|\n"
    "         settings-format|file-format|file|no-file|no-temporaries|switcher|label|event|no-event ...\n"
    "The language is described in docs/scenarios.md.\n";

}  // namespace orvane::cli
