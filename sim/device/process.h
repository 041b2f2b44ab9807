// One simulated process: its classes and method tables, its main queue, its notification observers,
// its keyboard and user interface, its alerts and log, and the libraries loaded into it. It is also
// the platform that those libraries see.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform/uikit.h"
#include "sim/device/trace.h"
#include "sim/image/process_runtime.h"
#include "sim/standins/host.h"

namespace orvane::sim {

class Channel;
class Device;
struct SeparateState;
struct Ui;

class Process final : public platform::System,
                      public platform::Runtime,
                      public platform::Preferences,
                      public platform::Files,
                      public platform::Notify,
                      public platform::Strings,
                      public Host {
 public:
  // `applicationMainStatus`: what the system's UIApplicationMain returns in this process.
  Process(Device& device, std::string bundleIdentifier, int applicationMainStatus);
  ~Process() override;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  // The name the trace gives the process.
  const std::string& name() const { return name_; }
  bool isSpringBoard() const override;
  platform::Platform platform() { return {*this, *this, *this, *this, *this, *this}; }

  // Builds the process's classes, loads the device's libraries (class load, then their
  // initialiser) and enters UIApplicationMain.
  void boot();

  // Starts the process as an OS process of its own (the real runtime): the child boots it and
  // answers every call below over a channel; this object forwards the calls and keeps a copy of
  // the state expectations read, as the child reports it after each.
  void spawn();
  bool separate() const { return separate_; }

  // How a process can end other than by `stop`: killed (SIGKILL) now, or in the middle of its next
  // write of a file (a separate process only: the file is written but not yet in place); crashed
  // (SIGABRT); or hung, killed by the device once it has not answered for kHangBound. The end is
  // traced ("exit", with the status and the reason); nothing the process set and never
  // synchronized is written. False when this runtime cannot make that end (mid-write on the fast one).
  enum class End { kKill, kKillMidWrite, kCrash, kHang };
  // Long enough that a busy machine never trips it.
  static constexpr int kHangBoundMilliseconds = 5000;
  bool end(End how);
  // Whether the process has ended that way (the device reaps it).
  bool ended() const { return ended_; }

  // Activator's event dispatch in this process (SpringBoard): false when no listener has the name.
  bool fireActivatorEvent(const std::string& name);
  // A listener's answer to one of Activator's questions; nothing when it gives none.
  std::optional<std::string> askActivatorListener(const std::string& name, const std::string& what,
                                                  const std::string& argument);

  // The loader: makes a library for this process, loads its classes and runs its initialiser.
  void mapLibrary(const std::string& path, const platform::LibraryFactory& factory);
  // Maps an installed shared object with the system's dlopen; it starts itself (libraryMapped).
  void mapSharedObject(const std::string& path);

  // The main queue. Every task is numbered and traced when queued ("main-queue-async", with what
  // queued it) and when it runs ("main-queue-run").
  void enqueue(std::function<void()> task, std::string_view source);
  // Runs the next task; false when there is none or the process is suspended.
  bool runOneTask();
  std::size_t pendingTasks() const { return separate_ ? separatePending_ : mainQueue_.size(); }

  // Deliveries from the device's notification buses, queued on the main queue.
  bool observesDarwin(std::string_view name) const;
  void queueDarwinDelivery(const std::string& name);
  bool observesDistributed(std::string_view name) const;
  void queueDistributedDelivery(const platform::Notification& notification);
  // Posts a local notification, delivered at once to this process's observers.
  void postLocal(const std::string& name) override;
  // Adds an observer of the process's local or distributed notification center.
  void addLocalObserver(std::string name, platform::NotificationHandler handler) override;
  void addDistributedObserver(std::string name, platform::NotificationHandler handler) override;

  // An application sent to the background: its keyboard is hidden (will-hide first), its main queue
  // stops, and notifications posted to it meanwhile are held, one per name, until it resumes (see
  // docs/device.md). False for SpringBoard or an application already in that state.
  bool suspend();
  bool resume();
  bool suspended() const { return suspended_; }

  // What a user does with the process's keyboard; each goes through the method tables.
  void showKeyboard();
  void hideKeyboard();
  // A finger lifted from the key of that name ("International-Key" is the globe key); false when
  // the layout has no such key.
  bool tapKey(std::string_view keyName);
  void tapNowhere();
  // Sends the system's next-keyboard step (the form this system version has) to the keyboard.
  void nextKeyboardStep();
  platform::StringList askSwitcherList();
  // Asks a key for its label (`displayString`); false when the layout has no such key.
  bool askLabel(std::string_view keyName);
  // Completes an unlock on the lock screen; false outside SpringBoard.
  bool unlock();
  bool dismissAlert();

  // Served in a separate process's own OS process only: what it does when the device asks it to
  // crash or hang, and the device's keyboards and icons as they change.
  [[noreturn]] void crashNow();
  [[noreturn]] void hangForever();
  void adoptKeyboards(const std::vector<InputMode>& modes);
  void adoptIcons(const std::map<std::pair<std::string, int>, IconKind>& icons);

  // State that expectations read.
  std::optional<std::string> currentInputMode() const;
  const std::vector<Alert>& alerts() const { return alerts_; }
  const std::vector<std::string>& logLines() const { return log_; }
  const std::vector<std::string>& installedHooks() const { return installedHooks_; }
  const std::optional<platform::StringList>& lastSwitcherList() const { return lastSwitcherList_; }
  const std::optional<platform::String>& lastLabel() const { return lastLabel_; }
  std::size_t preferenceReads() const { return preferenceReads_; }
  const std::vector<std::unique_ptr<platform::Library>>& libraries() const { return libraries_; }

  Device& device() { return device_; }
  Ui& ui() { return *ui_; }

  // Host: what the stand-in classes see of the process.
  platform::Runtime& runtime() override { return *this; }
  double systemVersion() override { return version_; }
  KeyboardStepForms keyboardStepForms() override { return stepForms_; }
  void trace(std::string kind, TraceFields fields = {}) override;
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
  // Writes what the process set and has not synchronized, as a process does when it ends.
  void flushAllPreferences();

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
  friend class Device;      // tells separate processes of the device's changes (remote)
  friend class DeviceSide;  // a separate process killed in the middle of a write
  void buildClasses();
  // The separate process's side (sim/device/separate.cpp).
  [[noreturn]] void childMain(int fd);
  Value serve(std::size_t call, const Array& arguments);
  SeparateState snapshot();
  void apply(SeparateState state);
  // Calls the separate process (call number `call` of the protocol); its answer's result, or
  // nothing when the process ended during the call (it is then reaped and its end traced).
  std::optional<Value> remote(std::size_t call, Array arguments = {});
  // Calls `Member` in the separate process, its arguments and result as the protocol's table
  // types them (sim/device/process_calls.h).
  template <auto Member, typename... Given>
  auto forward(const Given&... given);
  // The process has ended with `status` ("SIGKILL", "exit 1", ...) for `reason`.
  void ended(const std::string& status, const std::string& reason);
  void deliverLocal(const platform::Notification& notification);
  void hold(bool darwin, const platform::Notification& notification);
  const Dictionary& preferenceView(std::string_view app);
  // Writes the domain's pending values to its file; false when one did not reach it.
  bool flushPreferences(std::string_view app);

  Device& device_;
  // The system a process runs on does not change under it: the version is the one it booted with.
  double version_;
  KeyboardStepForms stepForms_;
  std::string bundleIdentifier_;
  std::string name_;
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
  std::vector<Alert> alerts_;
  std::vector<std::string> log_;
  std::size_t logReported_ = 0;  // in a separate process: the log lines its answers have carried
  std::vector<std::string> installedHooks_;
  std::optional<platform::StringList> lastSwitcherList_;
  std::optional<platform::String> lastLabel_;
  std::size_t preferenceReads_ = 0;
  bool suspended_ = false;
  // Notifications held while suspended, in the order of their last post; one per center and name.
  struct Held {
    bool darwin;
    platform::Notification notification;
  };
  std::vector<Held> held_;
  std::map<std::string, Dictionary, std::less<>> preferenceViews_;
  // Values set and not yet flushed, per domain, in the order set (the last value of each key).
  std::map<std::string, std::vector<std::pair<std::string, std::optional<Value>>>, std::less<>> pendingPreferences_;
  std::unique_ptr<Ui> ui_;
  // Set when the process runs as an OS process of its own: the connection to it, and its id.
  std::unique_ptr<Channel> link_;
  int pid_ = -1;
  bool separate_ = false;
  std::size_t separatePending_ = 0;
  bool ended_ = false;
  // Set by end(kKillMidWrite): the separate process is killed at its next write of a file.
  bool killMidWrite_ = false;
  // Last, so that the libraries go first when the process ends, as at a real exit.
  std::vector<std::unique_ptr<platform::Library>> libraries_;
};

}  // namespace orvane::sim
