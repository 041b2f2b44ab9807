// What the commands of orvane-sim share: the folder a device lives in, whole files read and
// written, the end of a command's output, and the commands themselves.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/output/junit.h"
#include "cli/output/output.h"
#include "cli/output/report.h"
#include "rig/rig.h"

namespace orvane::cli {

// The folder a device lives in: a temporary one, removed on every way out, or the one the user
// named, kept (a marker file says it is a device folder, so that --root never empties anything
// else).
class DeviceFolder {
 public:
  static constexpr const char* kMarker = ".orvane-device";

  explicit DeviceFolder(const std::optional<std::filesystem::path>& root);
  ~DeviceFolder();
  DeviceFolder(const DeviceFolder&) = delete;
  DeviceFolder& operator=(const DeviceFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  bool kept() const { return !temporary_; }

 private:
  void makeTemporary();
  void takeRoot();

  std::optional<rig::TemporaryRoot> temporary_;
  std::filesystem::path path_;
  int lock_ = -1;  // the kept folder's lock, for this run's life
};

// A device with the extension installed, in `folder`, its files kept as the options and the
// runtime ask.
std::unique_ptr<sim::Device> makeDevice(const DeviceFolder& folder, const Options& options);
// The same on the folder `root`, kept (every write flushed) or thrown away after the run.
std::unique_ptr<sim::Device> makeDevice(const std::filesystem::path& root, bool kept, const Options& options);

// Reads a whole scenario file ('-' is standard input); the system's reason when it cannot.
bool readScenario(const std::string& file, std::string& text, std::string& error);
bool writeFile(const std::string& path, const std::string& contents, std::string& error);
// A shell's `save FILE`: `heading` (a comment line) and the lines, as a scenario; says what it did.
// False when the file could not be written.
bool saveLines(const std::string& file, const std::string& heading, const std::vector<std::string>& lines);

// Standard output must have reached its destination: a lost trace is a failed run (2).
int finish(int status, const Output* output = nullptr);

// This program's own path (where the other runtime's command is, and what the tour tells you to
// run); nothing when the system will not say.
std::optional<std::filesystem::path> selfPath();

// What a run has done so far.
struct RunTotals {
  int worst = 0;  // the worst file's status
  int filesRun = 0;
  Tally tally;
  std::optional<Value> lastState;
};

// Runs one file on a device of its own (`tour`: the built-in tour); false when the run should stop
// (--fail-fast).
bool runFile(const std::string& file, const Options& options, bool tour, Output& output, JunitReport& junit,
             Report& report, RunTotals& totals);
// The report, the JUnit file and the last state, each where the options name; 2 when one cannot
// be written, else the totals' worst.
int writeOutputs(const Options& options, const JunitReport& junit, const Report& report, const RunTotals& totals,
                 double seconds);

// The commands: `run` (or the tour), `run -j N` over several files, `shell` and `serve`.
int runCommand(const Options& options, bool tour);
int runInParallel(const Options& options, const std::vector<std::string>& files);
int shellCommand(const Options& options);
int serveCommand(const Options& options);

// Named devices: `boot`, `list`, `shutdown`, `erase`, and the clients of a booted one: `send`,
// `log`, `screenshot`, `report`, and `run`, `shell` and `serve` with --device.
int bootCommand(const Options& options);
int listCommand(const Options& options);
int shutdownCommand(const Options& options);
int eraseCommand(const Options& options);
int sendCommand(const Options& options);
int logCommand(const Options& options);
int screenshotCommand(const Options& options);
int reportCommand(const Options& options);
int runOnDevice(const Options& options, const std::vector<std::string>& files);
int serveOnDevice(const Options& options);
int shellOnDevice(const Options& options);
// The headless browser the tests use (chromium), on the path; nothing when there is none.
std::optional<std::filesystem::path> headlessChromium();
// Has `browser` draw the page the file `redirect` sends it to, 340 by 680, as a PNG at `file`
// (`profile`: a folder of its own, removed after); whether a PNG was written.
bool drawPageAsPng(const std::filesystem::path& browser, const std::filesystem::path& redirect,
                   const std::filesystem::path& file, const std::filesystem::path& profile);

// The runtime `boot` runs a device on: the one --runtime names, else the one it last ran on.
std::string deviceRuntime(const Options& options);

}  // namespace orvane::cli
