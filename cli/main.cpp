// orvane-sim: a simulated device with the extension installed, driven by scenario scripts.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/cleanup.h"
#include "cli/command_table.h"
#include "cli/junit.h"
#include "cli/live.h"
#include "cli/option_table.h"
#include "cli/scenario.h"
#include "cli/shell.h"
#include "cli/words.h"
#include "rig/rig.h"
#include "sim/device/channel.h"
#include "sim/plist/value_text.h"
#include "sim/standins/ui.h"

namespace {

namespace fs = std::filesystem;
using orvane::cli::Output;
using orvane::cli::OutputOptions;
using orvane::cli::ScenarioRunner;
using orvane::cli::TraceFormat;

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif
constexpr const char* kVersion = "orvane-sim " ORVANE_VERSION;

constexpr const char* kUsage =
    "usage: orvane-sim COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  run FILE|FOLDER...   run scenario scripts (a folder: its *.scn files, in order), each on a fresh device\n"
    "  tour                 run the built-in tour of what the extension does\n"
    "  shell                type scenario commands (line editing, history and completion on a terminal)\n"
    "  serve [FILE]         use the device in a browser: a live page on this machine (docs/live.md)\n"
    "\n"
    "  --version            print the version\n"
    "\n"
    "Run 'orvane-sim COMMAND --help' for the options of a command.\n"
    "The scenario language is described in docs/scenarios.md (installed in share/doc/orvane).\n";

constexpr const char* kRunUsage =
    "usage: orvane-sim run [OPTIONS] FILE|FOLDER|-...\n"
    "\n"
    "Runs each scenario file on a fresh device with the extension installed ('-' reads standard\n"
    "input), printing the trace of every observable effect, each file's result and a summary.\n"
    "Exit status: 0 when every expectation held, 1 when one failed (or a run stopped at the runaway\n"
    "bound), 2 when a line could not be run or nothing was run.\n"
    "\n";

constexpr const char* kTourUsage =
    "usage: orvane-sim tour [OPTIONS]\n"
    "\n"
    "Walks through what the extension does on a simulated device, printing the trace.\n"
    "\n";

constexpr const char* kShellUsage =
    "usage: orvane-sim shell [OPTIONS]\n"
    "\n"
    "Reads scenario commands, one per line, and runs each at once on a device ('help' lists them).\n"
    "Exit status: 0 when every line ran and held, 1 otherwise.\n"
    "\n";

constexpr const char* kServeUsage =
    "usage: orvane-sim serve [OPTIONS] [FILE]\n"
    "\n"
    "Starts a device (set up by the scenario FILE, or with five keyboards, SpringBoard and an\n"
    "application), serves a page that draws it as a phone on the loopback address, and prints the\n"
    "page's address with its secret token. Every press on the page runs as scenario lines; 'Save as\n"
    "scenario' downloads them, with what the page showed as expectations. Ctrl-C stops it.\n"
    "\n";

// The device the live page starts on when no file sets one up.
constexpr const char* kLiveSetUp =
    "keyboards en_US@hw=US;sw=QWERTY fr_FR@sw=AZERTY de_DE emoji@sw=Emoji ru_RU\n"
    "activator installed\n"
    "start springboard\n"
    "start com.example.notes\n"
    "show-keyboard com.example.notes\n"
    "run\n"
    "label com.example.notes\n";

// The runtime this program runs processes on: orvane-sim is the fast runtime's command, and
// orvane-sim-objc, built beside it, the real runtime's.
#ifdef ORVANE_REAL_RUNTIME_COMMAND
constexpr const char* kRuntime = "objc";
constexpr const char* kOtherCommand = "orvane-sim";
#else
constexpr const char* kRuntime = "fast";
constexpr const char* kOtherCommand = "orvane-sim-objc";
#endif

struct Options {
  OutputOptions output;
  std::vector<std::string> inputs;
  std::optional<fs::path> root;
  std::optional<std::string> junit;
  std::optional<std::string> stateJson;
  std::optional<std::string> report;
  bool failFast = false;
  bool durable = false;
  bool list = false;
  int jobs = 1;                       // -j: files run at once, each in a process of its own
  std::vector<std::string> patterns;  // -k: files whose name holds one of them
  std::string runtime = kRuntime;
  int port = 0;  // serve: 0 is any free port
  bool help = false;
  bool version = false;
  std::vector<const orvane::cli::OptionRow*> given;  // every option given, as the table names it
  std::string error;
};

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

// An option's value as a whole number from `low` to `high`; nothing for anything else.
std::optional<int> wholeNumber(std::string_view text, int low, int high) {
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high) return std::nullopt;
  return n;
}

// getopt_long's lists, made from the option table: a long option without a short name answers
// kLongOnly plus its row's place. The table's names are string literals, so each is a C string.
constexpr int kLongOnly = 1000;
struct GetoptLists {
  std::string shortOptions = ":";
  std::vector<option> longOptions;
};
const GetoptLists& getoptLists() {
  static const GetoptLists lists = [] {
    GetoptLists out;
    const auto rows = orvane::cli::optionRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& row = rows[i];
      const int argument = row.value.empty() ? no_argument : required_argument;
      if (row.shortName != 0) out.shortOptions += std::string(1, row.shortName) + (row.value.empty() ? "" : ":");
      if (row.name.empty()) continue;
      out.longOptions.push_back(
          {row.name.data(), argument, nullptr, row.shortName != 0 ? row.shortName : kLongOnly + int(i)});
    }
    out.longOptions.push_back({nullptr, 0, nullptr, 0});
    return out;
  }();
  return lists;
}

