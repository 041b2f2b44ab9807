// Runs a fixed number of keystrokes, label queries or globe taps on a benchmark device, then prints
// the peak resident memory. Under callgrind, the difference between two counts gives the
// instructions of one.
//   orvane_keystrokes system|extension|floor|label|label-system|tap COUNT
#include <plist/plist.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/bench_device.h"

int main(int argc, char** argv) {
  using namespace orvane;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s system|extension|floor|label|label-system|tap COUNT\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1];
  const long count = std::atol(argv[2]);
  const bool withExtension = what != "system" && what != "floor" && what != "label-system";
  bench::BenchDevice d(withExtension, bench::threeSelected(what.starts_with("label") ? 3 : 1));
  for (long i = 0; i < count; ++i) {
    if (what == "floor") {
      d.device->files().exists(kSettingsPath);
      const auto bytes = d.device->files().read(kSettingsPath, 1 << 20);
      plist_t root = nullptr;
      plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
      plist_free(root);
    } else if (what.starts_with("label")) {
      d.app->askLabel("International-Key");
    } else if (what == "tap") {
      d.app->tapKey("International-Key");
      d.device->runUntilIdle();
    } else {
      d.app->tapKey("q");
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%s %ld: peak resident %ld KiB\n", what.c_str(), count, usage.ru_maxrss);
  return 0;
}
