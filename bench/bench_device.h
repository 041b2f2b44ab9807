// The devices the benchmarks measure: six active keyboards, three of them selected, mode 1; one
// application, with or without the extension. The trace keeps no events, so long runs measure the
// keyboard and not the trace.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rig/rig.h"
#include "sim/device/device.h"
#include "sim/plist/plist_io.h"
#include "startup/orvane.h"

namespace orvane::bench {

inline const std::vector<std::string> kSixKeyboards = {
    "en_US@hw=US;sw=QWERTY", "fr_FR@sw=AZERTY", "de_DE", "es_ES", "it_IT", "emoji@sw=Emoji"};

inline Dictionary threeSelected(std::int32_t icon = 1) {
  return {{"enabled", Value(true)},
          {"mode", Value(1)},
          {"icon", Value(icon)},
          {"DefaultKeyboard", Value("de_DE")},
          {"SelectedKeyboards", Value(Array{Value("fr_FR@sw=AZERTY"), Value("emoji@sw=Emoji"), Value("de_DE")})}};
}

struct BenchDevice {
  explicit BenchDevice(bool withExtension, const Dictionary& settings = threeSelected(),
                       sim::PlistFormat format = sim::PlistFormat::kBinary,
                       const std::vector<std::string>& keyboards = kSixKeyboards)
      // The processor's work is measured, not the disk's: writes are not flushed to storage.
      : rig(withExtension, sim::Storage::kOnDisk), device(&rig.device()) {
    device->trace().setRecording(false);
    device->setKeyboards(keyboards);
    device->files().writeAtomically(kSettingsPath, sim::serializePlist(Value(settings), format).value());
    app = device->start("com.example.app").local();
  }
  Orvane& extension() { return *rig::extensionIn(*app); }

  rig::Rig rig;
  sim::Device* device;
  sim::LocalProcess* app = nullptr;  // the fast runtime: every process is this one
};

}  // namespace orvane::bench