// The row getopt_long answered with; nullptr for an unknown option or a missing value.
const orvane::cli::OptionRow* givenRow(int c) {
  const auto rows = orvane::cli::optionRows();
  if (c >= kLongOnly && c < kLongOnly + int(rows.size())) return &rows[std::size_t(c - kLongOnly)];
  for (const auto& row : rows) {
    if (row.shortName != 0 && row.shortName == c) return &row;
  }
  return nullptr;
}

// Takes one option's value into `options`: `name` is how the table writes it ("--trace", "-k").
void takeOption(Options& options, const std::string& name, const char* value, bool& quiet, bool& colorGiven) {
  const std::string text = value != nullptr ? value : "";
  if (name == "--trace") {
    if (text == "text") {
      options.output.format = TraceFormat::kText;
    } else if (text == "json") {
      options.output.format = TraceFormat::kJson;
    } else {
      options.error = "--trace takes text or json, not '" + text + "'";
    }
  } else if (name == "--quiet") {
    quiet = true;
  } else if (name == "--help") {
    options.help = true;
  } else if (name == "--version") {
    options.version = true;
  } else if (name == "--only") {
    for (const std::string& kind : splitCommas(text)) options.output.only.insert(kind);
  } else if (name == "--process") {
    options.output.process = text;
  } else if (name == "--root") {
    options.root = fs::path(text);
  } else if (name == "--junit") {
    options.junit = text;
  } else if (name == "--fail-fast") {
    options.failFast = true;
  } else if (name == "--state-json") {
    options.stateJson = text;
  } else if (name == "--report") {
    options.report = text;
  } else if (name == "--durable") {
    options.durable = true;
  } else if (name == "--list") {
    options.list = true;
  } else if (name == "-k") {
    options.patterns.push_back(text);
  } else if (name == "-j") {
    if (const auto jobs = wholeNumber(text, 1, 256)) {
      options.jobs = *jobs;
    } else {
      options.error = "-j takes a number of files from 1 to 256, not '" + text + "'";
    }
  } else if (name == "--color") {
    if (text == "always") {
      options.output.color = true;
    } else if (text == "never") {
      options.output.color = false;
    } else if (text != "auto") {
      options.error = "--color takes auto, always or never, not '" + text + "'";
    }
    colorGiven = true;
  } else if (name == "--port") {
    if (const auto port = wholeNumber(text, 0, 65535)) {
      options.port = *port;
    } else {
      options.error = "--port takes a port from 0 to 65535, not '" + text + "'";
    }
  } else if (name == "--runtime") {
    options.runtime = text;
    if (options.runtime != "fast" && options.runtime != "objc") {
      options.error = "--runtime takes fast or objc, not '" + options.runtime + "'";
    }
  } else {
    throw std::logic_error("the option " + name + " is in the table but not taken");
  }
}

Options parseOptions(int argc, char** argv) {
  const GetoptLists& lists = getoptLists();
  Options options;
  bool quiet = false;
  bool colorGiven = false;
  opterr = 0;
  optind = 2;  // after the command
  for (;;) {
    const int c = getopt_long(argc, argv, lists.shortOptions.c_str(), lists.longOptions.data(), nullptr);
    if (c == -1) break;
    // getopt_long has moved past the option it complains about (and may have reordered argv).
    std::string given = optind - 1 < argc ? argv[optind - 1] : "";
    if (c == ':') {
      const auto* row = givenRow(optopt);
      if (row != nullptr) given = orvane::cli::optionName(*row);
      options.error = "option " + given + " needs a value";
      continue;
    }
    const auto* row = givenRow(c);
    if (row == nullptr) {
      std::vector<std::string> names;
      for (const auto& each : orvane::cli::optionRows()) names.push_back(orvane::cli::optionName(each));
      options.error = "unknown option " + given + orvane::cli::didYouMean(given.substr(0, given.find('=')), names);
      continue;
    }
    options.given.push_back(row);
    takeOption(options, orvane::cli::optionName(*row), optarg, quiet, colorGiven);
  }
  for (int i = optind; i < argc; ++i) options.inputs.emplace_back(argv[i]);
  if (quiet && options.output.format == TraceFormat::kText) options.output.format = TraceFormat::kNone;
  // --color=auto (the default): on a terminal, unless NO_COLOR is set (https://no-color.org).
  if (!colorGiven || !options.output.color.has_value()) {
    const char* noColor = std::getenv("NO_COLOR");
    options.output.color = ::isatty(STDOUT_FILENO) != 0 && (noColor == nullptr || *noColor == '\0');
  }
  return options;
}

// The folder a device lives in: a temporary one, removed on every way out, or the one the user
// named, kept (a marker file says it is a device folder, so that --root never empties anything
// else).
class DeviceFolder {
 public:
  static constexpr const char* kMarker = ".orvane-device";

