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
// microseconds per operation, and that time over the ping-pong's time for as many round trips.
#include <sys/socket.h>
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

// Microseconds per round trip of 64 bytes each way between this process and a child.
double pingPongMicroseconds(int rounds) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  std::array<char, 64> message{};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    while (::read(fds[1], message.data(), message.size()) == static_cast<ssize_t>(message.size()) &&
           ::write(fds[1], message.data(), message.size()) == static_cast<ssize_t>(message.size())) {
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (::write(fds[0], message.data(), message.size()) != static_cast<ssize_t>(message.size()) ||
        ::read(fds[0], message.data(), message.size()) != static_cast<ssize_t>(message.size()))
      std::abort();
  }
  const double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  return took / rounds;
}

struct Measured {
  double roundTrips;
  double oneWay;
  double writes;
  double reads;
  double microseconds;
};

Measured measure(int count, const std::function<void()>& operation) {
  const sim::ChannelTraffic before = sim::channelTraffic();
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) operation();
  const double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  const sim::ChannelTraffic& after = sim::channelTraffic();
  const auto per = [count](std::uint64_t a, std::uint64_t b) { return static_cast<double>(a - b) / count; };
  return {per(after.roundTrips(), before.roundTrips()), per(after.oneWay(), before.oneWay()),
          per(after.writes, before.writes), per(after.reads, before.reads), took / count};
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

void print(const std::vector<Row>& rows, const std::vector<Measured>& measured, double floor) {
  std::printf("%-10s %7s %12s %9s %8s %8s %12s %14s\n", "operation", "count", "round trips", "one-way", "writes",
              "reads", "us per op", "x round trips");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Measured& m = measured[i];
    const double floorOfOp = m.roundTrips * floor;
    std::printf("%-10s %7d %12.2f %9.2f %8.2f %8.2f %12.1f %14.2f\n", rows[i].name, rows[i].count, m.roundTrips,
                m.oneWay, m.writes, m.reads, m.microseconds, floorOfOp > 0 ? m.microseconds / floorOfOp : 0.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argument(argv, argc, 1, 1000);
  const int applications = argument(argv, argc, 2, 1);
  rig::Rig rig(true, sim::Storage::kOnDisk);
  sim::Device& device = rig.device();
  sim::Process& app = setUp(device, applications);

  const double floorBefore = pingPongMicroseconds(20000);
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
  for (const Row& row : rows) measured.push_back(measure(row.count, row.operation));
  const double floorAfter = pingPongMicroseconds(20000);
  const double floor = std::min(floorBefore, floorAfter);

  std::printf("SpringBoard and %d application%s, each in an OS process of its own\n", applications,
              applications == 1 ? "" : "s");
  std::printf("ping-pong floor: %.1f us per round trip (%.1f before, %.1f after the operations)\n", floor, floorBefore,
              floorAfter);
  print(rows, measured, floor);
  return 0;
}
