// The phone as a PNG: a headless Chromium (the browser the tests use) draws the page it is sent to.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/program.h"

namespace orvane::cli {

namespace fs = std::filesystem;

// The headless browser the tests use, on the path: its path, or nothing.
std::optional<fs::path> headlessChromium() {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const fs::path dir(dirs.substr(0, colon));
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
      if (::access((dir / name).c_str(), X_OK) == 0) return dir / name;
    }
    dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
  }
  return std::nullopt;
}

namespace {

// Runs the browser once, in a process group of its own; whether it ended within `bound`. One that
// has not is killed with everything it started: headless Chromium now and then never exits after
// its screenshot, and the command must not wait for ever on it.
bool runBounded(std::vector<std::string> args, std::chrono::seconds bound) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (::waitpid(child, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-child, SIGKILL);
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-child, SIGKILL);  // what it left behind, if anything
  return true;
}

bool isPng(const fs::path& file) {
  char magic[8] = {};
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const bool png = fd >= 0 && ::read(fd, magic, sizeof magic) == 8 && std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0;
  if (fd >= 0) ::close(fd);
  return png;
}

}  // namespace

// Has `browser` draw the page `redirect` sends it to, as a PNG at `file`; whether it did. A browser
// that has not ended within 30 seconds is killed and started once more, with a new profile.
bool drawPageAsPng(const fs::path& browser, const fs::path& redirect, const fs::path& file, const fs::path& profile) {
  std::vector<std::string> args = {browser.string(),
                                   "--headless",
                                   "--disable-gpu",
                                   "--hide-scrollbars",
                                   "--no-first-run",
                                   "--user-data-dir=" + profile.string(),
                                   "--window-size=340,680",
                                   "--virtual-time-budget=5000",
                                   "--screenshot=" + file.string(),
                                   "file://" + redirect.string()};
  // Chromium's sandbox will not start as root (a container's user, as in CI).
  if (::geteuid() == 0) args.insert(args.begin() + 1, "--no-sandbox");
  std::error_code ec;
  bool drawn = false;
  for (int attempt = 0; attempt < 2 && !drawn; ++attempt) {
    fs::remove(file, ec);
    const bool ended = runBounded(args, std::chrono::seconds(30));
    fs::remove_all(profile, ec);
    drawn = ended && isPng(file);
  }
  return drawn;
}

}  // namespace orvane::cli