  explicit DeviceFolder(const std::optional<fs::path>& root) {
    if (!root) {
      const std::string where = orvane::rig::temporaryFolder().string();
      struct stat st {};
      std::string reason;
      if (::stat(where.c_str(), &st) != 0) {
        reason = std::strerror(errno);
      } else if (!S_ISDIR(st.st_mode)) {
        reason = "not a folder";
      } else {
        const orvane::cli::SignalsHeld held;
        try {
          temporary_.emplace();
          orvane::cli::removeOnSignal(temporary_->path());
        } catch (const std::exception&) {
          reason = std::strerror(errno);
        }
      }
      if (!reason.empty()) throw std::runtime_error("cannot make a device folder in " + where + " (TMPDIR): " + reason);
      path_ = temporary_->path();
      return;
    }
    path_ = *root;
    std::error_code ec;
    fs::create_directories(path_, ec);
    if (!fs::is_directory(path_)) throw std::runtime_error("--root " + path_.string() + " is not a folder");
    const bool empty = fs::is_empty(path_, ec);
    if (!empty && !fs::exists(path_ / kMarker)) {
      throw std::runtime_error("--root " + path_.string() + " is not empty and not a device folder");
    }
    // The folder belongs to one run: a lock on it, held until this run ends (the system drops it
    // however the run ends), refuses a second run before it could empty the first one's device.
    lock_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
      const std::string reason = errno == EWOULDBLOCK ? "another orvane-sim is using it" : std::strerror(errno);
      if (lock_ >= 0) ::close(lock_);
      lock_ = -1;
      throw std::runtime_error("--root " + path_.string() + " is in use: " + reason);
    }
    // A device folder from an earlier run is emptied: every run starts on a fresh device.
    for (const auto& entry : fs::directory_iterator(path_)) fs::remove_all(entry.path());
    std::ofstream(path_ / kMarker) << "a simulated device of orvane-sim\n";
  }
  ~DeviceFolder() {
    if (lock_ >= 0) ::close(lock_);
    if (!temporary_) return;
    const orvane::cli::SignalsHeld held;
    temporary_.reset();
    orvane::cli::forget(path_);
  }
  DeviceFolder(const DeviceFolder&) = delete;
  DeviceFolder& operator=(const DeviceFolder&) = delete;

  const fs::path& path() const { return path_; }
  bool kept() const { return !temporary_; }

 private:
  std::optional<orvane::rig::TemporaryRoot> temporary_;
  fs::path path_;
  int lock_ = -1;  // the kept folder's lock, for this run's life
};

std::unique_ptr<orvane::sim::Device> makeDevice(const DeviceFolder& folder, const Options& options) {
  using orvane::rig::Files;
#ifdef ORVANE_REAL_RUNTIME_COMMAND
  // On the real runtime every simulated process is an OS process of its own, which reads and
  // writes the device's files itself: they are on disk.
  constexpr Files kThrowaway = Files::kOnDisk;
#else
  // A throwaway device on this runtime keeps its files in memory: every process is this one, and
  // nothing reads them after the run.
  constexpr Files kThrowaway = Files::kInMemory;
#endif
  // A kept folder and --durable keep the files on disk, each write flushed.
  auto device = orvane::rig::makeDevice(folder.path(), options.durable || folder.kept() ? Files::kDurable : kThrowaway);
#ifdef ORVANE_REAL_RUNTIME_COMMAND
  device->setSeparateProcesses(true);
#endif
  // The runner and the output take every event as it happens; the device keeps no history of them.
  device->trace().setRecording(false);
  return device;
}

// The scenario files to run, in order: files as given ('-' is standard input), a folder's *.scn
// files sorted by name. Nothing to run is an error.
std::vector<std::string> scenarioFiles(const std::vector<std::string>& inputs, std::string& error) {
  std::vector<std::string> files;
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (input != "-" && fs::is_directory(input, ec)) {
      std::vector<std::string> found;
      for (const auto& entry : fs::directory_iterator(input, ec)) {
        if (entry.path().extension() == ".scn") found.push_back(entry.path().string());
      }
      if (ec) {
        error = input + ": " + ec.message();
        return {};
      }
      if (found.empty()) {
        error = input + ": no *.scn files in this folder";
        return {};
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else {
      files.push_back(input);
    }
  }
  return files;
}

// Reads a whole scenario file; the system's reason when it cannot.
bool readScenario(const std::string& file, std::string& text, std::string& error) {
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file + ": cannot open: " + std::strerror(errno);
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = file + ": cannot read: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool hasCommands(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos && line[first] != '#') return true;
  }
  return false;
}

bool writeFile(const std::string& path, const std::string& contents, std::string& error) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
  out.flush();
  if (!out) {
    error = path + ": cannot write: " + std::strerror(errno);
    return false;
  }
  return true;
}

// Standard output must have reached its destination: a lost trace is a failed run.
int finish(int status, const Output* output = nullptr) {
  std::cout.flush();
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout) {
    const int error = output && output->writeError() ? output->writeError() : errno;
    std::cerr << "orvane-sim: cannot write the output" << (error ? std::string(": ") + std::strerror(error) : "")
              << "\n";
    return 2;
  }
  return status;
}

// What a run has done so far.
struct RunTotals {
  int worst = 0;
  int filesRun = 0;
  int passed = 0;
  int failedFiles = 0;
  int expectations = 0;
  int failed = 0;
  std::optional<orvane::Value> lastState;
};

