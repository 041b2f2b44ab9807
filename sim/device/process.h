// A process of the device, wherever it runs. `Process` is what the device and its users reach a
// process through: the calls the device makes of it and the state expectations read.
// `LocalProcess` runs in this OS process: its classes and method tables, its main queue, its
// notification observers, its keyboard and user interface, its alerts and log, and the libraries
// loaded into it; it is also the platform that those libraries see. `RemoteProcess`
// (sim/device/remote_process.h) stands for a LocalProcess in an OS process of its own (the real
// runtime) and forwards every call to it.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/services.h"
#include "platform/uikit.h"
#include "sim/process_runtime/process_runtime.h"
#include "sim/standins/host.h"
#include "sim/trace/trace.h"

namespace orvane::sim {

class Device;
class LocalProcess;
struct SeparateState;
struct Ui;

class Process {
 public:
  Process(Device& device, std::string bundleIdentifier);
  virtual ~Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  // The name the trace gives the process.
  const std::string& name() const { return name_; }
  bool isSpringBoard() const;
  // The process as this OS process runs it; nothing for one in an OS process of its own.
  virtual LocalProcess* local() { return nullptr; }

  // Builds the process's classes, loads the device's libraries (class load, then their
  // initialiser) and enters UIApplicationMain.
  virtual void boot() = 0;

  // How a process can end other than by `stop`: killed (SIGKILL) now, or in the middle of its next
  // write of a file (a separate process only: the file is written but not yet in place); crashed
  // (SIGABRT); or hung, killed by the device once it has not answered for kHangBound. The end is
  // traced ("exit", with the status and the reason); nothing the process set and never
  // synchronized is written. False when this runtime cannot make that end (mid-write on the fast one).
  enum class End { kKill, kKillMidWrite, kCrash, kHang };
  // Long enough that a busy machine never trips it.
  static constexpr int kHangBoundMilliseconds = 5000;
  virtual bool end(End how) = 0;
  // Whether the process has ended that way (the device reaps it).
  bool ended() const { return ended_; }
  // Whether the process has ended without a word from the device (its OS process killed from
  // outside); its end is then traced at once. Asks without waiting. A process that runs in the
  // device's own OS process cannot end so.
  virtual bool endedOutside() { return ended_; }

  // Runs the next task of the main queue; false when there is none or the process is suspended.
  virtual bool runOneTask() = 0;
  virtual std::size_t pendingTasks() const = 0;

  // Deliveries from the device's notification buses, queued on the main queue.
  virtual bool observesDarwin(std::string_view name) const = 0;
  virtual void queueDarwinDelivery(const std::string& name) = 0;
  virtual bool observesDistributed(std::string_view name) const = 0;
  virtual void queueDistributedDelivery(const platform::Notification& notification) = 0;

  // An application sent to the background: its keyboard is hidden (will-hide first), its main queue
  // stops, and notifications posted to it meanwhile are held, one per name, until it resumes (see
  // docs/device.md). False for SpringBoard or an application already in that state.
  virtual bool suspend() = 0;
  virtual bool resume() = 0;
  bool suspended() const { return suspended_; }

  // What a user does with the process's keyboard; each goes through the method tables.
  virtual void showKeyboard() = 0;
  virtual void hideKeyboard() = 0;
  // A finger lifted from the key of that name ("International-Key" is the globe key); false when
  // the layout has no such key.
  virtual bool tapKey(std::string_view keyName) = 0;
  virtual void tapNowhere() = 0;
  // Sends the system's next-keyboard step (the form this system version has) to the keyboard.
  virtual void nextKeyboardStep() = 0;
  virtual platform::StringList askSwitcherList() = 0;
  // A finger on an entry of the switcher menu on screen: the keyboard switches to that input mode
  // (the keyboard's `setInputMode:`) and the menu closes. False when no menu is on screen or it
  // does not list the identifier.
  virtual bool chooseFromSwitcher(const std::string& identifier) = 0;
  // Asks a key for its label (`displayString`); false when the layout has no such key.
  virtual bool askLabel(std::string_view keyName) = 0;
  // Completes an unlock on the lock screen; false outside SpringBoard.
  virtual bool unlock() = 0;
  virtual bool dismissAlert() = 0;

