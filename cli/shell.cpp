#include "cli/shell.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace orvane::cli {

namespace {

// libedit calls back through plain functions: the words of the one reader that exists.
std::function<std::vector<std::string>()>* gWords = nullptr;
std::vector<std::string> gMatches;

char* nextMatch(const char* text, int state) {
  if (state == 0) {
    gMatches.clear();
    const std::size_t length = std::strlen(text);
    if (gWords != nullptr) {
      for (const std::string& word : (*gWords)()) {
        if (word.compare(0, length, text) == 0) gMatches.push_back(word);
      }
    }
  }
  if (static_cast<std::size_t>(state) >= gMatches.size()) return nullptr;
  return ::strdup(gMatches[static_cast<std::size_t>(state)].c_str());
}

char** complete(const char* text, int, int) {
  rl_attempted_completion_over = 1;  // no file names
  return rl_completion_matches(text, nextMatch);
}

}  // namespace

LineReader::LineReader(std::function<std::vector<std::string>()> words)
    : interactive_(::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0) {
  if (!interactive_) return;
  gWords = new std::function<std::vector<std::string>()>(std::move(words));
  rl_attempted_completion_function = complete;
}

LineReader::~LineReader() {
  delete gWords;
  gWords = nullptr;
}

std::optional<std::string> LineReader::read(const char* prompt) {
  if (!interactive_) {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
  }
  char* raw = ::readline(prompt);
  if (raw == nullptr) return std::nullopt;
  std::string line(raw);
  std::free(raw);
  if (line.find_first_not_of(" \t") != std::string::npos) ::add_history(line.c_str());
  return line;
}

const char* const kShellHelp =
    "shell commands:\n"
    "  help                          this list\n"
    "  quit, exit                    leave the shell (also end of input)\n"
    "  reset                         a fresh device\n"
    "  state                         the device's state (processes, keyboards, settings, alerts on screen)\n"
    "  show file PATH | pref DOMAIN  a device file or a preference domain, in readable form\n"
    "setting up the device:\n"
    "  version NUMBER                the system version (default 1240.1)\n"
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