// Runs one file on a device of its own; false when the run should stop (--fail-fast).
bool runFile(const std::string& file, const Options& options, bool tour, Output& output,
             orvane::cli::JunitReport& junit, orvane::cli::Report& report, RunTotals& totals) {
  std::string text;
  std::string error;
  if (tour) {
    text = orvane::cli::kTourScript;
  } else if (!readScenario(file, text, error)) {
    std::cerr << "orvane-sim run: " << error << "\n";
    junit.add(file, 2, 0, {error}, 0);
    totals.worst = 2;
    ++totals.failedFiles;
    return !options.failFast;
  }
  if (!hasCommands(text)) {
    std::cerr << "orvane-sim run: " << file << ": nothing to run (no commands)\n";
    junit.add(file, 2, 0, {"nothing to run"}, 0);
    totals.worst = 2;
    ++totals.failedFiles;
    return !options.failFast;
  }
  const auto fileStarted = std::chrono::steady_clock::now();
  DeviceFolder folder(options.root);
  auto device = makeDevice(folder, options);
  ScenarioRunner runner(*device, output);
  output.startFile();
  report.startFile(file, text);
  std::istringstream in(text);
  const int status = runner.runScript(in, file);
  totals.lastState = runner.state();
  ++totals.filesRun;
  ++(status == 0 ? totals.passed : totals.failedFiles);
  totals.expectations += runner.expectations();
  totals.failed += runner.failures();
  totals.worst = std::max(totals.worst, status);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - fileStarted).count();
  junit.add(file, status, runner.expectations(), output.failuresOfFile(), seconds, output.capturedOfFile());
  report.fileResult(file, status == 0 ? "ok" : status == 1 ? "failed" : "stopped");
  if (!tour || options.output.format != TraceFormat::kText) {
    output.fileResult(file, status, runner.expectations(), runner.failures());
  }
  if (folder.kept()) std::cerr << "orvane-sim: the device is kept in " << folder.path().string() << "\n";
  return !(options.failFast && status != 0);
}

// The report, the JUnit file and the last state, each where the options name; 2 when one cannot
// be written, else `worst`.
int writeOutputs(const Options& options, const orvane::cli::JunitReport& junit, const orvane::cli::Report& report,
                 const RunTotals& totals, double seconds) {
  std::string error;
  int worst = totals.worst;
  if (options.report) {
    if (writeFile(*options.report, report.html(totals.passed, totals.failedFiles, totals.expectations, totals.failed),
                  error)) {
      std::cerr << "orvane-sim: the report is in " << *options.report << "\n";
    } else {
      std::cerr << "orvane-sim: " << error << "\n";
      worst = 2;
    }
  }
  if (options.junit && !writeFile(*options.junit, junit.xml(seconds), error)) {
    std::cerr << "orvane-sim: " << error << "\n";
    worst = 2;
  }
  if (options.stateJson && totals.lastState &&
      !writeFile(*options.stateJson, orvane::cli::valueJson(*totals.lastState) + "\n", error)) {
    std::cerr << "orvane-sim: " << error << "\n";
    worst = 2;
  }
  return worst;
}

// A scenario's title: the first sentence of the comment it opens with, however many lines that
// takes, or "(no title)".
std::string scenarioTitle(const std::string& file) {
  std::ifstream in(file == "-" ? "/dev/null" : file);
  std::string comment;
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos && comment.empty()) continue;
    if (first == std::string::npos || line[first] != '#') break;
    const auto text = line.find_first_not_of(" \t#", first);
    if (text == std::string::npos) break;  // an empty comment line ends the paragraph
    comment += (comment.empty() ? "" : " ") + line.substr(text);
    if (const auto end = comment.find(". "); end != std::string::npos) return comment.substr(0, end + 1);
  }
  return comment.empty() ? "(no title)" : comment;
}

