// Processes as OS processes of their own (the real runtime). The device process forks one OS
// process per simulated process; the child boots the process and answers the device's calls
// (a tap, a main-queue turn, a notification delivery, a question about its state) over a channel,
// and calls the device for what the platform's daemons do: the trace, the preference daemon (the
// one writer of every domain), the Darwin and distributed buses and file faults. Files it reads
// and writes itself, on the device's root. Only the device process starts calls of its own: a
// child calls only while it serves one, so everything happens in one order, the same every run.
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "sim/device/process_calls.h"
#include "sim/standins/ui.h"

namespace orvane::sim {

// ---- the device process's side ----

Value Device::serveProcess(RemoteProcess& from, std::size_t call, const Array& arguments) {
  DeviceSide side(*this, from);
  return ProcessToDevice::serve(side, call, arguments);
}

void DeviceSide::trace(const std::string& process, const std::string& kind, const Trace::Fields& fields) {
  device_.trace().add(process, kind, fields);
}

bool DeviceSide::writePreference(const std::string& who, const std::string& key, const std::optional<Value>& value,
                                 const std::string& domain) {
  return device_.writePreference(who, key, value, domain);
}

std::optional<Value> DeviceSide::preferenceValue(const std::string& key, const std::string& domain) {
  return device_.preferenceValue(key, domain);
}

Dictionary DeviceSide::preferenceDomain(const std::string& domain) { return device_.preferenceDomain(domain); }

void DeviceSide::postDarwin(const std::string& name) { device_.postDarwin(name); }

void DeviceSide::postDistributed(const platform::Notification& notification) {
  device_.postDistributed(from_, notification);
}

std::optional<FileFault> DeviceSide::fileFault(FileOperation operation) { return from_.faultOf(operation); }

void DeviceSide::observe(bool darwin, const std::string& name) { from_.observes(darwin, name); }

RemoteProcess::RemoteProcess(Device& device, std::string bundleIdentifier, int applicationMainStatus)
    : Process(device, std::move(bundleIdentifier)), applicationMainStatus_(applicationMainStatus) {}

namespace {

// How long a process has to exit once the device has closed its connection, before it is killed
// (a stopped or stuck one would never exit).
constexpr int kExitBoundMilliseconds = 2000;

// Waits for a child to end, for at most `milliseconds`; its wait status, or nothing when it still
// runs. The child's pidfd wakes the wait the moment it ends; without one (a kernel before 5.3, or
// valgrind), the child is asked at growing intervals.
std::optional<int> waitFor(pid_t pid, int milliseconds) {
  int status = 0;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd ending{pidfd, POLLIN, 0};
    while (::poll(&ending, 1, milliseconds) < 0 && errno == EINTR) {
    }
    ::close(pidfd);
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (auto pause = std::chrono::microseconds(50);; pause = std::min(pause * 2, std::chrono::microseconds(20000))) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return std::nullopt;  // not our child (any more)
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(pause);
  }
}

// Kills a child and waits for it: its wait status (a child that was already ending keeps its own).
int killAndWait(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Runs `child` in a forked OS process that starts with every signal as the system gives it: no
// handler of the device's (which would remove the device's folder), nothing blocked. Signals are
// held from before the fork until the handlers are gone, so none reaches a handler meant for the
// device; the parent's mask comes back as it was.
template <typename Child>
pid_t forkClean(Child child) {
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int signal = 1; signal < NSIG; ++signal) {
      struct sigaction action {};
      if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN)
        ::signal(signal, SIG_DFL);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    child();
  }
  const int error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return pid;
}

}  // namespace

RemoteProcess::~RemoteProcess() {
  if (!link_) return;
  link_.reset();  // the process sees the connection close and exits
  if (!waitFor(pid_, kExitBoundMilliseconds)) killAndWait(pid_);
}

void RemoteProcess::boot() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error(std::string("cannot connect a process: ") + std::strerror(errno));
  std::fflush(nullptr);
  const pid_t pid = forkClean([&] {
    ::close(fds[0]);
    // The connections to the other separate processes are the device's alone: held here, they
    // would keep those processes from ever seeing the device close them.
    for (const auto& p : device_.processes()) {
      if (auto* other = dynamic_cast<RemoteProcess*>(p.get())) other->letGo();
    }
    (new LocalProcess(device_, bundleIdentifier_, applicationMainStatus_))->serveDevice(fds[1]);
  });
  if (pid < 0) {
    const int error = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error(std::string("cannot start a process: ") + std::strerror(error));
  }
  ::close(fds[1]);
  pid_ = pid;
  link_ = std::make_shared<Channel>(fds[0]);
  link_->setHandler(
      [this](std::size_t call, const Array& arguments) { return device_.serveProcess(*this, call, arguments); });
  link_->setBound(kHangBoundMilliseconds);
  forward<&LocalProcess::boot>();
}

