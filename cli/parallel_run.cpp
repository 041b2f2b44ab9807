// `orvane-sim run -j N`: each file runs in a child process with its own device, N at a time; what
// a file printed (its trace, its failures, its result) is held and printed once every file before
// it has been, so the output reads as a run one file after another would.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "cli/program.h"
#include "sim/device/channel.h"
#include "sim/device/protocol.h"

namespace orvane::cli {

namespace {

// What a child sends back for its file: the file's tally, what it printed, and its JUnit case.
struct FileResult {
  int worst = 0;
  Tally tally;
  std::string out;
  std::string err;
  std::optional<JunitReport::Case> junitCase;
};

}  // namespace

}  // namespace orvane::cli

// A child's result crosses as the device's protocol sends values (sim/device/protocol.h).
namespace orvane::sim {

template <>
struct Wire<cli::Tally> {
  static Value put(const cli::Tally& t) {
    return Value(
        Array{Value(t.passed), Value(t.failedFiles), Value(t.errorFiles), Value(t.expectations), Value(t.failed)});
  }
  static cli::Tally get(const Value& v) {
    const Array& f = wireArray(v, 5);
    return {Wire<int>::get(f[0]), Wire<int>::get(f[1]), Wire<int>::get(f[2]), Wire<int>::get(f[3]),
            Wire<int>::get(f[4])};
  }
};

template <>
struct Wire<cli::JunitReport::Case> {
  static Value put(const cli::JunitReport::Case& c) {
    return Value(Array{Value(c.file), Value(c.status), Value(c.expectations),
                       Wire<std::vector<std::string>>::put(c.failures), Value(c.seconds), Value(c.output)});
  }
  static cli::JunitReport::Case get(const Value& v) {
    const Array& f = wireArray(v, 6);
    const auto* seconds = std::get_if<double>(&f[4].storage());
    if (seconds == nullptr) notAMessage("a number of seconds");
    return {Wire<std::string>::get(f[0]),
            Wire<int>::get(f[1]),
            Wire<int>::get(f[2]),
            Wire<std::vector<std::string>>::get(f[3]),
            *seconds,
            Wire<std::string>::get(f[5])};
  }
};

template <>
struct Wire<cli::FileResult> {
  static Value put(const cli::FileResult& r) {
    return Value(Array{Value(r.worst), Wire<cli::Tally>::put(r.tally), Value(r.out), Value(r.err),
                       Wire<std::optional<cli::JunitReport::Case>>::put(r.junitCase)});
  }
  static cli::FileResult get(const Value& v) {
    const Array& f = wireArray(v, 5);
    return {Wire<int>::get(f[0]), Wire<cli::Tally>::get(f[1]), Wire<std::string>::get(f[2]),
            Wire<std::string>::get(f[3]), Wire<std::optional<cli::JunitReport::Case>>::get(f[4])};
  }
};

}  // namespace orvane::sim

namespace orvane::cli {

namespace {

// The result a child sent; nothing when its bytes are not one (it died before it could send it).
std::optional<FileResult> fromBytes(const std::string& bytes) {
  const auto decoded = sim::decodeValue(bytes);
  if (!decoded) return std::nullopt;
  try {
    return sim::Wire<FileResult>::get(*decoded);
  } catch (const sim::ChannelClosed&) {
    return std::nullopt;
  }
}

// In the child: runs the file, writes its result to `fd`, and ends the process.
[[noreturn]] void runChild(const std::string& file, const Options& options, int fd) {
  std::ostringstream out;
  std::ostringstream err;
  Output mine(out, err, options.output);
  mine.setCapture(options.junit.has_value());
  JunitReport junit;
  Report report;
  RunTotals totals;
  runFile(file, options, false, mine, junit, report, totals);
  FileResult result{totals.worst, totals.tally, out.str(), err.str(), std::nullopt};
  if (!junit.cases().empty()) result.junitCase = junit.cases().front();
  const std::string bytes = sim::encodeValue(sim::Wire<FileResult>::put(result));
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n <= 0 && errno != EINTR) break;
    if (n > 0) at += static_cast<std::size_t>(n);
  }
  ::_exit(0);
}

