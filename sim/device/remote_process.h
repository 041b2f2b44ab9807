// A process in an OS process of its own (the real runtime). The device process forks one OS process
// per simulated process; the child runs a LocalProcess and answers the device's calls over a
// channel. This object, in the device process, stands for it: every call of Process is a row of
// the protocol (sim/device/process_calls.h), forwarded; the state expectations read is the copy
// the child's answers report.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/device/channel.h"
#include "sim/device/process.h"
#include "sim/storage/file_store.h"

namespace orvane::sim {

class RemoteProcess final : public Process {
 public:
  RemoteProcess(Device& device, std::string bundleIdentifier, int applicationMainStatus);
  // The connection closes: the OS process ends, as at its exit.
  ~RemoteProcess() override;

  // Starts the OS process and boots the process in it.
  void boot() override;
  bool end(End how) override;
  bool runOneTask() override;
  std::size_t pendingTasks() const override { return pendingTasks_; }
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
  std::optional<std::string> currentInputMode() const override { return inputMode_; }
  bool keyboardShown() const override { return keyboardShown_; }

  // The device's injected fault a file operation of the process meets; a write of a process told
  // to die in the middle of one meets its death (kKilledMidWrite).
  std::optional<FileFault> faultOf(FileOperation operation);
  // The process began to observe a name (it tells as it does).
  void observes(bool darwin, const std::string& name);
  // In another process's OS process (just forked): the connection is the device's alone, and is
  // let go without a word, so that this process sees the device close it.
  void letGo();
  bool endedOutside() override;
  // The OS process's id, for what acts on it from outside (a signal from another program).
  int osProcess() const { return pid_; }

 private:
  // Calls the process (call number `call` of the protocol); the answer's result, or nothing when
  // the process ended during the call (its end is then traced).
  std::optional<Value> remote(std::size_t call, Array arguments);
  // Calls `Member` of the LocalProcess over there, its arguments and result as the protocol types
  // them (sim/device/process_calls.h).
  template <auto Member, typename... Given>
  auto forward(const Given&... given);
  void apply(SeparateState state);
  // The process has ended for `reason`: the OS process is killed if it still runs, waited for, and
  // its end traced with its status ("SIGKILL", "exit 1", ...). Once: an end noticed again during
  // an outer call is not traced again.
  void ended(const std::string& reason);

  int applicationMainStatus_;
  // Shared with every call under way: a call during which the process ends (and the link goes)
  // still holds the channel it reads.
  std::shared_ptr<Channel> link_;
  int pid_ = -1;
  std::size_t pendingTasks_ = 0;
  bool keyboardShown_ = false;
  std::optional<std::string> inputMode_;
  // The names the process observes, as its answers report them: the device asks it nothing to know.
  std::set<std::string, std::less<>> darwinNames_;
  std::set<std::string, std::less<>> distributedNames_;
  // Set by end(kKillMidWrite): the process is killed at its next write of a file.
  bool killMidWrite_ = false;
};

}  // namespace orvane::sim