// -j N: each file runs in a child process with its own device, N at a time; what a file printed
// (its trace, its failures, its result) is held and printed once every file before it has been, so
// the output reads as a run one file after another would.
int runInParallel(const Options& options, const std::vector<std::string>& files) {
  using orvane::Array;
  using orvane::Dictionary;
  using orvane::Value;
  const auto started = std::chrono::steady_clock::now();
  struct Child {
    pid_t pid;
    int fd;
    std::size_t index;
    std::string bytes;
  };
  std::vector<Child> running;
  std::vector<std::optional<Value>> results(files.size());
  std::size_t nextToStart = 0;
  std::size_t nextToPrint = 0;
  orvane::cli::JunitReport junit;
  RunTotals totals;
  Output output(std::cout, std::cerr, options.output);
  const auto startOne = [&](std::size_t index) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("cannot run a file apart: ") + std::strerror(errno));
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("cannot run a file apart: ") + std::strerror(errno));
    if (pid == 0) {
      ::close(fds[0]);
      std::ostringstream out;
      std::ostringstream err;
      Output mine(out, err, options.output);
      mine.setCapture(options.junit.has_value());
      orvane::cli::JunitReport myJunit;
      orvane::cli::Report report;
      RunTotals mineTotals;
      runFile(files[index], options, false, mine, myJunit, report, mineTotals);
      Dictionary result = {{"worst", Value(mineTotals.worst)},
                           {"passed", Value(mineTotals.passed)},
                           {"failedFiles", Value(mineTotals.failedFiles)},
                           {"expectations", Value(mineTotals.expectations)},
                           {"failed", Value(mineTotals.failed)},
                           {"out", Value(out.str())},
                           {"err", Value(err.str())}};
      if (!myJunit.cases().empty()) {
        const auto& c = myJunit.cases().front();
        Array failures;
        for (const std::string& f : c.failures) failures.emplace_back(f);
        result.emplace("case", Value(Array{Value(c.status), Value(c.expectations), Value(std::move(failures)),
                                           Value(c.seconds), Value(c.output)}));
      }
      const std::string bytes = orvane::sim::encodeValue(Value(std::move(result)));
      for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(fds[1], bytes.data() + at, bytes.size() - at);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) at += static_cast<std::size_t>(n);
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    running.push_back(Child{pid, fds[0], index, {}});
  };
  const auto number = [](const Dictionary& d, const char* key) {
    const Value* v = orvane::find(d, key);
    const auto* n = v != nullptr ? std::get_if<std::int64_t>(&v->storage()) : nullptr;
    return n != nullptr ? static_cast<int>(*n) : 0;
  };
  const auto text = [](const Dictionary& d, const char* key) {
    const Value* v = orvane::find(d, key);
    return v != nullptr && v->string() != nullptr ? *v->string() : std::string();
  };
  while (nextToPrint < files.size()) {
    while (running.size() < static_cast<std::size_t>(options.jobs) && nextToStart < files.size())
      startOne(nextToStart++);
    std::vector<pollfd> waiting;
    waiting.reserve(running.size());
    for (const Child& c : running) waiting.push_back(pollfd{c.fd, POLLIN, 0});
    if (::poll(waiting.data(), waiting.size(), -1) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < running.size();) {
      char buffer[65536];
      const ssize_t n =
          (waiting[i].revents & (POLLIN | POLLHUP)) != 0 ? ::read(running[i].fd, buffer, sizeof buffer) : -1;
      if (n > 0) {
        running[i].bytes.append(buffer, static_cast<std::size_t>(n));
        ++i;
        continue;
      }
      if (n < 0) {
        ++i;
        continue;
      }
      // The child is done: its result, or a child that died as a file that could not be run.
      ::close(running[i].fd);
      int status = 0;
      ::waitpid(running[i].pid, &status, 0);
      auto decoded = orvane::sim::decodeValue(running[i].bytes);
      if (!decoded || decoded->dictionary() == nullptr) {
        decoded =
            Value(Dictionary{{"worst", Value(2)},
                             {"failedFiles", Value(1)},
                             {"err", Value("orvane-sim run: " + files[running[i].index] + ": the run ended early\n")}});
      }
      results[running[i].index] = std::move(decoded);
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
      waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (; nextToPrint < files.size() && results[nextToPrint]; ++nextToPrint) {
      const Dictionary& r = *results[nextToPrint]->dictionary();
      std::cout << text(r, "out") << std::flush;
      std::cerr << text(r, "err") << std::flush;
      totals.worst = std::max(totals.worst, number(r, "worst"));
      totals.passed += number(r, "passed");
      totals.failedFiles += number(r, "failedFiles");
      totals.expectations += number(r, "expectations");
      totals.failed += number(r, "failed");
      const Value* c = orvane::find(r, "case");
      if (c != nullptr && c->array() != nullptr && c->array()->size() == 5) {
        const Array& f = *c->array();
        std::vector<std::string> failures;
        if (f[2].array() != nullptr) {
          for (const Value& v : *f[2].array()) failures.push_back(v.string() != nullptr ? *v.string() : "");
        }
        const auto* seconds = std::get_if<double>(&f[3].storage());
        junit.add(files[nextToPrint], number(Dictionary{{"n", f[0]}}, "n"), number(Dictionary{{"n", f[1]}}, "n"),
                  failures, seconds != nullptr ? *seconds : 0, f[4].string() != nullptr ? *f[4].string() : "");
      }
      results[nextToPrint].reset();
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  output.summary(totals.passed, totals.failedFiles, totals.expectations, totals.failed, seconds);
  orvane::cli::Report unused;
  return finish(writeOutputs(options, junit, unused, totals, seconds), &output);
}

// This program's own path (where the other runtime's command is, and what the tour tells you to
// run); nothing when the system will not say.
std::optional<fs::path> selfPath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::nullopt : std::optional<fs::path>(std::move(self));
}

#ifndef ORVANE_SOURCE_DIR
#define ORVANE_SOURCE_DIR ""
#endif

// How the tour went, and what to try next, as commands that run as printed from anywhere: this
// program's own path, and the source tree's scenarios and language page when they are there.
void printTourEnd(const RunTotals& totals) {
  if (totals.failed == 0 && totals.failedFiles == 0) {
    std::cout << "tour: ok (" << totals.expectations << " expectations)\n";
  } else {
    std::cout << "tour: FAILED (" << totals.failed << " of " << totals.expectations << " expectations)\n";
  }
  const auto self = selfPath();
  const std::string program = self ? self->string() : std::string("orvane-sim");
  const fs::path source(ORVANE_SOURCE_DIR);
  std::error_code ec;
  std::cout << "Next:\n";
  if (!source.empty() && fs::is_directory(source / "tests" / "scenarios", ec)) {
    std::cout << "  " << program << " run -q " << (source / "tests" / "scenarios").string()
              << "   every scenario, each file's result\n";
  }
  std::cout << "  " << program << " shell   type scenario commands one at a time ('help' lists them)\n";
  if (!source.empty() && fs::exists(source / "docs" / "scenarios.md", ec)) {
    std::cout << "  " << (source / "docs" / "scenarios.md").string() << " shows how to write your own\n";
  }
}

int run(const Options& options, bool tour) {
  std::string error;
  std::vector<std::string> files = tour ? std::vector<std::string>{"tour"} : scenarioFiles(options.inputs, error);
  if (!tour && options.inputs.empty()) error = "nothing to run: name scenario files or folders";
  if (!error.empty()) {
    std::cerr << "orvane-sim run: " << error << "\n";
    return 2;
  }
  if (!options.patterns.empty()) {
    std::erase_if(files, [&](const std::string& file) {
      const std::string name = fs::path(file).filename().string();
      return std::none_of(options.patterns.begin(), options.patterns.end(),
                          [&](const std::string& p) { return name.find(p) != std::string::npos; });
    });
    if (files.empty()) {
      std::cerr << "orvane-sim run: no scenario file's name holds " << options.patterns.front() << "\n";
      return 2;
    }
  }
  if (options.list) {
    for (const std::string& file : files) std::cout << file << ": " << scenarioTitle(file) << "\n";
    return finish(0);
  }
  if (options.root && files.size() > 1) {
    std::cerr << "orvane-sim run: --root keeps one device: name one scenario\n";
    return 2;
  }
  if (options.jobs > 1 && files.size() > 1) return runInParallel(options, files);
  Output output(std::cout, std::cerr, options.output);
  orvane::cli::JunitReport junit;
  orvane::cli::Report report;
  if (options.report) output.setReport(&report);
  output.setCapture(options.junit.has_value());
  const bool progress = options.output.format == TraceFormat::kText && ::isatty(STDOUT_FILENO) &&
                        ::isatty(STDERR_FILENO) && files.size() > 1;
  const auto started = std::chrono::steady_clock::now();
  RunTotals totals;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (progress && elapsed > 1.0)
      std::cerr << "orvane-sim: file " << i + 1 << " of " << files.size() << ": " << files[i] << "\n";
    if (!runFile(files[i], options, tour, output, junit, report, totals)) break;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!tour) output.summary(totals.passed, totals.failedFiles, totals.expectations, totals.failed, seconds);
  if (tour && options.output.format != TraceFormat::kJson) printTourEnd(totals);
  return finish(writeOutputs(options, junit, report, totals, seconds), &output);
}