  // Activator's event dispatch in this process (SpringBoard): false when no listener has the name.
  virtual bool fireActivatorEvent(const std::string& name) = 0;
  // A listener's answer to one of Activator's questions; nothing when it gives none.
  virtual std::optional<std::string> askActivatorListener(const std::string& name, const std::string& what,
                                                          const std::string& argument) = 0;
  // Writes what the process set and has not synchronized, as a process does when it ends.
  virtual void flushAllPreferences() = 0;
  // The device's keyboards or icons changed: a process in an OS process of its own is told, and
  // keeps them as its copy of the device's.
  virtual void keyboardsChanged(const std::vector<InputMode>& modes) = 0;
  virtual void iconsChanged(const std::map<std::pair<std::string, int>, IconKind>& icons) = 0;

  // State that expectations read.
  virtual std::optional<std::string> currentInputMode() const = 0;
  virtual bool keyboardShown() const = 0;
  const std::vector<Alert>& alerts() const { return alerts_; }
  const std::vector<std::string>& logLines() const { return log_; }
  const std::vector<std::string>& installedHooks() const { return installedHooks_; }
  const std::optional<platform::StringList>& lastSwitcherList() const { return lastSwitcherList_; }
  const std::optional<platform::String>& lastLabel() const { return lastLabel_; }
  std::size_t preferenceReads() const { return preferenceReads_; }

  // An event of this process's trace.
  void trace(std::string kind, Trace::Fields fields = {});
  // A Darwin notification this process posts (CFNotificationCenterPostNotification on the Darwin
  // center): traced as its post, then on the device's bus.
  void postDarwin(const std::string& name);

