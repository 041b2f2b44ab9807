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

#include "sim/device/device.h"
#include "sim/standins/activator.h"
#include "sim/standins/ui.h"

namespace orvane::sim {

namespace {

std::string textAt(const Array& arguments, std::size_t i) {
  const std::string* text = i < arguments.size() ? arguments[i].string() : nullptr;
  return text != nullptr ? *text : std::string();
}

// An optional value travels as an array of none or one.
std::optional<Value> optionalAt(const Array& arguments, std::size_t i) {
  const Array* value = i < arguments.size() ? arguments[i].array() : nullptr;
  return value != nullptr && !value->empty() ? std::optional<Value>(value->front()) : std::nullopt;
}
Value optional(const std::optional<std::string>& s) { return s ? Value(Array{Value(*s)}) : Value(Array{}); }
std::optional<std::string> optionalText(const Value* value) {
  const Array* a = value != nullptr ? value->array() : nullptr;
  return a != nullptr && !a->empty() && a->front().string() != nullptr
             ? std::optional<std::string>(*a->front().string())
             : std::nullopt;
}

std::int64_t integerAt(const Array& arguments, std::size_t i) {
  const auto* n = i < arguments.size() ? std::get_if<std::int64_t>(&arguments[i].storage()) : nullptr;
  return n != nullptr ? *n : 0;
}

std::optional<Dictionary> userInfoAt(const Array& arguments, std::size_t i) {
  auto value = optionalAt(arguments, i);
  return value && value->dictionary() != nullptr ? std::optional<Dictionary>(*value->dictionary()) : std::nullopt;
}

Array texts(const std::vector<std::string>& lines) {
  Array out;
  out.reserve(lines.size());
  for (const std::string& line : lines) out.emplace_back(line);
  return out;
}
std::vector<std::string> textsOf(const Value* value) {
  std::vector<std::string> out;
  if (const Array* a = value != nullptr ? value->array() : nullptr) {
    for (const Value& v : *a) out.push_back(v.string() != nullptr ? *v.string() : std::string());
  }
  return out;
}

}  // namespace

// ---- the device process's side ----

void Device::tellSeparateProcesses(const std::string& what) {
  if (!separateProcesses_) return;
  Array arguments;
  if (what == "keyboards") {
    for (const InputMode& mode : activeInputModes_) {
      arguments.emplace_back(Array{optional(mode.identifier), optional(mode.displayName)});
    }
  } else {
    for (const auto& [key, kind] : appIcons_) {
      arguments.emplace_back(Array{Value(key.first), Value(key.second), Value(static_cast<int>(kind))});
    }
  }
  for (const auto& p : processes_) p->remote(what, arguments);
}

Value Device::serveProcess(Process& from, const std::string& method, const Array& arguments) {
  if (method == "trace") {
    Trace::Fields fields;
    if (const Array* given = arguments.size() > 2 ? arguments[2].array() : nullptr) {
      for (const Value& field : *given) {
        const Array* pair = field.array();
        if (pair != nullptr && pair->size() == 2) fields.emplace_back(textAt(*pair, 0), textAt(*pair, 1));
      }
    }
    trace_.add(textAt(arguments, 0), textAt(arguments, 1), std::move(fields));
    return {};
  }
  if (method == "writePreference") {
    return Value(
        writePreference(textAt(arguments, 0), textAt(arguments, 1), optionalAt(arguments, 2), textAt(arguments, 3)));
  }
  if (method == "preferenceValue") {
    auto value = preferenceValue(textAt(arguments, 0), textAt(arguments, 1));
    return value ? Value(Array{*value}) : Value(Array{});
  }
  if (method == "preferenceDomain") return Value(preferenceDomain(textAt(arguments, 0)));
  if (method == "postDarwin") {
    postDarwin(textAt(arguments, 0));
    return {};
  }
  if (method == "postDistributed") {
    if (Process* poster = find(textAt(arguments, 0))) {
      postDistributed(*poster, platform::Notification{textAt(arguments, 1), userInfoAt(arguments, 2)});
    }
    return {};
  }
  if (method == "fileFault") {
    const auto fault = static_cast<FileFault>(integerAt(arguments, 0));
    // The write's bytes are in a temporary file, not yet put in place: a process told to die
    // mid-write dies here.
    if (fault == FileFault::kRename && from.killMidWrite_) {
      ::kill(from.pid_, SIGKILL);
      throw ChannelClosed("killed-mid-write");
    }
    return Value(files_.meets(fault));
  }
  throw ChannelClosed("a process made an unknown call: " + method);
}

void Device::becomeChild(Channel& parent) {
  parent_ = &parent;
  trace_.setRecording(false);
  trace_.setSink([&parent](const TraceEvent& event) {
    Array fields;
    fields.reserve(event.fields.size());
    for (const auto& [key, value] : event.fields) fields.emplace_back(Array{Value(key), Value(value)});
    parent.tell("trace", {Value(event.process), Value(event.kind), Value(std::move(fields))});
  });
  files_.setFaultSource(
      [&parent](FileFault fault) { return parent.call("fileFault", {Value(static_cast<int>(fault))}) == Value(true); });
}

void Device::adopt(const std::string& what, const Array& arguments) {
  if (what == "keyboards") {
    activeInputModes_.clear();
    for (const Value& mode : arguments) {
      const Array* pair = mode.array();
      activeInputModes_.push_back(pair != nullptr && pair->size() == 2
                                      ? InputMode{optionalText(&(*pair)[0]), optionalText(&(*pair)[1])}
                                      : InputMode{});
    }
    ++keyboardsGeneration_;
  } else {
    appIcons_.clear();
    for (const Value& icon : arguments) {
      const Array* fields = icon.array();
      if (fields == nullptr || fields->size() != 3) continue;
      appIcons_.insert_or_assign({textAt(*fields, 0), static_cast<int>(integerAt(*fields, 1))},
                                 static_cast<IconKind>(integerAt(*fields, 2)));
    }
  }
}

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
  link_->setHandler([this](const std::string& method, const Array& arguments) {
    return device_.serveProcess(*this, method, arguments);
  });
  link_->setBound(kHangBoundMilliseconds);
  remote("boot");
}