void RemoteProcess::letGo() { link_.reset(); }

void RemoteProcess::observes(bool darwin, const std::string& name) {
  (darwin ? darwinNames_ : distributedNames_).insert(name);
}

std::optional<Value> RemoteProcess::remote(std::size_t call, Array arguments) {
  if (ended_) return std::nullopt;
  // Held for the whole call: the process may end inside it, during a call it makes back.
  const std::shared_ptr<Channel> link = link_;
  Value answer;
  try {
    answer = link->call(call, std::move(arguments));
  } catch (const ChannelTimeout&) {
    ended("hung");
    return std::nullopt;
  } catch (const ChannelClosed&) {
    ended(killMidWrite_ ? "killed-mid-write" : "crashed");
    return std::nullopt;
  }
  // The answer is the result and the process's state after the call.
  const Array& fields = wireArray(answer, 2);
  apply(Wire<SeparateState>::get(fields[1]));
  return fields[0];
}

void RemoteProcess::apply(SeparateState state) {
  alerts_ = std::move(state.alerts);
  log_.insert(log_.end(), std::make_move_iterator(state.newLogLines.begin()),
              std::make_move_iterator(state.newLogLines.end()));
  installedHooks_ = std::move(state.hooks);
  preferenceReads_ = static_cast<std::size_t>(state.preferenceReads);
  suspended_ = state.suspended;
  keyboardShown_ = state.keyboardShown;
  pendingTasks_ = static_cast<std::size_t>(state.pendingTasks);
  inputMode_ = std::move(state.inputMode);
  lastSwitcherList_ = std::move(state.switcherList);
  lastLabel_ = std::move(state.label);
}

std::optional<FileFault> RemoteProcess::faultOf(FileOperation operation) {
  // A process told to die mid-write dies once its bytes are written, before they are in place.
  if (operation == FileOperation::kWrite && killMidWrite_) return FileFault::kKilledMidWrite;
  return device_.files().faultOf(operation);
}

namespace {
std::string statusText(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (!WIFSIGNALED(status)) return "unknown";
  const char* name = ::sigabbrev_np(WTERMSIG(status));
  return name != nullptr ? "SIG" + std::string(name) : "signal " + std::to_string(WTERMSIG(status));
}
}  // namespace

void RemoteProcess::ended(const std::string& reason) {
  if (ended_) return;
  ended_ = true;
  // Whatever it is doing (hung, stopped, sending what is not a message), it does nothing more:
  // killed before its connection closes, which it would take for the device's word to exit.
  const int status = killAndWait(pid_);
  link_.reset();
  trace("exit", {{"status", statusText(status)}, {"reason", reason}});
}

bool RemoteProcess::endedOutside() {
  if (ended_ || !link_) return ended_;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  ended_ = true;
  link_.reset();
  trace("exit", {{"status", statusText(status)}, {"reason", "ended-outside"}});
  return true;
}

bool RemoteProcess::end(End how) {
  if (ended_) return true;
  switch (how) {
    case End::kKill:
      ended("killed");
      break;
    case End::kKillMidWrite:
      killMidWrite_ = true;
      break;
    case End::kCrash:
      forward<&LocalProcess::crashNow>();
      break;
    case End::kHang:
      forward<&LocalProcess::hangForever>();
      break;
  }
  return true;
}