 protected:
  Device& device_;
  std::string bundleIdentifier_;
  std::string name_;
  // What expectations read: kept by the process itself (local), or as its answers report it (remote).
  std::vector<Alert> alerts_;
  std::vector<std::string> log_;
  std::vector<std::string> installedHooks_;
  std::optional<platform::StringList> lastSwitcherList_;
  std::optional<platform::String> lastLabel_;
  std::size_t preferenceReads_ = 0;
  bool suspended_ = false;
  bool ended_ = false;
};

class LocalProcess final : public Process,
                           public platform::System,
                           public platform::Runtime,
                           public platform::Preferences,
                           public platform::Files,
                           public platform::Notify,
                           public platform::Strings,
                           public Host {
 public:
  // `applicationMainStatus`: what the system's UIApplicationMain returns in this process.
  LocalProcess(Device& device, std::string bundleIdentifier, int applicationMainStatus);
  ~LocalProcess() override;

  LocalProcess* local() override { return this; }
  bool isSpringBoard() const override { return Process::isSpringBoard(); }
  platform::Platform platform() { return {*this, *this, *this, *this, *this, *this}; }

  // The calls of Process, made here.
  void boot() override;
  bool end(End how) override;
  bool runOneTask() override;
  std::size_t pendingTasks() const override { return mainQueue_.size(); }
  bool observesDarwin(std::string_view name) const override;
  void queueDarwinDelivery(const std::string& name) override;
  bool observesDistributed(std::string_view name) const override;
  void queueDistributedDelivery(const platform::Notification& notification) override;
  bool suspend() override;
  bool resume() override;
  void showKeyboard() override;
  void hideKeyboard() override;
  bool tapKey(std::string_view keyName) override;
  void tapNowhere() override;
  void nextKeyboardStep() override;
  platform::StringList askSwitcherList() override;
  bool chooseFromSwitcher(const std::string& identifier) override;
  bool askLabel(std::string_view keyName) override;
  bool unlock() override;
  bool dismissAlert() override;
  bool fireActivatorEvent(const std::string& name) override;
  std::optional<std::string> askActivatorListener(const std::string& name, const std::string& what,
                                                  const std::string& argument) override;
  void flushAllPreferences() override;
  void keyboardsChanged(const std::vector<InputMode>& modes) override;
  void iconsChanged(const std::map<std::pair<std::string, int>, IconKind>& icons) override;
  std::optional<std::string> currentInputMode() const override;
  bool keyboardShown() const override;

  // In an OS process of its own (sim/device/remote_process.cpp): boots when the device asks, serves the
  // device's calls over the connection `fd` until the device closes it, then exits.
  [[noreturn]] void serveDevice(int fd);
  // What it does there when the device asks it to crash or hang.
  [[noreturn]] void crashNow();
  [[noreturn]] void hangForever();

  // The loader: makes a library for this process, loads its classes and runs its initialiser.
  void mapLibrary(const std::string& path, const platform::LibraryFactory& factory);
  // Maps an installed shared object with the system's dlopen; it starts itself (libraryMapped).
  void mapSharedObject(const std::string& path);

  // The main queue. Every task is numbered and traced when queued ("main-queue-async", with what
  // queued it) and when it runs ("main-queue-run").
  void enqueue(std::function<void()> task, std::string_view source);

  // Posts a local notification, delivered at once to this process's observers.
  void postLocal(const std::string& name) override;
  // Adds an observer of the process's local or distributed notification center.
  void addLocalObserver(std::string name, platform::NotificationHandler handler) override;
  void addDistributedObserver(std::string name, platform::NotificationHandler handler) override;

  const std::vector<std::unique_ptr<platform::Library>>& libraries() const { return libraries_; }
  Device& device() { return device_; }
  Ui& ui() { return *ui_; }

  // Host: what the stand-in classes see of the process.
  platform::Runtime& runtime() override { return *this; }
  double systemVersion() override { return version_; }
  KeyboardStepForms keyboardStepForms() override { return stepForms_; }
  void trace(std::string kind, TraceFields fields = {}) override { Process::trace(std::move(kind), std::move(fields)); }
  bool tracing() const override;
  // The name the trace gives an object: its class and a number, the same for as long as it lives
  // ("DynamicListener#1"); "nil" for none.
  std::string objectName(const objc::Id& object) override;
  const std::vector<InputMode>& activeInputModes() const override;
  std::uint64_t keyboardsGeneration() const override;
  FileStore& files() override;
  std::optional<IconKind> appIcon(const std::string& displayIdentifier, int size) const override;
  void addAlert(Alert alert) override;
  void postDistributed(const platform::Notification& notification) override;

  // platform::System
  double kCFCoreFoundationVersionNumber() override;
  std::optional<std::string> mainBundleIdentifier() override { return bundleIdentifier_; }
  void NSLog(const std::string& line) override;
  void dispatchAsyncMain(std::function<void()> task) override { enqueue(std::move(task), "dispatch_async"); }

  // platform::Runtime, on the runtime this program links; hooks are traced with what they did.
  objc::Class* objc_getClass(std::string_view name) override { return runtime_->objc_getClass(name); }
  const void* dlopen(std::string_view path, int mode) override;
  objc::Class* objc_allocateClassPair(objc::Class* superclass, std::string_view name) override {
    return runtime_->objc_allocateClassPair(superclass, name);
  }
  void class_addMethod(objc::Class* cls, objc::Sel name, const std::type_info& signature,
                       std::shared_ptr<void> imp) override {
    runtime_->class_addMethod(cls, name, signature, std::move(imp));
  }
  void class_addProtocol(objc::Class* cls, std::string_view protocol) override {
    runtime_->class_addProtocol(cls, protocol);
  }
  void class_addIvars(objc::Class* cls, const std::type_info& type, std::shared_ptr<void> (*make)()) override {
    runtime_->class_addIvars(cls, type, make);
  }
  void objc_registerClassPair(objc::Class* cls) override { runtime_->objc_registerClassPair(cls); }
  platform::HookResult hookMessage(objc::Class* cls, objc::Sel selector, const std::type_info& signature,
                                   std::shared_ptr<void> replacement) override;
  platform::HookResult hookFunction(std::string_view symbol, const std::type_info& signature,
                                    std::shared_ptr<void> replacement) override;
  bool revertHook(objc::Class* cls, objc::Sel selector) override;

  // platform::Preferences
  std::optional<Value> CFPreferencesCopyAppValue(std::string_view key, std::string_view app) override;
  void CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value, std::string_view app) override;
  bool CFPreferencesGetAppBooleanValue(std::string_view key, std::string_view app, bool* valid) override;
  bool CFPreferencesAppSynchronize(std::string_view app) override;

