// Named devices that outlive the command that booted them: where each keeps its folder, its record
// and its lock, where its door (a Unix socket) is, and whether it is booted, shut down or ended.
//
//   $XDG_STATE_HOME/orvane/devices/NAME/   (else ~/.local/state/orvane/devices/NAME), mode 0700:
//     root/          the device's files, kept between boots
//     device.plist   its record: name, runtime, system version, state, process id, door
//     lock           held by the booted device for its life (the system drops it however it ends)
//     device.log     what the booted device said on its standard error
//   $XDG_RUNTIME_DIR/orvane/NAME.sock      (else /tmp/orvane-UID/NAME.sock): its door, in a folder
//     only its user may enter (0700, this user's, not a link), the socket itself 0600.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::cli::devices {

// The device `boot` names when it is given no name.
inline constexpr std::string_view kDefaultName = "default";
// The word that names the one booted device, as the platform simulator's tool has it.
inline constexpr std::string_view kBootedWord = "booted";

// What is wrong with a device's name, or nothing: 1 to 64 letters, digits, '.', '_' or '-', the
// first a letter or a digit; never "booted", and never ending in ".scn" (a set-up file's).
std::string nameError(std::string_view name);

struct Places {
  std::string name;
  std::filesystem::path folder;  // the device's folder
  std::filesystem::path root;    // its files
  std::filesystem::path record;
  std::filesystem::path lock;
  std::filesystem::path log;
  std::filesystem::path socket;
};

// Where every device's folder is, and where their doors are; made (0700) when `make`. Throws
// std::runtime_error, saying why, when they cannot be named or made, or when the doors' folder is
// not this user's alone.
std::filesystem::path devicesFolder(bool make);
std::filesystem::path doorsFolder(bool make);
// The places of the device `name` (a valid name); the folders are made when `make`.
Places placesOf(const std::string& name, bool make);

// What a device's record holds.
struct Record {
  std::string name;
  std::string runtime;             // "fast" or "objc"
  double version = 0;              // the system version it last ran (0: never booted)
  std::string state = "shutdown";  // "booted" while it runs; "shutdown" once it stopped cleanly
  long long pid = 0;
  std::string socket;
  std::string booted;  // when it last booted (UTC, ISO 8601)
};
// The record, or nothing when there is none or it cannot be read.
std::optional<Record> readRecord(const Places& places);
// Written whole or not at all (a new file put in place of the old, flushed first); false when not.
bool writeRecord(const Places& places, const Record& record);

// The lock of a booted device: taken, or nothing when another process holds it (the device is
// booted). Throws std::runtime_error when the lock file cannot be opened.
class Lock {
 public:
  static std::optional<Lock> take(const Places& places);
  Lock(Lock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Lock& operator=(Lock&&) = delete;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  ~Lock();
  // Kept by this process and by those it forks (they share it) until the last one ends.
  int fd() const { return fd_; }

 private:
  explicit Lock(int fd) : fd_(fd) {}
  int fd_;
};

// What a device is now: booted (its lock is held), ended (its record says booted but nothing holds
// the lock: killed, or its machine stopped), shut down, or unknown (no such device).
enum class State { kBooted, kEnded, kShutdown, kUnknown };
State stateOf(const Places& places);
std::string_view stateName(State state);

// The names of the devices there are, in order.
std::vector<std::string> deviceNames();

// The device a client command names: `name` itself when it is booted, or for "booted" the one
// booted device. Throws std::runtime_error, saying how to boot it or which to choose, when there is
// none.
Places bootedDevice(const std::string& name);

}  // namespace orvane::cli::devices
