// Runs one rewrite of a property-list file on a fresh device, for tests that judge the result with
// another reader (tests/plist_differential.py, with Python's plistlib):
//
//   rewrite_driver ACTION INPUT OUTDIR
//
// INPUT's bytes are put in place of the file ACTION rewrites; afterwards OUTDIR holds that file as
// "result.plist" (when it exists) and every file set aside beside it, under its own name.
//   mode                 the settings file, through the mode action
//   autocorrection-file  com.apple.Preferences.plist, through the auto-correction action (version 1140.0)
//   autocorrection-pref  the same through the preference service (version 1141.0)
//   globe-tap            com.apple.Preferences.plist, through a mode-1 globe tap ("KeyboardLastUsed")
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "rig/rig.h"
#include "settings/settings.h"
#include "sim/standins/activator.h"

namespace {

constexpr std::string_view kSystemPreferences = "/var/mobile/Library/Preferences/com.apple.Preferences.plist";

}  // namespace

int main(int argc, char** argv) {
  using namespace orvane;
  if (argc != 4) {
    std::fprintf(stderr, "usage: rewrite_driver ACTION INPUT OUTDIR\n");
    return 2;
  }
  const std::string action = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::filesystem::path outDir = argv[3];

  rig::Rig t;
  sim::Device& device = t.device();
  device.setVersion(action == "autocorrection-file" ? 1140.0 : action == "autocorrection-pref" ? 1141.0 : 1240.1);
  device.setActivatorInstalled(true);
  if (!device.setKeyboards(std::vector<std::string>{"en_US", "fr_FR", "de_DE"})) return 2;
  std::string path(kSystemPreferences);
  if (action == "mode") {
    path = std::string(kSettingsPath);
    t.writeSettingsBytes(input);
  } else {
    t.writeSettings(
        Dictionary{{"mode", Value(1)}, {"SelectedKeyboards", Value(Array{Value("en_US"), Value("de_DE")})}});
    if (!device.files().writeAtomically(path, input)) return 2;
  }
  sim::Process& springboard = t.start("com.apple.springboard");
  if (action == "mode") {
    springboard.fireActivatorEvent("net.varnholt.orvane.change-mode");
  } else if (action == "autocorrection-file" || action == "autocorrection-pref") {
    springboard.fireActivatorEvent("net.varnholt.orvane.change-autocorrection");
  } else if (action == "globe-tap") {
    sim::Process& app = t.start("com.example.app");
    app.tapKey(sim::kGlobeKeyName);
  } else {
    std::fprintf(stderr, "unknown action %s\n", action.c_str());
    return 2;
  }
  device.runUntilIdle();

  const auto host = *device.files().hostPath(path);
  std::filesystem::create_directories(outDir);
  std::error_code ec;
  if (std::filesystem::exists(host))
    std::filesystem::copy_file(host, outDir / "result.plist", std::filesystem::copy_options::overwrite_existing, ec);
  for (const auto& entry : std::filesystem::directory_iterator(host.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".unreadable") != std::string::npos) {
      std::filesystem::copy_file(entry.path(), outDir / name, std::filesystem::copy_options::overwrite_existing, ec);
    }
  }
  return ec ? 1 : 0;
}
