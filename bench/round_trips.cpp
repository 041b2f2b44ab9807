// How much the real runtime's processes talk: for each operation, the round trips between the
// device's OS process and the processes' (a message and its answer), the messages that need no
// answer, and the time, beside the floor any two processes pay for one round trip (a ping-pong of
// 64-byte messages over a Unix socket pair, measured in the same run).
//
//   orvane_round_trips [COUNT] [APPLICATIONS]
//
// A device on GCC's libobjc with the extension, every process in an OS process of its own:
// SpringBoard and APPLICATIONS applications (1 unless given), the keyboard shown in the first, mode 1
// with three keyboards selected. COUNT (1,000 unless given) of each operation:
//   tap        a globe tap in the first application, run until every process is idle
//   keystroke  a letter typed in it, run until idle
//   label      the globe key's label asked of it
//   delivery   the settings' change notification posted, delivered to every process that observes
//              it and run until idle
//   start      an application started, run until idle, and stopped (COUNT / 10 of them)
// The columns: round trips and one-way messages per operation, and the writes and reads that carried
// them, all counted by the device's channels (every message of every process passes there);
// microseconds per operation and the ping-pong's round trip, each the median of nine rounds that
// take turns, and the one over the other times the operation's round trips. Last, the files a tap
// must touch, touched directly by one process: the rest of a tap's floor.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bench_device.h"
#include "settings/settings.h"
#include "sim/device/channel.h"

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

// A child that answers every 64-byte message with the same: the floor any two processes pay for a
// round trip. It is measured between the operations' rounds, so that the machine's load weighs on
// both alike.
class PingPong {
 public:
  PingPong() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    child_ = ::fork();
    if (child_ == 0) {
      ::close(fds[0]);
      while (::read(fds[1], message_.data(), message_.size()) == static_cast<ssize_t>(message_.size()) &&
             ::write(fds[1], message_.data(), message_.size()) == static_cast<ssize_t>(message_.size())) {
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~PingPong() {
    ::close(fd_);
    ::waitpid(child_, nullptr, 0);
  }
  PingPong(const PingPong&) = delete;
  PingPong& operator=(const PingPong&) = delete;

  // Microseconds per round trip, over `rounds` of them.
  double measure(int rounds) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
      if (::write(fd_, message_.data(), message_.size()) != static_cast<ssize_t>(message_.size()) ||
          ::read(fd_, message_.data(), message_.size()) != static_cast<ssize_t>(message_.size()))
        std::abort();
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
  }

 private:
  std::array<char, 64> message_{};
  pid_t child_ = -1;
  int fd_ = -1;
};

// The files a mode-1 tap must touch, touched directly by one process: the settings read twice (the
// extension asks whether the file is there, then reads it, at each of its two reads), and the
// preference daemon's write of the keyboard preferences (the domain locked, its file read, the new
// file written beside it and swapped in). Microseconds per tap.
double fileWorkMicroseconds(const std::filesystem::path& folder, int count) {
  std::filesystem::create_directories(folder);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::string settings(175, 's');
  const std::string preferences(83, 'p');
  const auto put = [dir](const char* name, const std::string& text) {
    const int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    ::close(fd);
  };
  put("settings.plist", settings);
  put("preferences.plist", preferences);
  char buffer[8192];
  const auto readWhole = [&buffer](int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
  };
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    for (int read = 0; read < 2; ++read) {
      ::close(::openat(dir, "settings.plist", O_PATH | O_CLOEXEC));
      readWhole(::openat(dir, "settings.plist", O_RDONLY | O_CLOEXEC));
    }
    const int lock = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::flock(lock, LOCK_EX);
    readWhole(::openat(dir, "preferences.plist", O_RDONLY | O_CLOEXEC));
    const int fd = ::openat(dir, ".preferences.plist.new", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, preferences.data(), preferences.size()) != static_cast<ssize_t>(preferences.size()))
      std::abort();
    ::close(fd);
    ::renameat2(dir, ".preferences.plist.new", dir, "preferences.plist", RENAME_EXCHANGE);
    ::unlinkat(dir, ".preferences.plist.new", 0);
    ::close(lock);
  }
  const double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
  ::close(dir);
  std::filesystem::remove_all(folder);
  return took;
}