Value Process::remote(const std::string& method, Array arguments) {
  if (ended_) return {};
  Value answer;
  try {
    answer = link_->call(method, std::move(arguments));
  } catch (const ChannelTimeout&) {
    ::kill(pid_, SIGKILL);
    ended("", "hung");
    return {};
  } catch (const ChannelClosed&) {
    ended("", killMidWrite_ ? "killed-mid-write" : "crashed");
    return {};
  }
  const Dictionary* fields = answer.dictionary();
  if (fields == nullptr) return {};
  if (const Value* state = find(*fields, "state"); state != nullptr && state->dictionary() != nullptr) {
    apply(*state->dictionary());
  }
  const Value* result = find(*fields, "result");
  return result != nullptr ? *result : Value();
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
      remote("crash");
      break;
    case End::kHang:
      remote("hang");
      break;
  }
  return true;
}

// What expectations and the state read of a process, as the separate process reports it.
Dictionary Process::snapshot() const {
  Array alerts;
  for (const Alert& alert : alerts_) {
    alerts.emplace_back(Array{Value(alert.title), Value(alert.message), Value(alert.button), Value(alert.dismissed)});
  }
  Dictionary state = {{"alerts", Value(std::move(alerts))},
                      {"log", Value(texts(log_))},
                      {"hooks", Value(texts(installedHooks_))},
                      {"reads", Value(static_cast<std::int64_t>(preferenceReads_))},
                      {"suspended", Value(suspended_)},
                      {"keyboardShown", Value(ui_->keyboardShown)},
                      {"pending", Value(static_cast<std::int64_t>(mainQueue_.size()))},
                      {"inputMode", optional(ui_->currentInputMode)}};
  if (lastSwitcherList_) {
    state.emplace("switcher", *lastSwitcherList_ ? Value(Array{Value(texts(**lastSwitcherList_))}) : Value(Array{}));
  }
  if (lastLabel_) state.emplace("label", optional(*lastLabel_));
  return state;
}

