// A device for fuzz targets: made once per fuzzing process and reused across inputs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "rig/rig.h"
#include "sim/device/device.h"
#include "sim/plist/plist_io.h"
#include "sim/standins/activator.h"
#include "startup/orvane.h"

namespace orvane::fuzz {

// Stops the fuzzer with a message: an invariant of the extension did not hold.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct FuzzDevice {
  explicit FuzzDevice(double version = 1240.1) : device(&rig.device()) {
    device->trace().setRecording(false);  // one device serves every input: keep no history
    device->setVersion(version);
    device->setActivatorInstalled(true);
    device->setKeyboards(std::vector<std::string>{"en_US@hw=US;sw=QWERTY", "fr_FR", "emoji@sw=Emoji", "de_DE"});
    springboard = &rig.start("com.apple.springboard");
    app = &rig.start("com.example.app");
  }
  void putFile(std::string_view path, std::string_view bytes) {
    if (!device->files().writeAtomically(path, bytes)) broken("cannot write the input file");
  }
  std::optional<std::string> readFile(std::string_view path) { return device->files().read(path, 16 << 20); }

  rig::Rig rig;
  sim::Device* device;
  sim::LocalProcess* springboard = nullptr;
  sim::LocalProcess* app = nullptr;
};

}  // namespace orvane::fuzz
