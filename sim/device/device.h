// The simulated device: a root folder for its files, its settings (system version, Activator, the
// enabled keyboards), the libraries its loader maps into processes, its processes, the notification
// buses between them and the run loop that drives their main queues.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform/uikit.h"
#include "sim/device/channel.h"
#include "sim/device/process.h"
#include "sim/storage/fault_injection.h"
#include "sim/storage/file_store.h"
#include "sim/storage/preference_store.h"
#include "sim/trace/trace.h"

namespace orvane::sim {

class RemoteProcess;

inline constexpr std::string_view kSpringBoard = "com.apple.springboard";
inline constexpr std::string_view kGlobalPreferencesDomain = platform::names::kGlobalPreferencesDomain;
inline constexpr std::string_view kKeyboardPreferencesDomain = platform::names::kKeyboardPreferencesDomain;
inline constexpr std::string_view kGlobeKeyName = platform::names::kGlobeKeyName;

class Device {
 public:
  // A device whose files live under `root` on the host, or in memory (`Storage::kInMemory`).
  explicit Device(std::filesystem::path root, Storage storage = Storage::kDurable);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // The device's files, through the wrapper that injects faults into them.
  FaultInjectingStore& files() { return files_; }
  PreferenceStore& preferences() { return preferences_; }
  Trace& trace() { return trace_; }

  double version() const { return version_; }
  void setVersion(double version) { version_ = version; }
  // The forms of the next-keyboard step UIKeyboardImpl has in processes started from now on;
  // nothing: the forms the version has.
  std::optional<KeyboardStepForms> keyboardStepForms() const { return keyboardStepForms_; }
  void setKeyboardStepForms(std::optional<KeyboardStepForms> forms) { keyboardStepForms_ = forms; }
  // What the system's UIApplicationMain returns in processes started from now on.
  int applicationMainStatus() const { return applicationMainStatus_; }
  void setApplicationMainStatus(int status) { applicationMainStatus_ = status; }
  // Installs or removes /usr/lib/libactivator.dylib.
  void setActivatorInstalled(bool installed);
  bool activatorInstalled() const;

  // The enabled keyboards, in the system's order: the active input modes, and also the
  // "AppleKeyboards" list of ".GlobalPreferences". Display names come from the locale service.
  // `kNoIdentifier` stands for an input mode that has no identifier (left out of the stored list).
  static constexpr std::string_view kNoIdentifier = "(nil)";
  // False, with the keyboards as they were, when "AppleKeyboards" could not be stored.
  struct Keyboard {
    std::string identifier;
    std::optional<std::string> displayName;  // nothing: the locale service's name
  };
  bool setKeyboards(const std::vector<Keyboard>& keyboards);
  bool setKeyboards(const std::vector<std::string>& identifiers);
  const std::vector<InputMode>& activeInputModes() const { return activeInputModes_; }
  // Changes whenever the enabled keyboards are set, so processes know when to rebuild their list.
  std::uint64_t keyboardsGeneration() const { return keyboardsGeneration_; }

  // The icons AppList holds for an application, by display identifier and size.
  using IconKind = sim::IconKind;
  void setAppIcon(const std::string& displayIdentifier, int size, IconKind kind);
  std::optional<IconKind> appIcon(const std::string& displayIdentifier, int size) const {
    auto it = appIcons_.find({displayIdentifier, size});
    return it == appIcons_.end() ? std::nullopt : std::optional<IconKind>(it->second);
  }

  // Every process started from now on runs as an OS process of its own, as on the platform (the
  // real runtime, whose classes are one per OS process). This device process then plays the
  // platform's daemons for them: the preference daemon (the one writer of every domain), the Darwin
  // and distributed notification buses, the run loop that hands out main-queue turns, Activator's
  // dispatch and the clock of the trace. See sim/device/remote_process.cpp.
  // Files kept in memory (Storage::kInMemory) are this process's alone: refused here.
  void setSeparateProcesses(bool separate);

  // What a process reads of the preference daemon: a value, or a domain whole.
  std::optional<Value> preferenceValue(std::string_view key, std::string_view domain);
  Dictionary preferenceDomain(std::string_view domain);

  // In a separate process's OS process: this copy of the device reaches the daemons and buses of
  // the device process over `parent`; its trace goes there, and file faults are drawn there.
  void becomeChild(Channel& parent);
  // In a process's OS process: writes what it has told the device and not yet written, before it
  // ends without another word.
  void flushToParent();
  // In the device process: serves a separate process's call of the daemons and buses.
  Value serveProcess(RemoteProcess& from, std::size_t call, const Array& arguments);
  // In a separate process's OS process: the process observes a name on the Darwin (`darwin`) or
  // the distributed center; the device process is told.
  void observing(bool darwin, const std::string& name);
  // In a separate process's OS process: the device's keyboards and icons, as the device process
  // tells them.
  void adoptKeyboards(const std::vector<InputMode>& modes);
  void adoptIcons(const std::map<std::pair<std::string, int>, IconKind>& icons) { appIcons_ = icons; }
  // Takes out the processes that have ended (killed, crashed, hung, or killed from outside, whose
  // end is traced here); done where no loop over the processes is under way.
  void reap();

