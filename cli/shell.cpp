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

}  // namespace orvane::cli