// Every other call, forwarded as the protocol's table types it; whether the process observes a
// name is known here.
bool RemoteProcess::runOneTask() { return forward<&LocalProcess::runOneTask>(); }
bool RemoteProcess::observesDarwin(std::string_view name) const { return darwinNames_.contains(name); }
void RemoteProcess::queueDarwinDelivery(const std::string& name) { forward<&LocalProcess::queueDarwinDelivery>(name); }
bool RemoteProcess::observesDistributed(std::string_view name) const { return distributedNames_.contains(name); }
void RemoteProcess::queueDistributedDelivery(const platform::Notification& notification) {
  forward<&LocalProcess::queueDistributedDelivery>(notification);
}
bool RemoteProcess::suspend() { return forward<&LocalProcess::suspend>(); }
bool RemoteProcess::resume() { return forward<&LocalProcess::resume>(); }
void RemoteProcess::showKeyboard() { forward<&LocalProcess::showKeyboard>(); }
void RemoteProcess::hideKeyboard() { forward<&LocalProcess::hideKeyboard>(); }
bool RemoteProcess::tapKey(std::string_view keyName) { return forward<&LocalProcess::tapKey>(std::string(keyName)); }
void RemoteProcess::tapNowhere() { forward<&LocalProcess::tapNowhere>(); }
void RemoteProcess::nextKeyboardStep() { forward<&LocalProcess::nextKeyboardStep>(); }
platform::StringList RemoteProcess::askSwitcherList() { return forward<&LocalProcess::askSwitcherList>(); }
bool RemoteProcess::chooseFromSwitcher(const std::string& identifier) {
  return forward<&LocalProcess::chooseFromSwitcher>(identifier);
}
bool RemoteProcess::askLabel(std::string_view keyName) {
  return forward<&LocalProcess::askLabel>(std::string(keyName));
}
bool RemoteProcess::unlock() { return forward<&LocalProcess::unlock>(); }
bool RemoteProcess::dismissAlert() { return forward<&LocalProcess::dismissAlert>(); }
bool RemoteProcess::fireActivatorEvent(const std::string& name) {
  return forward<&LocalProcess::fireActivatorEvent>(name);
}
std::optional<std::string> RemoteProcess::askActivatorListener(const std::string& name, const std::string& what,
                                                               const std::string& argument) {
  return forward<&LocalProcess::askActivatorListener>(name, what, argument);
}
void RemoteProcess::flushAllPreferences() { forward<&LocalProcess::flushAllPreferences>(); }
void RemoteProcess::keyboardsChanged(const std::vector<InputMode>& modes) {
  forward<&LocalProcess::keyboardsChanged>(modes);
}
void RemoteProcess::iconsChanged(const std::map<std::pair<std::string, int>, IconKind>& icons) {
  forward<&LocalProcess::iconsChanged>(icons);
}

// ---- the separate process's side ----

namespace {

Channel* toDevice = nullptr;

// A fault of the process's own (in the extension, say) ends it by the same signal, once what it
// told the device and had not yet written is written: the trace keeps what it said last. A second
// fault in here ends it at once (the handler is reset before it runs); a stack overflow is handled
// on a stack of its own.
void flushAndEnd(int signal) {
  if (toDevice != nullptr) toDevice->flushFromSignal();
  ::raise(signal);
}

void flushOnFaults(Channel& channel) {
  toDevice = &channel;
  static char stack[std::size_t{64} << 10];
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = sizeof stack;
  ::sigaltstack(&alternate, nullptr);
  struct sigaction action {};
  action.sa_handler = flushAndEnd;
  action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(signal, &action, nullptr);
}

}  // namespace

void LocalProcess::serveDevice(int fd) {
  // The process goes when the device goes, however the device ends (a hung one would not notice);
  // a Ctrl-C at the terminal is the device's to act on, not the process's.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::signal(SIGINT, SIG_IGN);
  auto* channel = new Channel(fd);  // lives until the process exits
  flushOnFaults(*channel);
  device_.becomeChild(*channel);
  channel->setHandler([this](std::size_t call, const Array& arguments) { return serve(call, arguments); });
  int status = 0;
  try {
    channel->serve();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", name_.c_str(), e.what());
    status = 1;
  }
  // The device closed the connection: the process exits, its objects with it.
  ::_exit(status);
}

Value LocalProcess::serve(std::size_t call, const Array& arguments) {
  Value result = DeviceToProcess::serve(*this, call, arguments);
  return Value(Array{std::move(result), Wire<SeparateState>::put(snapshot())});
}

// What expectations and the state read of a process, as the separate process reports it after
// each call: the log lines since the last report, the rest whole.
SeparateState LocalProcess::snapshot() {
  SeparateState state{alerts_,
                      std::vector<std::string>(log_.begin() + static_cast<std::ptrdiff_t>(logReported_), log_.end()),
                      installedHooks_,
                      static_cast<std::int64_t>(preferenceReads_),
                      suspended_,
                      ui_->keyboardShown,
                      static_cast<std::int64_t>(mainQueue_.size()),
                      ui_->currentInputMode,
                      lastSwitcherList_,
                      lastLabel_};
  logReported_ = log_.size();
  return state;
}

void LocalProcess::crashNow() {
  device_.flushToParent();
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);  // no core file for a crash asked for
  std::abort();
}

void LocalProcess::hangForever() {
  device_.flushToParent();
  for (;;) ::pause();
}

void Device::observing(bool darwin, const std::string& name) {
  if (parent_ != nullptr) callOver<ProcessToDevice, &DeviceSide::observe>(*parent_, darwin, name);
}

void Device::flushToParent() {
  if (parent_ != nullptr) parent_->flush();
}

void Device::becomeChild(Channel& parent) {
  parent_ = &parent;
  trace_.setRecording(false);
  trace_.setSink([&parent](const TraceEvent& event) {
    callOver<ProcessToDevice, &DeviceSide::trace>(parent, event.process, event.kind, event.fields);
  });
  files_.setFaultSource([&parent](FileOperation operation) {
    return callOver<ProcessToDevice, &DeviceSide::fileFault>(parent, operation);
  });
}

}  // namespace orvane::sim