// The words a shell line's next word may complete to, given the words before it: a command first,
// then what that command takes there (process names, keys, keyboards, event kinds, ...).
std::vector<std::string> completions(orvane::sim::Device& device, const std::vector<std::string>& before) {
  static const std::vector<std::string> kCommands = orvane::cli::commandWords([](const auto&) { return true; });
  static const std::vector<std::string> kExpectations = {
      "input-mode", "alert",          "no-alert", "log",        "no-log",          "hook",        "no-hook",
      "pref",       "no-pref",        "setting",  "no-setting", "settings-format", "file-format", "file",
      "no-file",    "no-temporaries", "switcher", "label",      "event",           "no-event"};
  static const std::vector<std::string> kTakesProcess =
      orvane::cli::commandWords([](const orvane::cli::CommandRow& r) { return r.takesProcess; });
  std::vector<std::string> processes;
  for (const auto& p : device.processes()) {
    processes.push_back(p->isSpringBoard() ? "springboard" : p->bundleIdentifier());
  }
  std::vector<std::string> keyboards;
  for (const auto& mode : device.activeInputModes()) {
    if (mode.identifier) keyboards.push_back(*mode.identifier);
  }
  if (before.empty()) return kCommands;
  const std::string& command = before[0];
  const std::size_t n = before.size();
  const bool takesProcess = std::find(kTakesProcess.begin(), kTakesProcess.end(), command) != kTakesProcess.end();
  if (command == "help" && n == 1) return kCommands;
  if (command == "start" && n == 1) return {"springboard"};
  if (takesProcess && n == 1) return processes;
  if (command == "tap" && n == 2) {
    std::vector<std::string> keys = {"globe", "nowhere"};
    keys.insert(keys.end(), orvane::sim::keyboardKeyNames().begin(), orvane::sim::keyboardKeyNames().end());
    return keys;
  }
  if (command == "keyboards") return keyboards;
  if (command == "state" && n == 1) return {"--json"};
  if (n == (takesProcess ? 2u : 1u)) {
    if (auto choices = orvane::cli::commandChoices(command); !choices.empty()) return choices;
  }
  if (command == "expect") {
    if (n == 1) return kExpectations;
    const std::string& what = before[1];
    if (n == 2 && what != "settings-format" && what != "no-temporaries") {
      std::vector<std::string> out = processes;
      if (what == "event" || what == "no-event") out.emplace_back("*");
      return out;
    }
    if (n == 3 && (what == "event" || what == "no-event")) return orvane::cli::eventKinds();
    if (n == 3 && what == "input-mode") return keyboards;
  }
  return {};
}