struct Child {
  pid_t pid;
  int fd;
  std::size_t index;
  std::string bytes;
};

Child startChild(const std::string& file, std::size_t index, const Options& options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("cannot run a file apart: ") + std::strerror(errno));
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("cannot run a file apart: ") + std::strerror(errno));
  if (pid == 0) {
    ::close(fds[0]);
    runChild(file, options, fds[1]);
  }
  ::close(fds[1]);
  return Child{pid, fds[0], index, {}};
}

// Reads what the children have written; a child whose pipe has closed is done, and its result (or
// a file that could not be run, for a child that died) is put in its file's place.
void collect(std::vector<Child>& running, const std::vector<std::string>& files,
             std::vector<std::optional<FileResult>>& results) {
  std::vector<pollfd> waiting;
  waiting.reserve(running.size());
  for (const Child& c : running) waiting.push_back(pollfd{c.fd, POLLIN, 0});
  if (::poll(waiting.data(), waiting.size(), -1) < 0) {
    if (errno == EINTR) return;  // the caller polls again
    throw std::runtime_error(std::string("cannot wait for the files run apart: ") + std::strerror(errno));
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < running.size(); ++i) {
    Child& child = running[i];
    char buffer[65536];
    const ssize_t n = (waiting[i].revents & (POLLIN | POLLHUP)) != 0 ? ::read(child.fd, buffer, sizeof buffer) : -1;
    if (n != 0) {
      if (n > 0) child.bytes.append(buffer, static_cast<std::size_t>(n));
      if (kept != i) running[kept] = std::move(child);
      ++kept;
      continue;
    }
    ::close(child.fd);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    auto result = fromBytes(child.bytes);
    if (!result) {
      result =
          FileResult{2, Tally{0, 0, 1, 0, 0}, "", "orvane-sim run: " + files[child.index] + ": the run ended early\n",
                     JunitReport::Case{files[child.index], 2, 0, {"the run ended early"}, 0, ""}};
    }
    results[child.index] = std::move(result);
  }
  running.resize(kept);
}

void addUp(Tally& total, const Tally& one) {
  total.passed += one.passed;
  total.failedFiles += one.failedFiles;
  total.errorFiles += one.errorFiles;
  total.expectations += one.expectations;
  total.failed += one.failed;
}

}  // namespace

int runInParallel(const Options& options, const std::vector<std::string>& files) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<Child> running;
  std::vector<std::optional<FileResult>> results(files.size());
  std::size_t nextToStart = 0;
  std::size_t nextToPrint = 0;
  JunitReport junit;
  RunTotals totals;
  Output output(std::cout, std::cerr, options.output);
  while (nextToPrint < files.size()) {
    while (running.size() < static_cast<std::size_t>(options.jobs) && nextToStart < files.size()) {
      running.push_back(startChild(files[nextToStart], nextToStart, options));
      ++nextToStart;
    }
    collect(running, files, results);
    for (; nextToPrint < files.size() && results[nextToPrint]; ++nextToPrint) {
      const FileResult& r = *results[nextToPrint];
      std::cout << r.out << std::flush;
      std::cerr << r.err << std::flush;
      totals.worst = std::max(totals.worst, r.worst);
      addUp(totals.tally, r.tally);
      if (r.junitCase) {
        const auto& c = *r.junitCase;
        junit.add(c.file, c.status, c.expectations, c.failures, c.seconds, c.output);
      }
      results[nextToPrint].reset();
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  output.summary(totals.tally, seconds);
  const Report unused;
  return finish(writeOutputs(options, junit, unused, totals, seconds), &output);
}

}  // namespace orvane::cli