  // platform::Files
  bool fileExistsAtPath(std::string_view path) override;
  std::optional<Dictionary> dictionaryWithContentsOfFile(std::string_view path) override;
  bool writeToFileAtomically(const Dictionary& dictionary, std::string_view path) override;

  // platform::Notify
  void CFNotificationCenterAddObserver(std::string_view name, std::function<void(std::string_view)> callback,
                                       int suspensionBehavior) override;
  void CFNotificationCenterPostNotification(std::string_view name, bool deliverImmediately) override;
  void notify_post(std::string_view name) override;
  void GSSendAppPreferencesChanged(std::string_view app, std::string_view key) override;

  // platform::Strings
  std::string capitalizedString(std::string_view s) override;

 private:
  void buildClasses();
  // Serves one call of the device (the protocol's call number `call`): its result, and the state
  // expectations read as it now is (sim/device/remote_process.cpp).
  Value serve(std::size_t call, const Array& arguments);
  SeparateState snapshot();
  void deliverLocal(const platform::Notification& notification);
  void hold(bool darwin, const platform::Notification& notification);
  Dictionary& preferenceView(std::string_view app);
  // Writes what the process holds of every domain to the files; false when a value did not reach one.
  bool writeHeldPreferences();

  // The system a process runs on does not change under it: the version is the one it booted with.
  double version_;
  KeyboardStepForms stepForms_;
  std::unique_ptr<ProcessRuntime> runtime_;
  struct Task {
    std::uint64_t number;
    std::function<void()> run;
  };
  std::deque<Task> mainQueue_;
  std::uint64_t tasksQueued_ = 0;
  // Trace names of objects ("UIKeyboardImpl#1"), numbered per class in order of first mention.
  std::map<const objc::Object*, std::pair<std::weak_ptr<objc::Object>, std::string>> objectNames_;
  std::map<std::string, int, std::less<>> objectsNamed_;
  int applicationMainStatus_;
  std::vector<std::pair<std::string, std::function<void(std::string_view)>>> darwinObservers_;
  std::vector<std::pair<std::string, platform::NotificationHandler>> distributedObservers_;
  std::vector<std::pair<std::string, platform::NotificationHandler>> localObservers_;
  // In an OS process of its own: the log lines its answers have carried.
  std::size_t logReported_ = 0;
  // Notifications held while suspended, in the order of their last post; one per center and name.
  struct Held {
    bool darwin;
    platform::Notification notification;
  };
  std::vector<Held> held_;
  std::map<std::string, Dictionary, std::less<>> preferenceViews_;
  // Values set and not yet written, per domain, in the order set (the last value of each key): up to
  // iOS 7 only, where the process holds them until it synchronizes.
  std::map<std::string, std::vector<std::pair<std::string, std::optional<Value>>>, std::less<>> pendingPreferences_;
  std::unique_ptr<Ui> ui_;
  // Last, so that the libraries go first when the process ends, as at a real exit.
  std::vector<std::unique_ptr<platform::Library>> libraries_;
};

}  // namespace orvane::sim
