// Device folders that must not outlive the command: removed on a normal exit by their owners, and
// by a signal handler on SIGINT, SIGTERM, SIGHUP and SIGPIPE, which then ends the process as the
// signal would have.
#pragma once

#include <filesystem>

namespace orvane::cli {

// Installs the handlers (once).
void removeFoldersOnSignals();
// Registers a folder for removal on a signal, until `forget` (at most a few at a time).
void removeOnSignal(const std::filesystem::path& folder);
void forget(const std::filesystem::path& folder);

// Holds off the signals above while it lives, so that a folder is never made without being
// registered, nor forgotten before it is gone.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  unsigned char previous_[128];
};

}  // namespace orvane::cli