void Process::apply(const Dictionary& state) {
  alerts_.clear();
  if (const Value* alerts = find(state, "alerts"); alerts != nullptr && alerts->array() != nullptr) {
    for (const Value& alert : *alerts->array()) {
      const Array* f = alert.array();
      if (f == nullptr || f->size() != 4) continue;
      alerts_.push_back(Alert{textAt(*f, 0), textAt(*f, 1), textAt(*f, 2), (*f)[3] == Value(true)});
    }
  }
  log_ = textsOf(find(state, "log"));
  installedHooks_ = textsOf(find(state, "hooks"));
  const Value* reads = find(state, "reads");
  preferenceReads_ = reads != nullptr ? static_cast<std::size_t>(integerAt(Array{*reads}, 0)) : 0;
  suspended_ = find(state, "suspended") != nullptr && *find(state, "suspended") == Value(true);
  ui_->keyboardShown = find(state, "keyboardShown") != nullptr && *find(state, "keyboardShown") == Value(true);
  const Value* pending = find(state, "pending");
  separatePending_ = pending != nullptr ? static_cast<std::size_t>(integerAt(Array{*pending}, 0)) : 0;
  ui_->currentInputMode = optionalText(find(state, "inputMode"));
  if (const Value* switcher = find(state, "switcher")) {
    const Array* list = switcher->array();
    lastSwitcherList_ =
        list != nullptr && !list->empty() ? platform::StringList(textsOf(&list->front())) : platform::StringList();
  } else {
    lastSwitcherList_.reset();
  }
  if (const Value* label = find(state, "label")) {
    lastLabel_ = optionalText(label);
  } else {
    lastLabel_.reset();
  }
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
  channel->setHandler(
      [self](const std::string& method, const Array& arguments) { return self->serve(method, arguments); });
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

Value Process::serve(const std::string& method, const Array& arguments) {
  Value result;
  const std::string text = textAt(arguments, 0);
  if (method == "boot") {
    boot();
  } else if (method == "runOneTask") {
    result = Value(runOneTask());
  } else if (method == "observesDarwin") {
    result = Value(observesDarwin(text));
  } else if (method == "queueDarwinDelivery") {
    queueDarwinDelivery(text);
  } else if (method == "observesDistributed") {
    result = Value(observesDistributed(text));
  } else if (method == "queueDistributedDelivery") {
    queueDistributedDelivery(platform::Notification{text, userInfoAt(arguments, 1)});
  } else if (method == "suspend") {
    result = Value(suspend());
  } else if (method == "resume") {
    result = Value(resume());
  } else if (method == "showKeyboard") {
    showKeyboard();
  } else if (method == "hideKeyboard") {
    hideKeyboard();
  } else if (method == "tapKey") {
    result = Value(tapKey(text));
  } else if (method == "tapNowhere") {
    tapNowhere();
  } else if (method == "nextKeyboardStep") {
    nextKeyboardStep();
  } else if (method == "askSwitcherList") {
    askSwitcherList();
  } else if (method == "askLabel") {
    result = Value(askLabel(text));
  } else if (method == "unlock") {
    result = Value(unlock());
  } else if (method == "dismissAlert") {
    result = Value(dismissAlert());
  } else if (method == "flushAllPreferences") {
    flushAllPreferences();
  } else if (method == "fireActivatorEvent") {
    result = Value(fireActivatorEvent(text));
  } else if (method == "askActivatorListener") {
    result = optional(askActivatorListener(text, textAt(arguments, 1), textAt(arguments, 2)));
  } else if (method == "crash") {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);  // no core file for a crash asked for
    std::abort();
  } else if (method == "hang") {
    for (;;) ::pause();
  } else if (method == "keyboards" || method == "icons") {
    device_.adopt(method, arguments);
  } else {
    throw ChannelClosed("the device made an unknown call: " + method);
  }
  return Value(Dictionary{{"result", std::move(result)}, {"state", Value(snapshot())}});
}

bool Process::fireActivatorEvent(const std::string& name) {
  if (separate_) return remote("fireActivatorEvent", {Value(name)}) == Value(true);
  return sim::fireActivatorEvent(*this, name);
}

std::optional<std::string> Process::askActivatorListener(const std::string& name, const std::string& what,
                                                         const std::string& argument) {
  if (separate_) {
    const Value answer = remote("askActivatorListener", {Value(name), Value(what), Value(argument)});
    return optionalText(&answer);
  }
  return sim::askActivatorListener(*this, name, what, argument);
}

}  // namespace orvane::sim
