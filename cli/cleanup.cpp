#include "cli/cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace orvane::cli {

namespace {

// The signals whose default ends the command (with or without a core file) and that a user or a
// program sends: each removes the device's folder first, then ends the command as it would have.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

// What the signal handler may touch: fixed buffers, no allocation. The command line's own state,
// never the device's or the extension's.
constexpr int kSlots = 4;
constexpr std::size_t kPathMax = 4096;
char gFolders[kSlots][kPathMax];
volatile std::sig_atomic_t gUsed[kSlots];

// Removes everything below an open folder with async-signal-safe calls only (getdents64, unlinkat,
// openat, close), never following a link.
void removeContents(int folder, int depth) {
  if (depth > 64) return;
  alignas(8) char buffer[4096];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
    if (n <= 0) return;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (::unlinkat(folder, name, 0) == 0) continue;
      const int child = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) continue;
      removeContents(child, depth + 1);
      ::close(child);
      ::unlinkat(folder, name, AT_REMOVEDIR);
    }
  }
}

void onSignal(int signal) {
  for (int i = 0; i < kSlots; ++i) {
    if (!gUsed[i]) continue;
    const int folder = ::open(gFolders[i], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0) {
      removeContents(folder, 0);
      ::close(folder);
    }
    ::rmdir(gFolders[i]);
  }
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

SignalsHeld::SignalsHeld() {
  static_assert(sizeof(sigset_t) <= sizeof previous_);
  sigset_t held;
  sigemptyset(&held);
  for (int signal : kEndingSignals) sigaddset(&held, signal);
  ::sigprocmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(previous_));
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(previous_), nullptr); }

void removeFoldersOnSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : kEndingSignals) ::sigaction(signal, &action, nullptr);
}

void removeOnSignal(const std::filesystem::path& folder) {
  const std::string path = folder.string();
  if (path.size() >= kPathMax) return;
  for (int i = 0; i < kSlots; ++i) {
    if (gUsed[i]) continue;
    std::memcpy(gFolders[i], path.c_str(), path.size() + 1);
    gUsed[i] = 1;
    return;
  }
}

void forget(const std::filesystem::path& folder) {
  for (int i = 0; i < kSlots; ++i) {
    if (gUsed[i] && folder.string() == gFolders[i]) gUsed[i] = 0;
  }
}

}  // namespace orvane::cli
