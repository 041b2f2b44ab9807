// The calls between the device process and a process in an OS process of its own (the real
// runtime), as two tables: what the device asks of a process, each the process's own member served
// in its OS process, and what a process asks of the device process, which plays the platform's
// daemons and buses for it. See sim/device/separate.cpp.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/device/device.h"
#include "sim/device/protocol.h"

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

// What the device asks of a process.
using DeviceToProcess =
    Protocol<Call<&Process::boot, "boot">, Call<&Process::runOneTask, "runOneTask">,
             Call<&Process::observesDarwin, "observesDarwin">,
             Call<&Process::queueDarwinDelivery, "queueDarwinDelivery">,
             Call<&Process::observesDistributed, "observesDistributed">,
             Call<&Process::queueDistributedDelivery, "queueDistributedDelivery">, Call<&Process::suspend, "suspend">,
             Call<&Process::resume, "resume">, Call<&Process::showKeyboard, "showKeyboard">,
             Call<&Process::hideKeyboard, "hideKeyboard">, Call<&Process::tapKey, "tapKey">,
             Call<&Process::tapNowhere, "tapNowhere">, Call<&Process::nextKeyboardStep, "nextKeyboardStep">,
             Call<&Process::askSwitcherList, "askSwitcherList">, Call<&Process::askLabel, "askLabel">,
             Call<&Process::unlock, "unlock">, Call<&Process::dismissAlert, "dismissAlert">,
             Call<&Process::flushAllPreferences, "flushAllPreferences">,
             Call<&Process::fireActivatorEvent, "fireActivatorEvent">,
             Call<&Process::askActivatorListener, "askActivatorListener">, Call<&Process::crashNow, "crash">,
             Call<&Process::hangForever, "hang">, Call<&Process::adoptKeyboards, "keyboards">,
             Call<&Process::adoptIcons, "icons">>;

// The device process's side of a process's calls: the daemons and buses, for the process `from`.
class DeviceSide {
 public:
  DeviceSide(Device& device, Process& from) : device_(device), from_(from) {}

  // An event of the process's trace, in the device's one order.
  void trace(const std::string& process, const std::string& kind, const Trace::Fields& fields);
  // The preference daemon.
  bool writePreference(const std::string& who, const std::string& key, const std::optional<Value>& value,
                       const std::string& domain);
  std::optional<Value> preferenceValue(const std::string& key, const std::string& domain);
  Dictionary preferenceDomain(const std::string& domain);
  // The Darwin and distributed buses; a distributed post is `from`'s.
  void postDarwin(const std::string& name);
  void postDistributed(const platform::Notification& notification);
  // Whether the process's file operation meets the device's injected fault.
  bool fileFault(FileFault fault);

 private:
  Device& device_;
  Process& from_;
};

// What a process asks of the device process.
using ProcessToDevice =
    Protocol<Call<&DeviceSide::trace, "trace", true>, Call<&DeviceSide::writePreference, "writePreference">,
             Call<&DeviceSide::preferenceValue, "preferenceValue">,
             Call<&DeviceSide::preferenceDomain, "preferenceDomain">, Call<&DeviceSide::postDarwin, "postDarwin">,
             Call<&DeviceSide::postDistributed, "postDistributed">, Call<&DeviceSide::fileFault, "fileFault">>;

// Calls the process's member in its own OS process; what the member gives by default when the
// process ended during the call.
template <auto Member, typename... Given>
auto Process::forward(const Given&... given) {
  return resultOf<Member>(
      remote(DeviceToProcess::idOf<Member>(), MemberOf<std::remove_cv_t<decltype(Member)>>::encode(given...)));
}

}  // namespace orvane::sim
