// The calls between the device process and a process in an OS process of its own (the real
// runtime), as two tables: what the device asks of a process, each the process's own member served
// in its OS process, and what a process asks of the device process, which plays the platform's
// daemons and buses for it. See sim/device/remote_process.cpp.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/device/device.h"
#include "sim/device/protocol.h"
#include "sim/device/remote_process.h"

namespace orvane::sim {

template <>
struct Wire<InputMode> {
  static Value put(const InputMode& mode) {
    return Value(Array{Wire<platform::String>::put(mode.identifier), Wire<platform::String>::put(mode.displayName)});
  }
  static InputMode get(const Value& v) {
    const Array& a = wireArray(v, 2);
    return {Wire<platform::String>::get(a[0]), Wire<platform::String>::get(a[1])};
  }
};

template <>
struct Wire<Alert> {
  static Value put(const Alert& a) {
    return Value(Array{Value(a.title), Value(a.message), Value(a.button), Value(a.dismissed)});
  }
  static Alert get(const Value& v) {
    const Array& f = wireArray(v, 4);
    return {Wire<std::string>::get(f[0]), Wire<std::string>::get(f[1]), Wire<std::string>::get(f[2]),
            Wire<bool>::get(f[3])};
  }
};

// What expectations and the state read of a separate process, as its answer to every call carries
// it: the log as the lines added since the last answer, the rest whole (each is small).
struct SeparateState {
  std::vector<Alert> alerts;
  std::vector<std::string> newLogLines;
  std::vector<std::string> hooks;
  std::int64_t preferenceReads = 0;
  bool suspended = false;
  bool keyboardShown = false;
  std::int64_t pendingTasks = 0;
  platform::String inputMode;
  std::optional<platform::StringList> switcherList;
  std::optional<platform::String> label;
};

template <>
struct Wire<SeparateState> {
  static Value put(const SeparateState& s) {
    return Value(Array{Wire<std::vector<Alert>>::put(s.alerts), Wire<std::vector<std::string>>::put(s.newLogLines),
                       Wire<std::vector<std::string>>::put(s.hooks), Value(s.preferenceReads), Value(s.suspended),
                       Value(s.keyboardShown), Value(s.pendingTasks), Wire<platform::String>::put(s.inputMode),
                       Wire<std::optional<platform::StringList>>::put(s.switcherList),
                       Wire<std::optional<platform::String>>::put(s.label)});
  }
  static SeparateState get(const Value& v) {
    const Array& f = wireArray(v, 10);
    return {Wire<std::vector<Alert>>::get(f[0]),
            Wire<std::vector<std::string>>::get(f[1]),
            Wire<std::vector<std::string>>::get(f[2]),
            Wire<std::int64_t>::get(f[3]),
            Wire<bool>::get(f[4]),
            Wire<bool>::get(f[5]),
            Wire<std::int64_t>::get(f[6]),
            Wire<platform::String>::get(f[7]),
            Wire<std::optional<platform::StringList>>::get(f[8]),
            Wire<std::optional<platform::String>>::get(f[9])};
  }
};

// What the device asks of a process: the members of the LocalProcess in the process's OS process.
using DeviceToProcess =
    Protocol<Call<&LocalProcess::boot, "boot">, Call<&LocalProcess::runOneTask, "runOneTask">,
             Call<&LocalProcess::queueDarwinDelivery, "queueDarwinDelivery">,
             Call<&LocalProcess::queueDistributedDelivery, "queueDistributedDelivery">,
             Call<&LocalProcess::suspend, "suspend">, Call<&LocalProcess::resume, "resume">,
             Call<&LocalProcess::showKeyboard, "showKeyboard">, Call<&LocalProcess::hideKeyboard, "hideKeyboard">,
             Call<&LocalProcess::tapKey, "tapKey">, Call<&LocalProcess::tapNowhere, "tapNowhere">,
             Call<&LocalProcess::nextKeyboardStep, "nextKeyboardStep">,
             Call<&LocalProcess::askSwitcherList, "askSwitcherList">,
             Call<&LocalProcess::chooseFromSwitcher, "chooseFromSwitcher">, Call<&LocalProcess::askLabel, "askLabel">,
             Call<&LocalProcess::unlock, "unlock">, Call<&LocalProcess::dismissAlert, "dismissAlert">,
             Call<&LocalProcess::flushAllPreferences, "flushAllPreferences">,
             Call<&LocalProcess::fireActivatorEvent, "fireActivatorEvent">,
             Call<&LocalProcess::askActivatorListener, "askActivatorListener">, Call<&LocalProcess::crashNow, "crash">,
             Call<&LocalProcess::hangForever, "hang">, Call<&LocalProcess::keyboardsChanged, "keyboards">,
             Call<&LocalProcess::iconsChanged, "icons">>;

// The device process's side of a process's calls: the daemons and buses, for the process `from`.
class DeviceSide {
 public:
  DeviceSide(Device& device, RemoteProcess& from) : device_(device), from_(from) {}

  // An event of the process's trace, in the device's one order.
  void trace(const std::string& process, const std::string& kind, const Trace::Fields& fields);
  // The preference daemon.
  bool writePreference(const std::string& who, const std::string& key, const std::optional<Value>& value,
                       const std::string& domain);
  std::optional<Value> preferenceValue(const std::string& key, const std::string& domain);
  Dictionary preferenceDomain(const std::string& domain);
  // The Darwin and distributed buses; a distributed post is `from`'s. A post is told, not called,
  // when its poster does not observe the name: it needs no answer, and the deliveries it queues
  // are served in the poster's order all the same.
  void postDarwin(const std::string& name);
  void postDistributed(const platform::Notification& notification);
  void announceDarwin(const std::string& name) { postDarwin(name); }
  void announceDistributed(const platform::Notification& notification) { postDistributed(notification); }
  // The device's injected fault that a file operation of the process meets: one question an
  // operation.
  std::optional<FileFault> fileFault(FileOperation operation);
  // The process observes a name on the Darwin center (`darwin`) or the distributed one: told as it
  // begins to, so that the device knows who observes what and asks no process.
  void observe(bool darwin, const std::string& name);

 private:
  Device& device_;
  RemoteProcess& from_;
};

// What a process asks of the device process.
using ProcessToDevice =
    Protocol<Call<&DeviceSide::trace, "trace", true>, Call<&DeviceSide::writePreference, "writePreference">,
             Call<&DeviceSide::preferenceValue, "preferenceValue">,
             Call<&DeviceSide::preferenceDomain, "preferenceDomain">, Call<&DeviceSide::postDarwin, "postDarwin">,
             Call<&DeviceSide::postDistributed, "postDistributed">,
             Call<&DeviceSide::announceDarwin, "announceDarwin", true>,
             Call<&DeviceSide::announceDistributed, "announceDistributed", true>,
             Call<&DeviceSide::fileFault, "fileFault">, Call<&DeviceSide::observe, "observe", true>>;

// Calls the process's member in its own OS process; what the member gives by default when the
// process ended during the call.
template <auto Member, typename... Given>
auto RemoteProcess::forward(const Given&... given) {
  return resultOf<Member>(
      remote(DeviceToProcess::idOf<Member>(), MemberOf<std::remove_cv_t<decltype(Member)>>::encode(given...)));
}

}  // namespace orvane::sim
