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

// The result as a dictionary, each part under its name, for the channel's encoding.
Value toValue(const FileResult& r) {
  Dictionary d = {{"worst", Value(r.worst)},
                  {"passed", Value(r.tally.passed)},
                  {"failedFiles", Value(r.tally.failedFiles)},
                  {"errorFiles", Value(r.tally.errorFiles)},
                  {"expectations", Value(r.tally.expectations)},
                  {"failed", Value(r.tally.failed)},
                  {"out", Value(r.out)},
                  {"err", Value(r.err)}};
  if (r.junitCase) {
    const JunitReport::Case& c = *r.junitCase;
    Array failures;
    for (const std::string& f : c.failures) failures.emplace_back(f);
    d.emplace("case", Value(Dictionary{{"status", Value(c.status)},
                                       {"expectations", Value(c.expectations)},
                                       {"failures", Value(std::move(failures))},
                                       {"seconds", Value(c.seconds)},
                                       {"output", Value(c.output)}}));
  }
  return Value(std::move(d));
}

int numberIn(const Dictionary& d, const char* key) {
  const Value* v = find(d, key);
  const auto* n = v != nullptr ? std::get_if<std::int64_t>(&v->storage()) : nullptr;
  return n != nullptr ? static_cast<int>(*n) : 0;
}

std::string textIn(const Dictionary& d, const char* key) {
  const Value* v = find(d, key);
  return v != nullptr && v->string() != nullptr ? *v->string() : std::string();
}

// The result a child sent; nothing when its bytes are not one (it died before it could send it).
std::optional<FileResult> fromBytes(const std::string& bytes, const std::string& file) {
  const auto decoded = sim::decodeValue(bytes);
  const Dictionary* d = decoded ? decoded->dictionary() : nullptr;
  if (d == nullptr) return std::nullopt;
  FileResult r{numberIn(*d, "worst"),
               Tally{numberIn(*d, "passed"), numberIn(*d, "failedFiles"), numberIn(*d, "errorFiles"),
                     numberIn(*d, "expectations"), numberIn(*d, "failed")},
               textIn(*d, "out"), textIn(*d, "err"), std::nullopt};
  const Value* c = find(*d, "case");
  if (const Dictionary* cd = c != nullptr ? c->dictionary() : nullptr) {
    std::vector<std::string> failures;
    const Value* f = find(*cd, "failures");
    if (f != nullptr && f->array() != nullptr) {
      for (const Value& v : *f->array()) failures.push_back(v.string() != nullptr ? *v.string() : "");
    }
    const Value* s = find(*cd, "seconds");
    const auto* seconds = s != nullptr ? std::get_if<double>(&s->storage()) : nullptr;
    r.junitCase = JunitReport::Case{file,
                                    numberIn(*cd, "status"),
                                    numberIn(*cd, "expectations"),
                                    std::move(failures),
                                    seconds != nullptr ? *seconds : 0,
                                    textIn(*cd, "output")};
  }
  return r;
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
  const std::string bytes = sim::encodeValue(toValue(result));
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
    auto result = fromBytes(child.bytes, files[child.index]);
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
