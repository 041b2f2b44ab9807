// `orvane-sim run` and `orvane-sim tour`: scenario files, each on a fresh device, one after another.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/language/scenario.h"
#include "cli/language/words.h"
#include "cli/output/pages.h"
#include "cli/program.h"

namespace orvane::cli {

namespace fs = std::filesystem;

namespace {

// The scenario files to run, in order: files as given ('-' is standard input), a folder's *.scn
// files sorted by name. Nothing to run is an error.
std::vector<std::string> scenarioFiles(const std::vector<std::string>& inputs, std::string& error) {
  std::vector<std::string> files;
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (input == "-" || !fs::is_directory(input, ec)) {
      files.push_back(input);
      continue;
    }
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
  }
  return files;
}

bool hasCommands(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos && line[first] != '#') return true;
  }
  return false;
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

#ifndef ORVANE_SOURCE_DIR
#define ORVANE_SOURCE_DIR ""
#endif

// How the tour went, and what to try next, as commands that run as printed from anywhere: this
// program's own path, and the source tree's scenarios and language page when they are there.
void printTourEnd(const RunTotals& totals) {
  const Tally& tally = totals.tally;
  if (tally.failed == 0 && tally.failedFiles == 0 && tally.errorFiles == 0) {
    std::cout << "tour: ok (" << tally.expectations << " expectations)\n";
  } else {
    std::cout << "tour: FAILED (" << tally.failed << " of " << tally.expectations << " expectations)\n";
  }
  const auto self = selfPath();
  const std::string program = self ? self->string() : std::string("orvane-sim");
  const fs::path source(ORVANE_SOURCE_DIR);
  std::error_code ec;
  std::cout << "Next:\n";
  if (!source.empty() && fs::is_directory(source / "tests" / "scenarios", ec)) {
    std::cout << "  " << program << " run " << (source / "tests" / "scenarios").string()
              << "   every scenario, each file's result\n";
  }
  std::cout << "  " << program << " shell   type scenario commands one at a time ('help' lists them)\n";
  if (!source.empty() && fs::exists(source / "docs" / "scenarios.md", ec)) {
    std::cout << "  " << (source / "docs" / "scenarios.md").string() << " shows how to write your own\n";
  }
}

// A file that ends before its device starts: an error of the run, said on standard error.
bool fileInError(const std::string& file, const std::string& error, const Options& options, JunitReport& junit,
                 RunTotals& totals) {
  std::cerr << "orvane-sim run: " << error << "\n";
  junit.add(file, 2, 0, {error}, 0);
  totals.worst = 2;
  ++totals.tally.errorFiles;
  return !options.failFast;
}

// The files to run, as named and as -k keeps them; empty with `error` said when there are none.
std::vector<std::string> filesToRun(const Options& options, std::string& error) {
  std::vector<std::string> files = scenarioFiles(options.inputs, error);
  if (options.inputs.empty()) error = "nothing to run: name scenario files or folders";
  if (!error.empty() || options.patterns.empty()) return files;
  std::erase_if(files, [&](const std::string& file) {
    const std::string name = fs::path(file).filename().string();
    return std::none_of(options.patterns.begin(), options.patterns.end(),
                        [&](const std::string& p) { return name.find(p) != std::string::npos; });
  });
  if (files.empty()) error = "no scenario file's name holds " + options.patterns.front();
  return files;
}

}  // namespace

bool runFile(const std::string& file, const Options& options, bool tour, Output& output, JunitReport& junit,
             Report& report, RunTotals& totals) {
  std::string text;
  std::string error;
  if (tour) {
    text = pages::kTour;
  } else if (!readScenario(file, text, error)) {
    return fileInError(file, error, options, junit, totals);
  }
  if (!hasCommands(text)) return fileInError(file, file + ": nothing to run (no commands)", options, junit, totals);
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
  ++(status == 0 ? totals.tally.passed : status == 1 ? totals.tally.failedFiles : totals.tally.errorFiles);
  totals.tally.expectations += runner.expectations();
  totals.tally.failed += runner.failures();
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

int writeOutputs(const Options& options, const JunitReport& junit, const Report& report, const RunTotals& totals,
                 double seconds) {
  std::string error;
  int worst = totals.worst;
  const Tally& tally = totals.tally;
  if (options.report) {
    if (writeFile(*options.report,
                  report.html(tally.passed, tally.failedFiles, tally.errorFiles, tally.expectations, tally.failed),
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
      !writeFile(*options.stateJson, valueJson(*totals.lastState) + "\n", error)) {
    std::cerr << "orvane-sim: " << error << "\n";
    worst = 2;
  }
  return worst;
}

int runCommand(const Options& given, bool tour) {
  std::string error;
  const std::vector<std::string> files = tour ? std::vector<std::string>{"tour"} : filesToRun(given, error);
  if (!error.empty()) {
    std::cerr << "orvane-sim run: " << error << "\n";
    return 2;
  }
  if (given.list) {
    for (const std::string& file : files) std::cout << file << ": " << scenarioTitle(file) << "\n";
    return finish(0);
  }
  if (given.root && files.size() > 1) {
    std::cerr << "orvane-sim run: --root keeps one device: name one scenario\n";
    return 2;
  }
  // Several files show each file's result and its failures, as a test runner does; their traces,
  // thousands of lines, only when --trace asks for them.
  Options options = given;
  if (files.size() > 1 && !options.traceGiven) options.output.format = TraceFormat::kNone;
  if (options.device) return runOnDevice(options, files);
  if (options.jobs > 1 && files.size() > 1) return runInParallel(options, files);
  Output output(std::cout, std::cerr, options.output);
  JunitReport junit;
  Report report;
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
  if (!tour) output.summary(totals.tally, seconds);
  if (tour && options.output.format != TraceFormat::kJson) printTourEnd(totals);
  int status = writeOutputs(options, junit, report, totals, seconds);
  // A --process that nothing came from is a misspelling more often than a question: an error.
  if (const auto seen = output.processMissed(); seen && totals.filesRun > 0) {
    std::cerr << "orvane-sim run: --process: no event came from " << *options.output.process
              << didYouMean(*options.output.process, *seen)
              << (seen->empty() ? "" : "; events came from " + wordList(*seen, "and")) << "\n";
    status = 2;
  }
  return finish(status, &output);
}

}  // namespace orvane::cli