// A value as indented lines: a dictionary's keys and an array's elements one per line, what they
// hold below them; a scalar, or an empty container, in the text form of values.
void readable(std::ostream& out, const orvane::Value& value, const std::string& indent) {
  if (const auto* d = value.dictionary(); d != nullptr && !d->empty()) {
    for (const auto& [key, member] : *d) {
      const bool nested =
          (member.dictionary() && !member.dictionary()->empty()) || (member.array() && !member.array()->empty());
      out << indent << (orvane::keyObject(key) ? orvane::sim::formatKeyText(key) : key.str()) << ":";
      if (nested) {
        out << "\n";
        readable(out, member, indent + "  ");
      } else {
        out << " " << orvane::sim::formatValueText(member) << "\n";
      }
    }
  } else if (const auto* a = value.array(); a != nullptr && !a->empty()) {
    for (const orvane::Value& element : *a) {
      if ((element.dictionary() && !element.dictionary()->empty()) || (element.array() && !element.array()->empty())) {
        out << indent << "-\n";
        readable(out, element, indent + "  ");
      } else {
        out << indent << "- " << orvane::sim::formatValueText(element) << "\n";
      }
    }
  } else {
    out << indent << orvane::sim::formatValueText(value) << "\n";
  }
}

// The live device: a page in the browser drives it; the trace goes to the page, not to the terminal.
int serve(const Options& options) {
  std::string script = kLiveSetUp;
  std::string name = "set-up";
  if (!options.inputs.empty()) {
    std::string error;
    name = options.inputs.front();
    if (!readScenario(name, script, error)) {
      std::cerr << "orvane-sim serve: " << error << "\n";
      return 2;
    }
  }
  DeviceFolder folder(options.root);
  auto device = makeDevice(folder, options);
  std::ostringstream quiet;
  std::ostringstream errors;
  OutputOptions outputOptions;
  outputOptions.format = TraceFormat::kNone;
  Output output(quiet, errors, outputOptions);
  orvane::cli::LiveSession session(*device, output, errors);
  if (const std::string error = session.setUp(script, name); !error.empty()) {
    std::cerr << "orvane-sim serve: " << error << "\n";
    return 2;
  }
  const int status = orvane::cli::serveLive(session, options.port, std::cout);
  if (folder.kept()) std::cerr << "orvane-sim: the device is kept in " << folder.path().string() << "\n";
  return status;
}

// The shell's state: readable lines, or one JSON object for programs.
void printState(const orvane::Value& state, bool json) {
  if (json) {
    std::cout << orvane::cli::valueJson(state) << "\n";
  } else {
    readable(std::cout, state, "");
  }
}

int shell(const Options& options) {
  Output output(std::cout, std::cerr, options.output);
  std::unique_ptr<DeviceFolder> folder;
  std::unique_ptr<orvane::sim::Device> device;
  std::unique_ptr<ScenarioRunner> runner;
  // The lines of the session since the last reset that could be run: what `save` writes.
  std::vector<std::string> session;
  const auto fresh = [&] {
    runner.reset();
    device.reset();
    folder.reset();
    folder = std::make_unique<DeviceFolder>(options.root);
    device = makeDevice(*folder, options);
    device->setInterruption([] { return orvane::cli::interrupted(); });
    runner = std::make_unique<ScenarioRunner>(*device, output);
    session.clear();
  };
  fresh();
  orvane::cli::LineReader reader(
      [&device](const std::vector<std::string>& before) { return completions(*device, before); },
      orvane::cli::historyPath());
  if (reader.interactive()) orvane::cli::catchInterrupts();
  bool anyFailed = false;
  int number = 0;
  // Runs one line of the language in the session; false when it could not be run.
  const auto runLine = [&](const std::string& line, const std::string& where, int at) {
    const auto result = runner->runLine(line, where, at);
    if (result != ScenarioRunner::LineResult::kOk) anyFailed = true;
    if (result != ScenarioRunner::LineResult::kBadLine) session.push_back(line);
    std::cout.flush();
    return result != ScenarioRunner::LineResult::kBadLine;
  };
  while (const auto line = reader.read("orvane> ")) {
    ++number;
    std::istringstream words(*line);
    std::vector<std::string> word{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    const std::string first = word.empty() ? "" : word[0];
    if (first == "quit" || first == "exit") break;
    if (first == "help") {
      const std::string text = word.size() > 1 ? orvane::cli::commandHelp(word[1]) : orvane::cli::commandHelp();
      if (text.empty()) {
        std::cerr << "help: no command " << word[1] << orvane::cli::didYouMean(word[1], completions(*device, {}))
                  << "\n";
      }
      std::cout << text;
      continue;
    }
    if (first == "reset") {
      fresh();
      std::cout << "a fresh device: no process runs, no keyboard is enabled, the extension is installed\n";
      continue;
    }
    if (first == "state" && word.size() <= 2) {
      if (word.size() == 2 && word[1] != "--json") {
        std::cerr << "state takes --json or nothing\n";
        continue;
      }
      printState(runner->state(), word.size() == 2);
      continue;
    }
    if ((first == "save" || first == "source") && word.size() != 2) {
      std::cerr << first << " takes FILE\n";
      anyFailed = true;
      continue;
    }
    if (first == "save") {
      std::string text = "# A session of orvane-sim shell.\n";
      for (const std::string& kept : session) text += kept + "\n";
      std::string error;
      if (!writeFile(word[1], text, error)) {
        std::cerr << "save: " << error << "\n";
        anyFailed = true;
      } else {
        std::cout << "saved " << session.size() << " lines to " << word[1] << "\n";
      }
      continue;
    }
    if (first == "source") {
      std::string text;
      std::string error;
      if (!readScenario(word[1], text, error)) {
        std::cerr << "source: " << error << "\n";
        anyFailed = true;
        continue;
      }
      std::istringstream in(text);
      int at = 0;
      for (std::string sourced; std::getline(in, sourced);) {
        if (!runLine(sourced, word[1], ++at)) break;  // a file stops at its bad line, as `run` does
        if (orvane::cli::interrupted()) {
          std::cerr << "source: interrupted after line " << at << "\n";
          break;
        }
      }
      continue;
    }
    runLine(*line, "stdin", number);
  }
  if (folder->kept()) std::cerr << "orvane-sim: the device is kept in " << folder->path().string() << "\n";
  return finish(anyFailed ? 1 : 0, &output);
}

}  // namespace