  // A library the loader maps into every process that starts from now on, while its file holds
  // `kSimulatedLibrary`: what stands for its code, written at its path.
  static constexpr std::string_view kSimulatedLibrary = "simulated library\n";
  void installLibrary(std::string path, platform::LibraryFactory factory);
  // A shared object, copied from `file` to the device's `path`, that the loader maps into every
  // process that starts from now on with the system's dlopen; it starts itself from its load-time
  // constructor (platform::libraryMapped). Only where one OS process holds one simulated process:
  // a shared object's constructor runs once per OS process. False when it could not be copied.
  bool installSharedObject(std::string path, const std::filesystem::path& file);
  struct InstalledLibrary {
    std::string path;
    platform::LibraryFactory factory;  // empty for a shared object
  };
  const std::vector<InstalledLibrary>& libraries() const { return libraries_; }

  // How many processes run at once, at most: a page or a script that starts them without end meets
  // a clear error instead of filling the machine (each is an OS process on the real runtime).
  static constexpr std::size_t kMaxProcesses = 128;
  // Starts a process (already running: returns it as it is); its UIApplicationMain returns
  // `applicationMainStatus`, or the device's default. Throws std::runtime_error when it cannot
  // start, or when kMaxProcesses run already.
  Process& start(std::string_view bundleIdentifier, std::optional<int> applicationMainStatus = std::nullopt);
  bool stop(std::string_view bundleIdentifier);
  Process* find(std::string_view bundleIdentifier);
  const std::vector<std::unique_ptr<Process>>& processes() const { return processes_; }

  // A preference write made by `who` (a process's name, or "device"), traced: "pref-write" when the
  // value reached the file, "pref-write-failed" when not, and "pref-moved-aside" first when the
  // domain's file could not be read and was set aside. True when the value reached the file.
  bool writePreference(std::string_view who, std::string_view key, const std::optional<Value>& value,
                       std::string_view domain);

  // The Darwin bus, which the notify library and GraphicsServices share: queues one delivery on the
  // main queue of every process that observes the name, the poster included. `poster` is the process
  // that posts, if one does: in its own OS process, a post it does not observe itself is sent
  // without waiting, as the platform's posts go (the deliveries are queued, in the same order, before
  // anything it does after the post is served); one it observes waits, so that its own delivery is
  // queued before it goes on.
  void postDarwin(const std::string& name, const Process* poster = nullptr);
  void postDistributed(Process& from, const platform::Notification& notification);

  // Runs the main queues round-robin, in start order, one task each turn, until none has work or
  // `maxTasks` have run; a runaway is reported in the trace instead of hanging.
  struct RunResult {
    std::size_t tasks = 0;
    bool idle = true;
  };
  static constexpr std::size_t kDefaultTaskBound = 100000;
  RunResult runUntilIdle(std::size_t maxTasks = kDefaultTaskBound);
  // Asked between tasks: when it says so, the run stops there ("interrupted", with the tasks run),
  // the work left queued (the shell's Ctrl-C).
  void setInterruption(std::function<bool()> interrupted) { interrupted_ = std::move(interrupted); }

 private:
  // Tells every separate process of a change to the device's keyboards or icons.
  void tellSeparateProcessesKeyboards();
  void tellSeparateProcessesIcons();
  void traceMovedAside(const PreferenceStore::Write& write, std::string_view domain, std::string_view who = "device");

  std::filesystem::path root_;
  Storage storage_;
  std::unique_ptr<FileStore> store_;
  FaultInjectingStore files_{*store_};
  PreferenceStore preferences_;
  Trace trace_;
  double version_ = 1240.1;
  std::optional<KeyboardStepForms> keyboardStepForms_;
  int applicationMainStatus_ = 0;
  std::vector<InputMode> activeInputModes_;
  std::uint64_t keyboardsGeneration_ = 0;
  std::vector<InstalledLibrary> libraries_;
  std::map<std::pair<std::string, int>, IconKind> appIcons_;
  std::vector<std::unique_ptr<Process>> processes_;
  bool separateProcesses_ = false;
  std::function<bool()> interrupted_;
  Channel* parent_ = nullptr;
};

}  // namespace orvane::sim
