// `orvane-sim boot`, `list`, `shutdown` and `erase`: named devices that outlive the command, each
// with its folder kept between boots and a door (a Unix socket) its user's other commands reach it by.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli/devices/client.h"
#include "cli/devices/places.h"
#include "cli/http/http_server.h"
#include "cli/language/words.h"
#include "cli/live/front.h"
#include "cli/program.h"
#include "sim/trace/trace.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {

namespace fs = std::filesystem;
using devices::Places;
using devices::State;

namespace {

// A word of `boot` that names its set-up file rather than the device.
bool isSetUpFile(const std::string& word) {
  return word == "-" || word.ends_with(".scn") || word.find('/') != std::string::npos;
}

std::string now() {
  const std::time_t t = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// What a booted device writes to whoever booted it: "ok", or why it could not boot, and its status.
void tell(int fd, const std::string& what) {
  if (fd < 0) return;
  const std::string line = what + "\n";
  const ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
  http::keepInForkedChildren(fd);
  ::close(fd);
}

// The keyboards the device's preferences keep ("AppleKeyboards"): a device booted again has them.
std::vector<std::string> keptKeyboards(sim::Device& device) {
  std::vector<std::string> ids;
  const auto list = device.preferenceValue("AppleKeyboards", sim::kGlobalPreferencesDomain);
  if (const Array* array = list ? list->array() : nullptr) {
    for (const Value& each : *array) {
      if (const std::string* id = each.string()) ids.push_back(*id);
    }
  }
  return ids;
}

// The lines a boot runs: the set-up it was given; else, booted the first time, the live page's
// device; booted again, its kept keyboards (a phone keeps them across a restart) and SpringBoard.
std::string bootLines(const std::string& script, bool fresh, sim::Device& device) {
  if (!script.empty()) return script;
  if (fresh) return kLiveSetUp;
  std::string line = "keyboards";
  for (const std::string& id : keptKeyboards(device)) line += " " + sim::formatStringText(id);
  return (line != "keyboards" ? line + "\n" : "") + "start springboard\n";
}

// The booted device itself, in the process `boot` forked: it sets its device up, opens its door,
// tells `ready` so, and serves until it is shut down (SIGTERM, SIGINT or a client's shutdown).
int runBootedDevice(const Places& places, devices::Record record, const std::string& script,
                    const std::string& scriptName, const Options& options, int ready) {
  const bool fresh = record.version == 0;
  auto device = makeDevice(places.root, true, options);
  if (!fresh) device->setVersion(record.version);
  QuietSession live(*device);
  LiveSession& session = live.session;
  session.keepReport();
  const LiveSession::SetUp setUp =
      session.setUp(bootLines(script, fresh, *device), script.empty() ? "boot" : scriptName);
  if (setUp.status != 0) {
    tell(ready, std::to_string(setUp.status) + setUp.error);
    return setUp.status;
  }
  record.version = device->version();
  record.state = "booted";
  record.pid = ::getpid();
  record.socket = places.socket.string();
  record.booted = now();
  if (!devices::writeRecord(places, record)) {
    tell(ready, "2cannot write " + places.record.string());
    return 2;
  }
  Doors doors;
  doors.local = places.socket.string();
  doors.ready = [&ready] {
    tell(ready, "0");
    ready = -1;
  };
  // Every change the device keeps outside its files is in its record at once, so that a device
  // killed outright boots again as it was.
  doors.after = [&] {
    if (device->version() != record.version) {
      record.version = device->version();
      devices::writeRecord(places, record);
    }
  };
  const int status = serveDevice(session, doors, std::cout);
  if (ready >= 0) tell(ready, "2" + live.errors.str());
  ::unlink(places.socket.c_str());
  record.state = "shutdown";
  record.pid = 0;
  devices::writeRecord(places, record);
  std::cerr << now() << " shut down\n";
  return status;
}

// The runtime the device `name` last ran on; nothing when it has not run, or cannot be named.
std::optional<std::string> recordedRuntime(const std::string& name) {
  try {
    const auto record = devices::readRecord(devices::placesOf(name, false));
    if (record && !record->runtime.empty()) return record->runtime;
    return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;  // no folder for devices: `boot` says why
  }
}

// What `boot` was given: a name (the default when none) and a set-up file; false when it was given
// more, with that said.
bool bootWords(const Options& options, std::string& name, std::string& file) {
  name = devices::kDefaultName;
  bool named = false;
  for (const std::string& word : options.inputs) {
    if (isSetUpFile(word) ? !file.empty() : named) {
      std::cerr << "orvane-sim boot: one NAME and one set-up FILE at most\n";
      return false;
    }
    if (isSetUpFile(word)) {
      file = word;
    } else {
      name = word;
      named = true;
    }
  }
  if (const std::string error = devices::nameError(name); !error.empty()) {
    std::cerr << "orvane-sim boot: " << name << ": " << error << "\n";
    return false;
  }
  return true;
}

// The device forked by `boot`: out of the terminal's reach, in a session of its own, its messages
// in its log; it never returns to the caller's code but through main's end.
int becomeDevice(const Places& places, const devices::Record& record, const std::string& script,
                 const std::string& file, const Options& options, int ready) {
  ::setsid();
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int log = ::open(places.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
  }
  if (log >= 0) ::dup2(log, STDERR_FILENO);
  std::cerr << now() << " booting " << places.name << " (" << runtimeName() << " runtime, pid " << ::getpid() << ")\n";
  try {
    return runBootedDevice(places, record, script, file, options, ready);
  } catch (const std::exception& e) {
    tell(ready, std::string("2") + e.what());
    std::cerr << now() << " " << e.what() << "\n";
    return 2;
  }
}

// What the forked device said on `ready`: one line, "0" once it answers, or its status and why it
// did not boot; the boot's exit status, said.
int awaitBoot(int ready, pid_t child, const Places& places) {
  std::string said;
  char buffer[4096];
  for (ssize_t n; said.find('\n') == std::string::npos && (n = ::read(ready, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    said.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ready);
  if (!said.empty() && said.back() == '\n') said.pop_back();
  if (said == "0") {
    std::cout << places.name << ": booted (" << runtimeName() << " runtime, pid " << child
              << ")  unix:" << places.socket.string() << "\n";
    return finish(0);
  }
  ::waitpid(child, nullptr, 0);  // it did not come up: it has ended, or ends now
  std::cerr << "orvane-sim boot: " << places.name
            << " did not boot: " << (said.size() > 1 ? said.substr(1) : "it ended (see " + places.log.string() + ")")
            << "\n";
  return !said.empty() && said.front() == '1' ? 1 : 2;
}

}  // namespace

std::string deviceRuntime(const Options& options) {
  if (given(options, "runtime")) return options.runtime;
  std::string name;
  for (const std::string& word : options.inputs) {
    if (!isSetUpFile(word)) name = word;
  }
  if (name.empty()) name = devices::kDefaultName;
  if (!devices::nameError(name).empty()) return options.runtime;
  return recordedRuntime(name).value_or(options.runtime);
}

int bootCommand(const Options& options) {
  std::string name;
  std::string file;
  if (!bootWords(options, name, file)) return 2;
  std::string script;
  if (!file.empty()) {
    std::string error;
    if (!readScenario(file, script, error)) {
      std::cerr << "orvane-sim boot: " << error << "\n";
      return 2;
    }
  }
  const Places places = devices::placesOf(name, true);
  auto lock = devices::Lock::take(places);
  if (!lock) {
    std::cerr << "orvane-sim boot: the device " << name << " is booted already, at unix:" << places.socket.string()
              << "\n";
    return 2;
  }
  devices::Record record = devices::readRecord(places).value_or(devices::Record{});
  record.name = name;
  record.runtime = runtimeName();
  // The door of a device that ended without closing it: nothing holds the device's lock, so no
  // device listens there.
  std::error_code ec;
  if (fs::exists(fs::symlink_status(places.socket, ec))) {
    ::unlink(places.socket.c_str());
    std::cerr << "orvane-sim boot: removed the door " << places.socket.string() << " of " << name
              << ", which had ended\n";
  }
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    std::cerr << "orvane-sim boot: " << std::strerror(errno) << "\n";
    return 2;
  }
  std::cout.flush();
  std::cerr.flush();
  const pid_t child = ::fork();
  if (child < 0) {
    std::cerr << "orvane-sim boot: cannot start the device: " << std::strerror(errno) << "\n";
    return 2;
  }
  if (child == 0) {
    ::close(pipe[0]);
    http::closeInForkedChildren(pipe[1]);
    http::closeInForkedChildren(lock->fd());
    return becomeDevice(places, record, script, file, options, pipe[1]);
  }
  ::close(pipe[1]);
  return awaitBoot(pipe[0], child, places);
}

int listCommand(const Options& options) {
  const std::vector<std::string> names = devices::deviceNames();
  std::string json = "{\"devices\":[";
  if (!options.json) {
    std::cout << (names.empty() ? "No device: orvane-sim boot [NAME] makes one.\n"
                                : "NAME                STATE     RUNTIME  VERSION  PROCESSES\n");
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Places places = devices::placesOf(names[i], false);
    const State state = devices::stateOf(places);
    const devices::Record record = devices::readRecord(places).value_or(devices::Record{});
    std::string version = record.version > 0 ? sim::formatValueText(Value(record.version)) : "-";
    std::string processes = "[]";
    std::string processText;
    if (state == State::kBooted) {
      const devices::Answer info =
          devices::request(places.socket.string(), "GET", "/api/info", "", std::chrono::seconds(2));
      if (info.status == 200) {
        version = devices::jsonMember(info.body, "version").value_or(version);
        processes = devices::jsonMember(info.body, "processes").value_or("[]");
        for (const std::string& p : devices::jsonItems(processes)) {
          processText += (processText.empty() ? "" : ", ") + devices::jsonMember(p, "name").value_or("?");
        }
      } else {
        processText = "(busy)";
      }
    }
    const std::string stateText(devices::stateName(state));
    if (options.json) {
      json += std::string(i ? "," : "") + "{\"name\":" + sim::jsonString(names[i]) +
              ",\"state\":" + sim::jsonString(stateText) + ",\"runtime\":" + sim::jsonString(record.runtime) +
              ",\"version\":" + sim::jsonString(version) + ",\"processes\":" + processes +
              ",\"pid\":" + (state == State::kBooted ? std::to_string(record.pid) : "null") +
              ",\"folder\":" + sim::jsonString(places.folder.string()) +
              ",\"socket\":" + (state == State::kBooted ? sim::jsonString(places.socket.string()) : "null") + "}";
      continue;
    }
    const auto column = [](std::string text, std::size_t width) {
      return text.size() < width ? text + std::string(width - text.size(), ' ') : text + " ";
    };
    std::cout << column(names[i], 20) << column(stateText, 10) << column(record.runtime, 9) << column(version, 9)
              << processText << "\n    " << places.folder.string()
              << (state == State::kBooted ? "  unix:" + places.socket.string() : "") << "\n";
  }
  if (options.json) std::cout << json << "]}\n";
  return finish(0);
}

namespace {

// Waits until nothing holds the device's lock: it has ended. False after `wait`.
bool awaitEnd(const Places& places, std::chrono::seconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (devices::stateOf(places) == State::kBooted) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

int shutdownCommand(const Options& options) {
  std::vector<std::string> names = options.inputs;
  if (options.all != names.empty()) {
    std::cerr << "orvane-sim shutdown: name one device, or --all\n";
    return 2;
  }
  if (options.all) {
    for (const std::string& each : devices::deviceNames()) {
      if (devices::stateOf(devices::placesOf(each, false)) == State::kBooted) names.push_back(each);
    }
  }
  int status = 0;
  for (const std::string& name : names) {
    Places places;
    try {
      places = devices::bootedDevice(name);
    } catch (const std::exception& e) {
      std::cerr << "orvane-sim shutdown: " << e.what() << "\n";
      status = std::max(status, 1);
      continue;
    }
    const devices::Answer answer = devices::request(places.socket.string(), "POST", "/api/shutdown");
    if (answer.status != 200) {
      std::cerr << "orvane-sim shutdown: " << places.name << ": " << answer.refusal() << "\n";
      status = 2;
      continue;
    }
    if (!awaitEnd(places, std::chrono::seconds(60))) {
      std::cerr << "orvane-sim shutdown: " << places.name << " has not ended after a minute\n";
      status = 2;
      continue;
    }
    std::cout << places.name << ": shut down\n";
  }
  return finish(status);
}

int eraseCommand(const Options& options) {
  if (options.inputs.size() != 1) {
    std::cerr << "orvane-sim erase: name one device\n";
    return 2;
  }
  const std::string& name = options.inputs.front();
  if (const std::string error = devices::nameError(name); !error.empty()) {
    std::cerr << "orvane-sim erase: " << name << ": " << error << "\n";
    return 2;
  }
  const Places places = devices::placesOf(name, false);
  if (devices::stateOf(places) == State::kUnknown) {
    std::cerr << "orvane-sim erase: no device " << name << didYouMean(name, devices::deviceNames()) << "\n";
    return 2;
  }
  // Its lock, held while it is erased: a boot meanwhile waits for nothing and is refused.
  const auto lock = devices::Lock::take(places);
  if (!lock) {
    std::cerr << "orvane-sim erase: " << name << " is booted: orvane-sim shutdown " << name << " first\n";
    return 2;
  }
  std::error_code ec;
  fs::remove_all(places.root, ec);
  if (!ec) fs::create_directory(places.root, ec);
  if (ec) {
    std::cerr << "orvane-sim erase: cannot empty " << places.root.string() << ": " << ec.message() << "\n";
    return 2;
  }
  devices::Record record = devices::readRecord(places).value_or(devices::Record{});
  record.name = name;
  record.version = 0;
  record.state = "shutdown";
  record.pid = 0;
  devices::writeRecord(places, record);
  std::cout << name << ": erased\n";
  return finish(0);
}

}  // namespace orvane::cli
