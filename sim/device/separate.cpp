// Processes as OS processes of their own (the real runtime). The device process forks one OS
// process per simulated process; the child boots the process and answers the device's calls
// (a tap, a main-queue turn, a notification delivery, a question about its state) over a channel,
// and calls the device for what the platform's daemons do: the trace, the preference daemon (the
// one writer of every domain), the Darwin and distributed buses and file faults. Files it reads
// and writes itself, on the device's root. Only the device process starts calls of its own: a
// child calls only while it serves one, so everything happens in one order, the same every run.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/device/process_calls.h"
#include "sim/standins/activator.h"
#include "sim/standins/ui.h"

namespace orvane::sim {

// ---- the device process's side ----

void Device::tellSeparateProcessesKeyboards() {
  if (!separateProcesses_) return;
  for (const auto& p : processes_) p->forward<&Process::adoptKeyboards>(activeInputModes_);
}

void Device::tellSeparateProcessesIcons() {
  if (!separateProcesses_) return;
  for (const auto& p : processes_) p->forward<&Process::adoptIcons>(appIcons_);
}

Value Device::serveProcess(Process& from, std::size_t call, const Array& arguments) {
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

bool DeviceSide::fileFault(FileFault fault) {
  // The write's bytes are in a temporary file, not yet put in place: a process told to die
  // mid-write dies here.
  if (fault == FileFault::kRename && from_.killMidWrite_) {
    ::kill(from_.pid_, SIGKILL);
    throw ChannelClosed("killed-mid-write");
  }
  return device_.files().meets(fault);
}

void Device::becomeChild(Channel& parent) {
  parent_ = &parent;
  trace_.setRecording(false);
  trace_.setSink([&parent](const TraceEvent& event) {
    callOver<ProcessToDevice, &DeviceSide::trace>(parent, event.process, event.kind, event.fields);
  });
  files_.setFaultSource(
      [&parent](FileFault fault) { return callOver<ProcessToDevice, &DeviceSide::fileFault>(parent, fault); });
}

void Process::adoptKeyboards(const std::vector<InputMode>& modes) {
  device_.activeInputModes_ = modes;
  ++device_.keyboardsGeneration_;
}

void Process::adoptIcons(const std::map<std::pair<std::string, int>, IconKind>& icons) { device_.appIcons_ = icons; }

void Process::spawn() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error(std::string("cannot connect a process: ") + std::strerror(errno));
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error(std::string("cannot start a process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::close(fds[0]);
    childMain(fds[1]);
  }
  ::close(fds[1]);
  pid_ = pid;
  separate_ = true;
  link_ = std::make_unique<Channel>(fds[0]);
  link_->setHandler(
      [this](std::size_t call, const Array& arguments) { return device_.serveProcess(*this, call, arguments); });
  link_->setBound(kHangBoundMilliseconds);
  forward<&Process::boot>();
}

std::optional<Value> Process::remote(std::size_t call, Array arguments) {
  if (ended_) return std::nullopt;
  Value answer;
  try {
    answer = link_->call(call, std::move(arguments));
  } catch (const ChannelTimeout&) {
    ::kill(pid_, SIGKILL);
    ended("", "hung");
    return std::nullopt;
  } catch (const ChannelClosed&) {
    ended("", killMidWrite_ ? "killed-mid-write" : "crashed");
    return std::nullopt;
  }
  // The answer is the result and the process's state after the call.
  const Array& fields = wireArray(answer, 2);
  apply(Wire<SeparateState>::get(fields[1]));
  return fields[0];
}

namespace {
std::string statusText(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (!WIFSIGNALED(status)) return "unknown";
  switch (WTERMSIG(status)) {
    case SIGKILL:
      return "SIGKILL";
    case SIGABRT:
      return "SIGABRT";
    case SIGSEGV:
      return "SIGSEGV";
    default:
      return "signal " + std::to_string(WTERMSIG(status));
  }
}
}  // namespace

void Process::ended(const std::string& status, const std::string& reason) {
  std::string exit = status;
  if (link_) {
    link_.reset();
    int waited = 0;
    if (::waitpid(pid_, &waited, 0) == pid_ && exit.empty()) exit = statusText(waited);
  }
  ended_ = true;
  trace("exit", {{"status", exit}, {"reason", reason}});
}

bool Process::end(End how) {
  if (ended_) return true;
  if (!link_) {
    // One OS process holds every process: the end is modelled, the process taken out as it is.
    if (how == End::kKillMidWrite) return false;
    ended(how == End::kCrash ? "SIGABRT" : "SIGKILL", how == End::kCrash  ? "crashed"
                                                      : how == End::kHang ? "hung"
                                                                          : "killed");
    return true;
  }
  switch (how) {
    case End::kKill:
      ::kill(pid_, SIGKILL);
      ended("", "killed");
      break;
    case End::kKillMidWrite:
      killMidWrite_ = true;
      break;
    case End::kCrash:
      forward<&Process::crashNow>();
      break;
    case End::kHang:
      forward<&Process::hangForever>();
      break;
  }
  return true;
}

// What expectations and the state read of a process, as the separate process reports it after
// each call: the log lines since the last report, the rest whole.
SeparateState Process::snapshot() {
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

void Process::apply(SeparateState state) {
  alerts_ = std::move(state.alerts);
  log_.insert(log_.end(), std::make_move_iterator(state.newLogLines.begin()),
              std::make_move_iterator(state.newLogLines.end()));
  installedHooks_ = std::move(state.hooks);
  preferenceReads_ = static_cast<std::size_t>(state.preferenceReads);
  suspended_ = state.suspended;
  ui_->keyboardShown = state.keyboardShown;
  separatePending_ = static_cast<std::size_t>(state.pendingTasks);
  ui_->currentInputMode = std::move(state.inputMode);
  lastSwitcherList_ = std::move(state.switcherList);
  lastLabel_ = std::move(state.label);
}

// ---- the separate process's side ----

void Process::childMain(int fd) {
  // The process goes when the device goes, however the device ends (a hung one would not notice);
  // a Ctrl-C at the terminal is the device's to act on, not the process's.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::signal(SIGINT, SIG_IGN);
  // The connections to the other separate processes are the device's alone: held here, they would
  // keep those processes from ever seeing the device close them.
  for (const auto& p : device_.processes()) {
    if (p.get() != this) p->link_.reset();
  }
  auto* channel = new Channel(fd);  // lives until the process exits
  device_.becomeChild(*channel);
  auto* self = new Process(device_, bundleIdentifier_, applicationMainStatus_);
  channel->setHandler([self](std::size_t call, const Array& arguments) { return self->serve(call, arguments); });
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

Value Process::serve(std::size_t call, const Array& arguments) {
  Value result = DeviceToProcess::serve(*this, call, arguments);
  return Value(Array{std::move(result), Wire<SeparateState>::put(snapshot())});
}

void Process::crashNow() {
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);  // no core file for a crash asked for
  std::abort();
}

void Process::hangForever() {
  for (;;) ::pause();
}

bool Process::fireActivatorEvent(const std::string& name) {
  if (separate_) return forward<&Process::fireActivatorEvent>(name);
  return sim::fireActivatorEvent(*this, name);
}

std::optional<std::string> Process::askActivatorListener(const std::string& name, const std::string& what,
                                                         const std::string& argument) {
  if (separate_) return forward<&Process::askActivatorListener>(name, what, argument);
  return sim::askActivatorListener(*this, name, what, argument);
}

}  // namespace orvane::sim
