// A simulated device with the extension installed, on a temporary root folder: what the simulator
// command, the tests, the fuzz targets and the benchmarks all start from.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device/device.h"
#include "sim/plist/plist_io.h"
#include "startup/orvane.h"

namespace orvane::rig {

// Where temporary device folders go: $TMPDIR when it is set and not empty, else /tmp. TMP and
// TEMP are not consulted (POSIX names TMPDIR alone), so a stray one never breaks a run.
std::filesystem::path temporaryFolder();

// A temporary root folder for a device ("orvane-device-XXXXXX" in the temporary folder), removed
// when it goes. It is locked while it lives (the system drops the lock however its process ends,
// and a process's children share it), so that a folder left by a device that was killed can be
// told from one in use.
class TemporaryRoot {
 public:
  TemporaryRoot();
  ~TemporaryRoot();
  TemporaryRoot(const TemporaryRoot&) = delete;
  TemporaryRoot& operator=(const TemporaryRoot&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  int lock_ = -1;
};

// Removes the temporary device folders in `folder` that no living process holds: this user's,
// unlocked, and untouched for `age` (so that one just made, not yet locked, is never taken). What
// a device killed with SIGKILL left. The names of those removed.
std::vector<std::string> removeStaleTemporaryRoots(const std::filesystem::path& folder,
                                                   std::chrono::seconds age = std::chrono::seconds(60));

// A device on `root` with the extension installed at its install path, as every scenario starts.
std::unique_ptr<sim::Device> makeDevice(const std::filesystem::path& root,
                                        sim::Storage storage = sim::Storage::kDurable);

// Installs the extension at its install path: linked into this program (rig/extension_linked.cpp,
// on the fast runtime) or as the shared object the loader maps (rig/extension_shared.cpp, on the
// real runtime). Throws std::runtime_error when it cannot be installed.
void installExtension(sim::Device& device);

// The extension as loaded into a process; nullptr when it is not loaded there, or when it is a
// shared object's own (on the real runtime).
Orvane* extensionIn(sim::Process& process);

// A device on its own temporary root, with the extension installed (or not), in a few lines.
class Rig {
 public:
  explicit Rig(bool withExtension = true, sim::Storage storage = sim::Storage::kDurable);

  sim::Device& device() { return *device_; }
  const sim::Device& device() const { return *device_; }
  // A process started, or running: in this OS process (the fast runtime, as every rig's device runs
  // them), so that a test reaches its classes and the platform it gives the extension. Throws
  // std::logic_error when there is none of that name.
  sim::LocalProcess& start(std::string_view bundleIdentifier);
  sim::LocalProcess& process(std::string_view bundleIdentifier);
  // The extension in a running process; throws std::logic_error when it is not loaded there.
  Orvane& extension(std::string_view bundleIdentifier);

  void keyboards(const std::vector<std::string>& identifiers);
  void writeSettings(const Dictionary& settings, sim::PlistFormat format = sim::PlistFormat::kBinary);
  void writeSettingsBytes(std::string_view bytes);
  void deleteSettings();

  // The trace events of one kind, as text, in order.
  std::vector<std::string> events(std::string_view kind) const;

 private:
  TemporaryRoot root_;
  std::unique_ptr<sim::Device> device_;
};

}  // namespace orvane::rig
