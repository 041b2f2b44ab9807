#include "sim/device/device.h"

#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "sim/device/process_calls.h"
#include "sim/standins/locale.h"

namespace orvane::sim {

Device::Device(std::filesystem::path root, Storage storage)
    : root_(std::move(root)), storage_(storage), store_(makeFileStore(root_, storage)), preferences_(files_) {}

Device::~Device() {
  // Applications end before SpringBoard, the last started first.
  while (!processes_.empty()) processes_.pop_back();
}

void Device::setActivatorInstalled(bool installed) {
  const std::string path(platform::names::kActivatorLibraryPath);
  if (installed) {
    files_.writeAtomically(path, "simulated Activator library\n");
  } else {
    files_.remove(path);
  }
  trace_.add("device", "activator", {{"installed", installed ? "yes" : "no"}});
}

bool Device::activatorInstalled() const { return files_.exists(platform::names::kActivatorLibraryPath); }

bool Device::setKeyboards(const std::vector<std::string>& identifiers) {
  std::vector<Keyboard> keyboards;
  keyboards.reserve(identifiers.size());
  for (const std::string& identifier : identifiers) keyboards.push_back({identifier, std::nullopt});
  return setKeyboards(keyboards);
}

bool Device::setKeyboards(const std::vector<Keyboard>& keyboards) {
  Array stored;
  Array shown;
  Array names;
  for (const Keyboard& k : keyboards) {
    shown.emplace_back(k.identifier);
    if (k.identifier != kNoIdentifier) stored.emplace_back(k.identifier);
    names.emplace_back(k.identifier == kNoIdentifier ? std::string(kNoIdentifier)
                                                     : k.displayName.value_or(keyboardDisplayName(k.identifier)));
  }
  Trace::Fields fields = {{"list", FieldValue::of(Value(std::move(shown)))},
                          {"displayNames", FieldValue::of(Value(std::move(names)))}};
  const auto result =
      preferences_.set(platform::names::kAppleKeyboardsKey, Value(std::move(stored)), kGlobalPreferencesDomain);
  traceMovedAside(result, kGlobalPreferencesDomain);
  if (!result.written) {
    trace_.add("device", "keyboards-failed", std::move(fields));
    return false;
  }
  activeInputModes_.clear();
  ++keyboardsGeneration_;
  for (const Keyboard& k : keyboards) {
    if (k.identifier == kNoIdentifier) {
      activeInputModes_.push_back(InputMode{std::nullopt, std::nullopt});
    } else {
      activeInputModes_.push_back(
          InputMode{k.identifier, k.displayName ? k.displayName : platform::String(keyboardDisplayName(k.identifier))});
    }
  }
  trace_.add("device", "keyboards", std::move(fields));
  tellSeparateProcessesKeyboards();
  return true;
}

void Device::traceMovedAside(const PreferenceStore::Write& write, std::string_view domain, std::string_view who) {
  if (write.movedAside) {
    trace_.add(std::string(who), "pref-moved-aside", {{"domain", std::string(domain)}, {"to", *write.movedAside}});
  }
}

std::optional<Value> Device::preferenceValue(std::string_view key, std::string_view domain) {
  if (parent_ != nullptr) {
    return callOver<ProcessToDevice, &DeviceSide::preferenceValue>(*parent_, std::string(key), std::string(domain));
  }
  // A value is handed over as it was read, what it shares still shared, as CoreFoundation's reader
  // hands it over: however large it would be written out, a reader of other keys pays nothing for it.
  return preferences_.copy(key, domain);
}

Dictionary Device::preferenceDomain(std::string_view domain) {
  if (parent_ != nullptr) {
    return callOver<ProcessToDevice, &DeviceSide::preferenceDomain>(*parent_, std::string(domain));
  }
  return preferences_.read(domain);
}

bool Device::writePreference(std::string_view who, std::string_view key, const std::optional<Value>& value,
                             std::string_view domain) {
  if (parent_ != nullptr) {
    return callOver<ProcessToDevice, &DeviceSide::writePreference>(*parent_, std::string(who), std::string(key), value,
                                                                   std::string(domain));
  }
  const auto result = preferences_.set(key, value, domain);
  traceMovedAside(result, domain, who);
  trace_.add(std::string(who), result.written ? "pref-write" : "pref-write-failed",
             {{"domain", std::string(domain)},
              {"key", std::string(key)},
              {"value", value ? FieldValue::of(*value) : "(removed)"}});
  return result.written;
}

void Device::adoptKeyboards(const std::vector<InputMode>& modes) {
  activeInputModes_ = modes;
  ++keyboardsGeneration_;
}

void Device::tellSeparateProcessesKeyboards() {
  if (!separateProcesses_) return;
  for (const auto& p : processes_) p->keyboardsChanged(activeInputModes_);
}

void Device::tellSeparateProcessesIcons() {
  if (!separateProcesses_) return;
  for (const auto& p : processes_) p->iconsChanged(appIcons_);
}

void Device::setAppIcon(const std::string& displayIdentifier, int size, IconKind kind) {
  appIcons_.insert_or_assign({displayIdentifier, size}, kind);
  tellSeparateProcessesIcons();
}

void Device::setSeparateProcesses(bool separate) {
  if (separate && storage_ == Storage::kInMemory)
    throw std::logic_error("processes of their own need the device's files on disk");
  separateProcesses_ = separate;
}

void Device::installLibrary(std::string path, platform::LibraryFactory factory) {
  files_.writeAtomically(path, kSimulatedLibrary);
  libraries_.push_back(InstalledLibrary{std::move(path), std::move(factory)});
}

bool Device::installSharedObject(std::string path, const std::filesystem::path& file) {
  // A file larger than one string or one read can hold (2 GiB on 32 bits) is refused, never copied
  // cut short: its size is the file system's, 64 bits on every target.
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  const std::uintmax_t most =
      std::min<std::uintmax_t>(std::string().max_size(), std::numeric_limits<std::streamsize>::max());
  if (error || size == 0 || size > most) return false;
  std::ifstream in(file, std::ios::binary);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(size)) || !files_.writeAtomically(path, bytes)) return false;
  libraries_.push_back(InstalledLibrary{std::move(path), nullptr});
  return true;
}