struct Measured {
  double roundTrips;
  double oneWay;
  double writes;
  double reads;
  double microseconds;  // the median round's, per operation
  double floor;         // the ping-pong's round trip, the median round's
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The operation `count` times, in kRounds rounds, each after a ping-pong of as many round trips as
// the round's operations made (at least 1,000).
constexpr int kRounds = 9;

Measured measure(int count, const std::function<void()>& operation, PingPong& pingPong) {
  const sim::ChannelTraffic before = sim::channelTraffic();
  std::vector<double> times;
  std::vector<double> floors;
  const int perRound = std::max(count / kRounds, 1);
  int trips = 1000;
  for (int round = 0; round < kRounds; ++round) {
    floors.push_back(pingPong.measure(trips));
    const std::uint64_t tripsBefore = sim::channelTraffic().roundTrips();
    const auto start = Clock::now();
    for (int i = 0; i < perRound; ++i) operation();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / perRound);
    trips = std::max(1000, static_cast<int>(sim::channelTraffic().roundTrips() - tripsBefore));
  }
  const sim::ChannelTraffic& after = sim::channelTraffic();
  const double done = static_cast<double>(perRound) * kRounds;
  const auto per = [done](std::uint64_t a, std::uint64_t b) { return static_cast<double>(a - b) / done; };
  return {per(after.roundTrips(), before.roundTrips()),
          per(after.oneWay(), before.oneWay()),
          per(after.writes, before.writes),
          per(after.reads, before.reads),
          median(times),
          median(floors)};
}

int argument(char** argv, int argc, int at, int otherwise) {
  if (argc <= at) return otherwise;
  int value = 0;
  const std::string_view text = argv[at];
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc() || value <= 0) {
    std::fprintf(stderr, "usage: orvane_round_trips [COUNT] [APPLICATIONS]\n");
    std::exit(2);
  }
  return value;
}

// The device measured: SpringBoard and `applications` applications, the keyboard shown in the
// first, which is given back.
sim::Process& setUp(sim::Device& device, int applications) {
  device.setSeparateProcesses(true);
  device.trace().setRecording(false);
  device.setKeyboards(bench::kSixKeyboards);
  device.files().writeAtomically(kSettingsPath,
                                 sim::serializePlist(Value(bench::threeSelected()), sim::PlistFormat::kBinary).value());
  device.start("com.apple.springboard");
  sim::Process* app = nullptr;
  for (int i = 0; i < applications; ++i) {
    sim::Process& started = device.start("com.example.app" + std::to_string(i));
    if (app == nullptr) app = &started;
  }
  app->showKeyboard();
  device.runUntilIdle();
  return *app;
}

struct Row {
  const char* name;
  int count;
  std::function<void()> operation;
};

void print(const std::vector<Row>& rows, const std::vector<Measured>& measured) {
  std::printf("%-10s %7s %12s %9s %8s %8s %12s %12s %14s\n", "operation", "count", "round trips", "one-way", "writes",
              "reads", "us per op", "floor us", "x round trips");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Measured& m = measured[i];
    const double floorOfOp = m.roundTrips * m.floor;
    std::printf("%-10s %7d %12.2f %9.2f %8.2f %8.2f %12.1f %12.1f %14.2f\n", rows[i].name, rows[i].count, m.roundTrips,
                m.oneWay, m.writes, m.reads, m.microseconds, m.floor, floorOfOp > 0 ? m.microseconds / floorOfOp : 0.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argument(argv, argc, 1, 1000);
  const int applications = argument(argv, argc, 2, 1);
  rig::Rig rig(true, sim::Storage::kOnDisk);
  sim::Device& device = rig.device();
  sim::Process& app = setUp(device, applications);

  PingPong pingPong;
  const std::vector<Row> rows = {
      {"tap", count,
       [&] {
         app.tapKey(sim::kGlobeKeyName);
         device.runUntilIdle();
       }},
      {"keystroke", count,
       [&] {
         app.tapKey("q");
         device.runUntilIdle();
       }},
      {"label", count, [&] { app.askLabel(sim::kGlobeKeyName); }},
      {"delivery", count,
       [&] {
         device.postDarwin(std::string(kPrefsChangedNotification));
         device.runUntilIdle();
       }},
      {"start", std::max(count / 10, 1),
       [&] {
         device.start("com.example.started");
         device.runUntilIdle();
         device.stop("com.example.started");
       }},
  };
  std::vector<Measured> measured;
  measured.reserve(rows.size());
  for (const Row& row : rows) measured.push_back(measure(row.count, row.operation, pingPong));

  std::printf("SpringBoard and %d application%s, each in an OS process of its own\n", applications,
              applications == 1 ? "" : "s");
  std::printf("floor: a ping-pong's round trip before each of the %d rounds of an operation (medians)\n", kRounds);
  print(rows, measured);
  std::printf("a tap's files, touched by one process: %.1f us per tap\n",
              fileWorkMicroseconds(device.root().parent_path() / ("file-floor-" + std::to_string(::getpid())), count));
  return 0;
}
