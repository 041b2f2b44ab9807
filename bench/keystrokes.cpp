// Runs a fixed number of operations on a benchmark device, then prints the peak resident memory.
// Under callgrind, the difference between the counts at 2N and at N gives the instructions of N.
//
//   orvane_keystrokes MODE COUNT [N]
//     floor          the keystroke's floor: existence test, read and parse of the settings file
//     system         a keystroke without the extension      extension   with it
//     label-floor    the label's floor: read and parse (the label never tests for the file)
//     label-system   the globe key's label without the extension   label   with it (style 3, mode 1)
//     tap-floor      a globe tap's floor: two keystroke floors (both replacements test and reread)
//     tap            a globe tap end to end, with the extension   tap-system   without it
//     pref-write     the preference service's write of "KeyboardLastUsed" that a tap makes
//     reload N       reloadSettings with N keyboards selected of N active   reload-floor N   its floor
//     lean-floor, lean-label-floor, lean-tap-floor, lean-reload-floor N
//                    the same floors on plain system calls and a lean binary reader (lean_floor.h)
//     label-keyboards N, tap-keyboards N, tap-keyboards-system N, switcher-keyboards N
//                    the label (style 3, mode 1), a globe tap (mode 1; with and without the extension)
//                    and the switcher list (mode 2) with N keyboards selected of N active
//     send           one message send (int(int)) to an object of a class the process defined, through
//                    the runtime this program links (orvane_keystrokes: fast; orvane_keystrokes_gnu:
//                    GCC's libobjc, where every mode runs on one device in one process)
//     send-imp       the implementation the send finds, called as the send calls it: no lookup
//     send-floor     the method's function called through a pointer, as the platform calls one
//     any other mode COUNT N: with the settings file grown by a string of N bytes that nothing reads
//
//   orvane_keystrokes interleaved ROUNDS COUNT
//     CPU time of every mode above, taking turns within each round; each overhead's ratio to its
//     floor per round, then the median and the spread of the rounds.
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench_device.h"
#include "lean_floor.h"
#include "platform/class_definition.h"