// A command's help: its usage and its options; empty for no command.
std::string helpOf(const std::string& command) {
  const char* usage = command == "run"     ? kRunUsage
                      : command == "tour"  ? kTourUsage
                      : command == "shell" ? kShellUsage
                      : command == "serve" ? kServeUsage
                                           : nullptr;
  if (usage == nullptr) return "";
  return std::string(usage) + orvane::cli::optionHelp(command);
}

// An option the command does not use, or a value no event could ever match: said, not ignored.
std::string unusedOption(const std::string& command, const Options& options) {
  for (const orvane::cli::OptionRow* row : options.given) {
    if ((row->commands & orvane::cli::commandBit(command)) == 0) {
      return orvane::cli::optionName(*row) + " is for " + orvane::cli::commandsTaking(*row);
    }
  }
  if (command == "serve" && options.inputs.size() > 1) return "serve takes one scenario file at most";
  if (options.jobs > 1 && (options.report || options.stateJson || options.failFast || options.root)) {
    return "-j runs files apart: not with --report, --state-json, --fail-fast or --root";
  }
  const std::vector<std::string> kinds = orvane::cli::eventKinds();
  for (const std::string& kind : options.output.only) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
      return "--only: no event kind '" + kind + "'" + orvane::cli::didYouMean(kind, kinds);
    }
  }
  // A process is SpringBoard, the device, the scenario, or an application's bundle identifier.
  const std::string& process = options.output.process.value_or("SpringBoard");
  const std::vector<std::string> named = {"SpringBoard", "device", "scenario"};
  if (std::find(named.begin(), named.end(), process) == named.end() && process.find('.') == std::string::npos) {
    return "--process: no process '" + process + "'" + orvane::cli::didYouMean(process, named) +
           "; it takes SpringBoard, device, scenario or a bundle identifier";
  }
  return "";
}

// --runtime names the other runtime: its command, beside this one, runs with the same arguments.
int runOnOtherRuntime(const std::string& runtime, const std::string& command, char** argv) {
  const fs::path other = selfPath().value_or(fs::path()).parent_path() / kOtherCommand;
  ::execv(other.c_str(), argv);
  std::cerr << "orvane-sim " << command << ": --runtime=" << runtime << " needs " << other.string() << ": "
            << std::strerror(errno) << " (build it with -DORVANE_REAL_RUNTIME=ON, the default)\n";
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return finish(0);
  }
  if (command == "--version" || command == "-V") {
    std::cout << kVersion << "\n";
    return finish(0);
  }
  // A completion script for bash or zsh, made from the option table (the build installs them).
  if (command == "--complete") {
    const std::string script = argc == 3 ? orvane::cli::completionScript(argv[2]) : "";
    if (script.empty()) {
      std::cerr << "orvane-sim --complete takes bash or zsh\n";
      return 2;
    }
    std::cout << script;
    return finish(0);
  }
  // Every command's help in one text: what the manual page is made of (help2man).
  if (command == "--help-all") {
    std::cout << kUsage;
    for (const char* each : {"run", "tour", "shell", "serve"}) std::cout << "\n" << helpOf(each);
    return finish(0);
  }
  if (helpOf(command).empty()) {
    std::cerr << "orvane-sim: unknown command " << command
              << orvane::cli::didYouMean(command, {"run", "tour", "shell", "serve", "--help", "--version"}) << "\n\n"
              << kUsage;
    return 2;
  }
  const std::string help = helpOf(command);
  const Options options = parseOptions(argc, argv);
  if (options.help) {
    std::cout << help;
    return finish(0);
  }
  if (options.version) {
    std::cout << kVersion << "\n";
    return finish(0);
  }
  if (!options.error.empty()) {
    std::cerr << "orvane-sim " << command << ": " << options.error << "\nRun 'orvane-sim " << command
              << " --help' for the options.\n";
    return 2;
  }
  if (options.runtime != kRuntime) return runOnOtherRuntime(options.runtime, command, argv);
  if (const std::string unused = unusedOption(command, options); !unused.empty()) {
    std::cerr << "orvane-sim " << command << ": " << unused << "\nRun 'orvane-sim " << command
              << " --help' for the options.\n";
    return 2;
  }
  if (command != "run" && command != "serve" && !options.inputs.empty()) {
    std::cerr << "orvane-sim " << command << ": unexpected argument " << options.inputs.front() << "\nRun 'orvane-sim "
              << command << " --help' for the options.\n";
    return 2;
  }
  orvane::cli::removeFoldersOnSignals();
  try {
    if (command == "shell") return shell(options);
    if (command == "serve") return serve(options);
    return run(options, command == "tour");
  } catch (const std::exception& e) {
    // A device folder that cannot be made (a missing or unwritable TMPDIR, a bad --root).
    std::cerr << "orvane-sim " << command << ": " << e.what() << "\n";
    return 2;
  }
}