Process& Device::start(std::string_view bundleIdentifier, std::optional<int> applicationMainStatus) {
  if (Process* running = find(bundleIdentifier)) return *running;
  reap();
  if (processes_.size() >= kMaxProcesses) {
    throw std::runtime_error("the device runs at most " + std::to_string(kMaxProcesses) +
                             " processes at once: stop one first");
  }
  const int status = applicationMainStatus.value_or(applicationMainStatus_);
  if (separateProcesses_) {
    processes_.push_back(std::make_unique<RemoteProcess>(*this, std::string(bundleIdentifier), status));
  } else {
    // A runtime with one class table per OS process holds one simulated process: once one has run
    // here, its classes are there to stay, and another needs an OS process of its own.
    static bool heldOne = false;
    if (!processModel().classTablePerProcess && std::exchange(heldOne, true)) {
      throw std::runtime_error(
          "this program's runtime holds one simulated process and has held one already: on the real runtime "
          "every simulated process needs an OS process of its own (Device::setSeparateProcesses)");
    }
    processes_.push_back(std::make_unique<LocalProcess>(*this, std::string(bundleIdentifier), status));
  }
  // A process that cannot start (no OS process, no connection to it) is not left half made.
  Process& process = *processes_.back();
  try {
    process.boot();
  } catch (...) {
    processes_.pop_back();
    throw;
  }
  return process;
}

bool Device::stop(std::string_view bundleIdentifier) {
  auto it = std::find_if(processes_.begin(), processes_.end(),
                         [&](const auto& p) { return p->bundleIdentifier() == bundleIdentifier; });
  if (it == processes_.end()) return false;
  const std::string name = (*it)->name();
  // A process that ends writes what it set and never synchronized (assumed: see docs/device.md).
  (*it)->flushAllPreferences();
  processes_.erase(it);
  trace_.add(name, "stop");
  return true;
}

namespace {
// Whether any child of this OS process has ended, asked once and without reaping it.
bool anyChildEnded() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}
}  // namespace

void Device::reap() {
  // A process killed from outside is noticed here: each is asked only when some child has ended,
  // so a device of a hundred processes asks the system once a line, not a hundred times.
  if (separateProcesses_ && anyChildEnded()) {
    for (const auto& p : processes_) p->endedOutside();
  }
  std::erase_if(processes_, [](const auto& p) { return p->ended(); });
}

Process* Device::find(std::string_view bundleIdentifier) {
  for (const auto& p : processes_) {
    if (!p->ended() && p->bundleIdentifier() == bundleIdentifier) return p.get();
  }
  return nullptr;
}

void Device::postDarwin(const std::string& name, const Process* poster) {
  if (parent_ != nullptr) {
    if (poster != nullptr && !poster->observesDarwin(name)) {
      callOver<ProcessToDevice, &DeviceSide::announceDarwin>(*parent_, name);
    } else {
      callOver<ProcessToDevice, &DeviceSide::postDarwin>(*parent_, name);
    }
    return;
  }
  for (const auto& p : processes_) {
    if (!p->ended() && p->observesDarwin(name)) p->queueDarwinDelivery(name);
  }
}

void Device::postDistributed(Process& from, const platform::Notification& notification) {
  if (parent_ != nullptr) {
    if (from.observesDistributed(notification.name)) {
      callOver<ProcessToDevice, &DeviceSide::postDistributed>(*parent_, notification);
    } else {
      callOver<ProcessToDevice, &DeviceSide::announceDistributed>(*parent_, notification);
    }
    return;
  }
  Trace::Fields fields = {{"name", notification.name}};
  if (notification.userInfo) fields.emplace_back("userInfo", FieldValue::of(Value(*notification.userInfo)));
  from.trace("distributed-post", std::move(fields));
  for (const auto& p : processes_) {
    if (!p->ended() && p->observesDistributed(notification.name)) p->queueDistributedDelivery(notification);
  }
}

Device::RunResult Device::runUntilIdle(std::size_t maxTasks) {
  RunResult result;
  for (;;) {
    bool ranAny = false;
    // Index-based: a task may start no process, but it may post to any, so sizes are re-read.
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      if (interrupted_ && interrupted_()) {
        result.idle = false;
        trace_.add("device", "interrupted", {{"tasks", std::to_string(result.tasks)}});
        return result;
      }
      if (result.tasks == maxTasks) {
        result.idle = false;
        trace_.add("device", "runaway", {{"tasks", std::to_string(result.tasks)}});
        return result;
      }
      // A process with nothing queued is not asked: it would run nothing, and say nothing.
      if (!processes_[i]->ended() && processes_[i]->pendingTasks() > 0 && processes_[i]->runOneTask()) {
        ++result.tasks;
        ranAny = true;
      }
    }
    if (!ranAny) {
      reap();
      return result;
    }
  }
}

}  // namespace orvane::sim