namespace {

using namespace orvane;

Dictionary reloadSettingsFor(std::size_t n, std::vector<std::string>& keyboards) {
  keyboards.clear();
  Array selected;
  for (std::size_t i = 0; i < n; ++i) {
    keyboards.push_back("xx_" + std::to_string(i) + "@sw=Layout" + std::to_string(i));
    selected.emplace_back(keyboards.back());
  }
  Dictionary settings = bench::threeSelected();
  settings["SelectedKeyboards"] = Value(selected);
  return settings;
}

// What any implementation that rereads the file must pay: read it and parse it, and (for the
// keystroke and the tap) test that it exists first.
void readAndParse(sim::FileStore& files, bool existenceTest) {
  if (existenceTest && !files.exists(kSettingsPath)) std::abort();
  const auto bytes = files.read(kSettingsPath, sim::kMaxPlistBytes);
  if (!bytes || !sim::parsePlist(*bytes)) std::abort();
}

// The lean floor's read (and existence test) of the settings file: plain system calls on its host
// path, the lean reader. Checked once to build the very value the device's reader builds.
void leanReadAndParse(const std::string& path, bool existenceTest) {
  if (existenceTest && !bench::leanExists(path.c_str())) std::abort();
  const auto bytes = bench::leanRead(path.c_str());
  if (!bytes || !bench::LeanReader::parse(*bytes)) std::abort();
}

std::string checkedLeanPath(sim::FileStore& files) {
  std::string path = files.hostPath(kSettingsPath).value().string();
  const auto bytes = bench::leanRead(path.c_str());
  const auto lean = bench::LeanReader::parse(bytes.value());
  const auto device = sim::parsePlist(*bytes);
  if (!lean || !device || !(*lean == device->value)) {
    std::fprintf(stderr, "the lean reader does not build the device's value\n");
    std::abort();
  }
  return path;
}

// The method the send modes call. Never inlined: a send's floor calls it as the send does.
[[gnu::noinline]] int twice(int x) { return 2 * x; }

// One operation of a mode, on a device made for it.
struct Mode {
  std::unique_ptr<bench::BenchDevice> device;
  std::function<void()> once;
};

// The device a mode runs on: N keyboards selected for the reload and keyboard modes, else a
// settings file grown by N bytes.
std::unique_ptr<bench::BenchDevice> deviceFor(const std::string& what, std::size_t n) {
  const bool withExtension = what == "extension" || what == "label" || what == "tap" || what == "reload" ||
                             what == "pref-write" || what == "label-keyboards" || what == "tap-keyboards" ||
                             what == "switcher-keyboards";
  if (what == "reload" || what.ends_with("reload-floor") || what.find("-keyboards") != std::string::npos) {
    std::vector<std::string> keyboards;
    Dictionary settings = reloadSettingsFor(n, keyboards);
    if (what == "label-keyboards") settings["icon"] = Value(3);
    if (what == "switcher-keyboards") settings["mode"] = Value(2);
    return std::make_unique<bench::BenchDevice>(withExtension, settings, sim::PlistFormat::kBinary, keyboards);
  }
  // N, for the keystroke modes: a settings file grown by a string of N bytes the extension ignores.
  Dictionary settings = bench::threeSelected(what.starts_with("label") || what.starts_with("lean-label") ? 3 : 1);
  if (n > 0) settings["Padding"] = Value(std::string(n, 'p'));
  return std::make_unique<bench::BenchDevice>(withExtension, settings);
}

// A message send that its class's cache answers ("send"), the implementation it finds called as the
// send calls it ("send-imp"), and the method's function called through a pointer ("send-floor").
std::function<void()> sendMode(const std::string& what, bench::BenchDevice& d) {
  static constexpr objc::Selector<int(int)> kTwice{"twice:"};
  if (what == "send-floor") {
    // The platform calls an implementation through a pointer to a function, with nothing looked up.
    return [imp = &twice, sum = 0]() mutable {
      sum += imp(sum & 1);
      if (sum < 0) std::abort();
    };
  }
  objc::Class* cls = platform::ClassDefinition(*d.app, d.app->objc_getClass("NSObject"), "BenchTwice")
                         .method(kTwice, [](const objc::Id&, objc::Sel, int x) { return twice(x); })
                         .registerClass();
  objc::Id object = objc::sendClass(cls, platform::sel::new_);
  if (what == "send") {
    return [object, sum = 0]() mutable {
      sum += objc::send(object, kTwice, sum & 1);
      if (sum < 0) std::abort();
    };
  }
  using Imp = decltype(kTwice)::Imp;
  const auto* imp = static_cast<const Imp*>(objc::classLookup(cls, kTwice.name, typeid(int(int))));
  return [object, imp, sum = 0]() mutable {
    sum += (*imp)(object, kTwice.name, sum & 1);
    if (sum < 0) std::abort();
  };
}

Mode makeMode(const std::string& what, std::size_t n) {
  Mode m;
  m.device = deviceFor(what, n);
  bench::BenchDevice& d = *m.device;
  if (what == "floor") {
    m.once = [&d] { readAndParse(d.device->files(), true); };
  } else if (what == "label-floor" || what == "reload-floor") {
    m.once = [&d] { readAndParse(d.device->files(), false); };
  } else if (what == "tap-floor") {
    m.once = [&d] {
      readAndParse(d.device->files(), true);
      readAndParse(d.device->files(), true);
    };
  } else if (what == "lean-floor" || what == "lean-tap-floor") {
    const int reads = what == "lean-floor" ? 1 : 2;
    m.once = [path = checkedLeanPath(d.device->files()), reads] {
      for (int i = 0; i < reads; ++i) leanReadAndParse(path, true);
    };
  } else if (what == "lean-label-floor" || what == "lean-reload-floor") {
    m.once = [path = checkedLeanPath(d.device->files())] { leanReadAndParse(path, false); };
  } else if (what == "switcher-keyboards") {
    m.once = [&d] { d.app->askSwitcherList(); };
  } else if (what == "label" || what == "label-system" || what == "label-keyboards") {
    m.once = [&d] { d.app->askLabel(sim::kGlobeKeyName); };
  } else if (what == "pref-write") {
    // The preference service's share of a tap: "KeyboardLastUsed" set, as the commit sets it, and
    // written to the file by the synchronize of its announcement.
    m.once = [&d, i = std::size_t{0}]() mutable {
      static const char* const kIds[] = {"fr_FR@sw=AZERTY", "emoji@sw=Emoji", "de_DE"};
      d.app->CFPreferencesSetAppValue(platform::names::kKeyboardLastUsedKey, Value(kIds[i++ % 3]),
                                      platform::names::kKeyboardPreferencesDomain);
      d.app->CFPreferencesAppSynchronize(platform::names::kKeyboardPreferencesDomain);
    };
  } else if (what == "tap" || what == "tap-system" || what == "tap-keyboards" || what == "tap-keyboards-system") {
    m.once = [&d] {
      d.app->tapKey(sim::kGlobeKeyName);
      d.device->runUntilIdle();
    };
  } else if (what == "reload") {
    Settings* settings = &d.extension().settings();
    m.once = [settings] { settings->reloadSettings(); };
  } else if (what == "send" || what == "send-imp" || what == "send-floor") {
    m.once = sendMode(what, d);
  } else if (what == "system" || what == "extension") {
    m.once = [&d] { d.app->tapKey("q"); };
  } else {
    return {};
  }
  return m;
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int interleaved(int rounds, long count) {
  const std::vector<std::string> modes = {"floor",     "system", "extension",  "label-floor", "label-system", "label",
                                          "tap-floor", "tap",    "tap-system", "pref-write",  "reload-floor", "reload"};
  std::map<std::string, Mode> made;
  for (const std::string& m : modes) made[m] = makeMode(m, 64);
  std::map<std::string, std::vector<double>> ratios;
  for (int r = 0; r < rounds; ++r) {
    std::map<std::string, double> t;
    for (const std::string& m : modes) {
      const double start = cpuSeconds();
      for (long i = 0; i < count; ++i) made[m].once();
      t[m] = cpuSeconds() - start;
    }
    ratios["keystroke overhead / floor"].push_back((t["extension"] - t["system"]) / t["floor"]);
    ratios["label overhead / label floor"].push_back((t["label"] - t["label-system"]) / t["label-floor"]);
    ratios["tap's own share / two floors"].push_back((t["tap"] - t["tap-system"] - t["pref-write"]) / t["tap-floor"]);
    ratios["reload 64x64 / its floor"].push_back(t["reload"] / t["reload-floor"]);
  }
  for (auto& [name, values] : ratios) {
    std::sort(values.begin(), values.end());
    std::printf("%-30s median %.2f  (%.2f to %.2f over %d rounds)\n", name.c_str(), values[values.size() / 2],
                values.front(), values.back(), rounds);
  }
  return 0;
}

// A count given on the command line: a whole number from 1 up, or 0 for anything else.
long countOf(const char* text) {
  const std::string_view s(text);
  long value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  return error == std::errc() && end == s.data() + s.size() && value > 0 ? value : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // MODE COUNT [N], or interleaved ROUNDS COUNT: the numbers after the mode.
  const long first = argc >= 3 ? countOf(argv[2]) : 0;
  const long second = argc >= 4 ? countOf(argv[3]) : 1;
  const bool interleavedRounds = argc >= 2 && std::string_view(argv[1]) == "interleaved";
  if (first == 0 || second == 0 || argc > 4 || (interleavedRounds && argc != 4)) {
    std::fprintf(stderr,
                 "usage: %s floor|system|extension|label-floor|label-system|label|tap-floor|tap COUNT\n"
                 "       %s reload|reload-floor COUNT N\n       %s interleaved ROUNDS COUNT\n"
                 "(each a whole number from 1 up)\n",
                 argv[0], argv[0], argv[0]);
    return 2;
  }
  if (interleavedRounds) return interleaved(static_cast<int>(first), second);
  const std::string what = argv[1];
  const long count = first;
  const std::size_t n = argc == 4 ? static_cast<std::size_t>(second) : (what.starts_with("reload") ? 64 : 0);
  Mode mode = makeMode(what, n);
  if (!mode.once) {
    std::fprintf(stderr, "unknown mode %s\n", what.c_str());
    return 2;
  }
  for (long i = 0; i < count; ++i) mode.once();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%s %ld: peak resident %ld KiB\n", what.c_str(), count, usage.ru_maxrss);
  return 0;
}
