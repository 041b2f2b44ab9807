// The clients of a booted device, by name: `send`, `log`, `screenshot`, `report`, and `run` and
// `serve` with --device. Each speaks HTTP over the device's door (cli/devices/client.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <sstream>

#include "cli/devices/client.h"
#include "cli/devices/places.h"
#include "cli/language/command_table.h"
#include "cli/program.h"
#include "cli/shell.h"

namespace orvane::cli {

namespace fs = std::filesystem;

namespace {

// What a request may carry: the server takes bodies of 16 KiB at most, so longer text goes in
// parts cut at line ends.
constexpr std::size_t kPart = std::size_t{12} * 1024;

// The booted device the command names (its first word), or nothing with the reason said.
std::optional<devices::Places> namedDevice(const std::string& command, const std::string& name) {
  try {
    return devices::bootedDevice(name);
  } catch (const std::exception& e) {
    std::cerr << "orvane-sim " << command << ": " << e.what() << "\n";
    return std::nullopt;
  }
}

// The query that carries the trace's format and filters.
std::string traceQuery(const OutputOptions& output) {
  std::string q = std::string("format=") + (output.format == TraceFormat::kJson   ? "json"
                                            : output.format == TraceFormat::kNone ? "none"
                                                                                  : "text");
  std::string only;
  for (const std::string& kind : output.only) only += (only.empty() ? "" : ",") + kind;
  if (!only.empty()) q += "&only=" + devices::queryValue(only);
  if (output.process) q += "&process=" + devices::queryValue(*output.process);
  if (output.color.value_or(false)) q += "&color=1";
  return q;
}

int numberIn(const std::string& json, std::string_view key) {
  const std::string text = devices::jsonMember(json, key).value_or("");
  int n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  return n;
}

// What lines sent came to.
struct SendResult {
  int status = 0;
  int expectations = 0;
  int failed = 0;
};

// Sends `text` (lines of `file`, or of "send") in parts; prints what each part did as it comes. A
// part that stops at a bad line stops the rest.
SendResult sendLines(const devices::Places& device, const std::string& text, const std::string& file,
                     const OutputOptions& output) {
  SendResult result;
  std::size_t at = 0;
  int line = 1;
  while (at < text.size()) {
    std::size_t end = std::min(text.size(), at + kPart);
    if (end < text.size()) {
      const std::size_t cut = text.rfind('\n', end - 1);
      end = cut != std::string::npos && cut >= at ? cut + 1 : end;
    }
    const std::string part = text.substr(at, end - at);
    std::string target = "/api/send?" + traceQuery(output);
    if (!file.empty()) target += "&file=" + devices::queryValue(file) + "&first=" + std::to_string(line);
    const devices::Answer answer = devices::request(device.socket.string(), "POST", target, part);
    if (answer.status != 200) {
      std::cerr << "orvane-sim: " << device.name << ": " << answer.refusal() << "\n";
      result.status = 2;
      return result;
    }
    std::cout << devices::jsonMember(answer.body, "out").value_or("") << std::flush;
    std::cerr << devices::jsonMember(answer.body, "err").value_or("") << std::flush;
    result.status = std::max(result.status, numberIn(answer.body, "status"));
    result.expectations += numberIn(answer.body, "expectations");
    result.failed += numberIn(answer.body, "failed");
    if (result.status == 2) break;
    line += static_cast<int>(std::count(part.begin(), part.end(), '\n'));
    at = end;
  }
  return result;
}

// SIGINT and SIGTERM as a descriptor that becomes readable: the command ends cleanly on either.
int stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

// The page's door of the device, opened for this command (at `port`: 0 any); its address and the
// hold to give back, or nothing with the reason said.
struct Door {
  std::string address;
  std::string holder;
};
std::optional<Door> openDoor(const std::string& command, const devices::Places& device, int port) {
  const devices::Answer answer =
      devices::request(device.socket.string(), "POST", "/api/door?port=" + std::to_string(port));
  if (answer.status != 200) {
    std::cerr << "orvane-sim " << command << ": " << device.name << ": " << answer.refusal() << "\n";
    return std::nullopt;
  }
  return Door{devices::jsonMember(answer.body, "address").value_or(""),
              devices::jsonMember(answer.body, "holder").value_or("")};
}
void closeDoor(const devices::Places& device, const Door& door) {
  devices::request(device.socket.string(), "POST", "/api/door?release=" + devices::queryValue(door.holder), "",
                   std::chrono::seconds(5));
}

}  // namespace

int sendCommand(const Options& options) {
  if (options.inputs.size() < 2) {
    std::cerr << "orvane-sim send: name a device and the lines to run (or '-' for standard input)\n";
    return 2;
  }
  const auto device = namedDevice("send", options.inputs.front());
  if (!device) return 2;
  std::string text;
  if (options.inputs.size() == 2 && options.inputs[1] == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    for (std::size_t i = 1; i < options.inputs.size(); ++i) {
      if (options.inputs[i].find('\n') != std::string::npos) {
        std::cerr << "orvane-sim send: each LINE is one line: '" << options.inputs[i] << "' holds several\n";
        return 2;
      }
      text += options.inputs[i] + "\n";
    }
  }
  return finish(sendLines(*device, text, "", options.output).status);
}

int runOnDevice(const Options& options, const std::vector<std::string>& files) {
  const auto device = namedDevice("run", *options.device);
  if (!device) return 2;
  const auto started = std::chrono::steady_clock::now();
  Output output(std::cout, std::cerr, options.output);
  Tally tally;
  int worst = 0;
  for (const std::string& file : files) {
    std::string text;
    std::string error;
    if (!readScenario(file, text, error)) {
      std::cerr << "orvane-sim run: " << error << "\n";
      ++tally.errorFiles;
      worst = 2;
      continue;
    }
    const SendResult sent = sendLines(*device, text, file == "-" ? "stdin" : file, options.output);
    std::cout.flush();
    if (files.size() > 1 || options.output.format == TraceFormat::kJson) {
      output.fileResult(file, sent.status, sent.expectations, sent.failed);
    }
    tally.expectations += sent.expectations;
    tally.failed += sent.failed;
    ++(sent.status == 0 ? tally.passed : sent.status == 1 ? tally.failedFiles : tally.errorFiles);
    worst = std::max(worst, sent.status);
    if (sent.status != 0 && options.failFast) break;
  }
  output.summary(tally, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return finish(worst, &output);
}

int logCommand(const Options& options) {
  if (options.inputs.size() != 1) {
    std::cerr << "orvane-sim log: name one device\n";
    return 2;
  }
  const auto device = namedDevice("log", options.inputs.front());
  if (!device) return 2;
  const std::string socket = device->socket.string();
  std::uint64_t since = 0;
  int stop = -1;
  // Prints the events since `since`; false when the device did not answer (or Ctrl-C came first).
  const auto print = [&]() {
    const devices::Answer answer =
        devices::request(socket, "GET", "/api/log?since=" + std::to_string(since) + "&" + traceQuery(options.output),
                         "", std::chrono::minutes(10), stop);
    if (answer.status != 200) return false;
    if (const int missed = numberIn(answer.body, "missed"); missed > 0) {
      std::cerr << "orvane-sim log: " << missed << " events came and went before they could be printed\n";
    }
    std::cout << devices::jsonMember(answer.body, "out").value_or("") << std::flush;
    const std::string next = devices::jsonMember(answer.body, "next").value_or("0");
    std::from_chars(next.data(), next.data() + next.size(), since);
    return true;
  };
  if (!print()) {
    std::cerr << "orvane-sim log: " << device->name << " did not answer\n";
    return 2;
  }
  if (!options.follow) return finish(0);
  // The device names its event count each time it grows; what came since is asked for then.
  stop = stopSignals();
  std::string error;
  const bool followed = devices::follow(
      socket, "/api/events",
      [&](const std::string& data) {
        std::uint64_t count = 0;
        std::from_chars(data.data(), data.data() + data.size(), count);
        return count <= since || print();
      },
      stop, error);
  if (!followed) std::cerr << "orvane-sim log: " << error << "\n";
  if (stop >= 0) ::close(stop);
  return finish(followed ? 0 : 2);
}

int reportCommand(const Options& options) {
  if (options.inputs.size() != 2) {
    std::cerr << "orvane-sim report: name a device and the FILE to write ('-': standard output)\n";
    return 2;
  }
  const auto device = namedDevice("report", options.inputs.front());
  if (!device) return 2;
  const devices::Answer answer = devices::request(device->socket.string(), "GET", "/api/report");
  if (answer.status != 200) {
    std::cerr << "orvane-sim report: " << device->name << ": " << answer.refusal() << "\n";
    return 2;
  }
  const std::string& file = options.inputs[1];
  if (file == "-") {
    std::cout << answer.body;
    return finish(0);
  }
  std::string error;
  if (!writeFile(file, answer.body, error)) {
    std::cerr << "orvane-sim report: " << error << "\n";
    return 2;
  }
  std::cerr << "orvane-sim: the report is in " << file << "\n";
  return 0;
}

int screenshotCommand(const Options& options) {
  if (options.inputs.size() != 2) {
    std::cerr << "orvane-sim screenshot: name a device and the PNG FILE to write\n";
    return 2;
  }
  const auto browser = headlessChromium();
  if (!browser) {
    std::cerr << "orvane-sim screenshot: the phone is drawn by its page in a headless Chromium, and none is on the\n"
                 "path: install the package chromium (apt-get install chromium)\n";
    return 2;
  }
  const auto device = namedDevice("screenshot", options.inputs.front());
  if (!device) return 2;
  const fs::path file = fs::absolute(options.inputs[1]);
  const auto door = openDoor("screenshot", *device, 0);
  if (!door) return 2;
  // The browser is sent to the page by a file only this user may read: the token never stands on
  // a command line, which every user of the machine may read.
  const fs::path folder = devices::doorsFolder(true);
  const std::string own = device->name + "-screenshot-" + std::to_string(::getpid());
  const fs::path redirect = folder / (own + ".html");
  std::string error;
  const bool written =
      writeFile(redirect.string(),
                "<!DOCTYPE html><meta charset=utf-8><meta http-equiv=refresh content=\"0;url=" + door->address +
                    "&view=phone\">\n",
                error);
  ::chmod(redirect.c_str(), 0600);
  int status = 2;
  if (!written) {
    std::cerr << "orvane-sim screenshot: " << error << "\n";
  } else if (drawPageAsPng(*browser, redirect, file, folder / (own + "-browser"))) {
    std::cerr << "orvane-sim: the phone is in " << file.string() << "\n";
    status = 0;
  } else {
    std::cerr << "orvane-sim screenshot: " << browser->string() << " did not write " << file.string() << "\n";
  }
  std::error_code ec;
  fs::remove(redirect, ec);
  closeDoor(*device, *door);
  return status;
}

namespace {

// A shell on a booted device: its lines are sent there; help, save and source are the shell's own.
class DeviceShell {
 public:
  DeviceShell(const devices::Places& device, const Options& options) : device_(device), options_(options) {}

  // What completes a process's or a keyboard's name: what the device runs and has now.
  std::vector<std::string> words(const std::vector<std::string>& before) const {
    std::vector<std::string> processes;
    std::vector<std::string> keyboards;
    const devices::Answer info =
        devices::request(device_.socket.string(), "GET", "/api/info", "", std::chrono::seconds(2));
    for (const std::string& p : devices::jsonItems(devices::jsonMember(info.body, "processes").value_or(""))) {
      const std::string name = devices::jsonMember(p, "name").value_or("");
      processes.push_back(name == "SpringBoard" ? "springboard" : name);
    }
    for (const std::string& k : devices::jsonItems(devices::jsonMember(info.body, "keyboards").value_or(""))) {
      keyboards.push_back(devices::jsonText(k).value_or(""));
    }
    return shellCompletions(processes, keyboards, before);
  }

  // One line typed; false for quit.
  bool line(const std::string& line) {
    std::istringstream words(line);
    const std::vector<std::string> word{std::istream_iterator<std::string>(words),
                                        std::istream_iterator<std::string>()};
    const std::string first = word.empty() ? "" : word[0];
    if (first == "quit" || first == "exit") return false;
    if (first == "help") {
      std::cout << (word.size() > 1 ? commandHelp(word[1]) : commandHelp());
    } else if (first == "reset") {
      std::cerr << "reset: " << device_.name << " is a booted device, and stays as it is (orvane-sim shutdown "
                << device_.name << ", then orvane-sim erase " << device_.name << ", starts it anew)\n";
    } else if ((first == "save" || first == "source") && word.size() != 2) {
      std::cerr << first << " takes FILE\n";
      anyFailed_ = true;
    } else if (first == "save") {
      save(word[1]);
    } else if (first == "source") {
      std::string text;
      std::string error;
      if (readScenario(word[1], text, error)) {
        send(text, word[1]);
      } else {
        std::cerr << "source: " << error << "\n";
        anyFailed_ = true;
      }
    } else if (!first.empty() && send(line + "\n", "") == 0) {
      kept_.push_back(line);
    }
    return true;
  }

  int end() const { return finish(anyFailed_ ? 1 : 0); }

 private:
  int send(const std::string& text, const std::string& file) {
    const SendResult sent = sendLines(device_, text, file, options_.output);
    anyFailed_ = anyFailed_ || sent.status != 0;
    return sent.status;
  }

  void save(const std::string& file) {
    if (!saveLines(file, "A session of orvane-sim shell on the device " + device_.name + ".", kept_)) {
      anyFailed_ = true;
    }
  }

  const devices::Places& device_;
  const Options& options_;
  std::vector<std::string> kept_;  // the lines that ran and held: what `save` writes
  bool anyFailed_ = false;
};

}  // namespace

int shellOnDevice(const Options& options) {
  const auto device = namedDevice("shell", *options.device);
  if (!device) return 2;
  DeviceShell shell(*device, options);
  LineReader reader([&shell](const std::vector<std::string>& before) { return shell.words(before); }, historyPath());
  if (reader.interactive()) catchInterrupts();
  while (const auto line = reader.read("orvane> ")) {
    if (!shell.line(*line)) break;
  }
  return shell.end();
}

int serveOnDevice(const Options& options) {
  const auto device = namedDevice("serve", *options.device);
  if (!device) return 2;
  const int stop = stopSignals();
  const auto door = openDoor("serve", *device, options.port);
  if (!door) return 2;
  std::cout << door->address << '\n'
            << "Open that address in a browser on this machine; Ctrl-C closes the page's door (the device stays "
               "booted).\n"
            << std::flush;
  // Until Ctrl-C, or the device's end (its event stream closes).
  std::string error;
  devices::follow(
      device->socket.string(), "/api/events", [](const std::string&) { return true; }, stop, error);
  closeDoor(*device, *door);
  if (stop >= 0) ::close(stop);
  return 0;
}

}  // namespace orvane::cli
