// The cost of the extension on the keyboard's hot paths, each against the floor of its design: one
// existence test, one read and one parse of the settings file, measured in the same run.
#include <benchmark/benchmark.h>

#include "bench_device.h"

namespace orvane::bench {
namespace {

// The floor: what any implementation that rereads the file on every call must pay.
void floorOnce(sim::FileStore& files) {
  benchmark::DoNotOptimize(files.exists(kSettingsPath));
  const auto bytes = files.read(kSettingsPath, sim::kMaxPlistBytes);
  benchmark::DoNotOptimize(sim::parsePlist(*bytes));
}

void BM_Floor(benchmark::State& state) {
  BenchDevice d(false, threeSelected(), state.range(0) == 0 ? sim::PlistFormat::kBinary : sim::PlistFormat::kXml);
  for (auto _ : state) floorOnce(d.device->files());
}
BENCHMARK(BM_Floor)->ArgName("xml")->Arg(0)->Arg(1);

// A touch-up on an ordinary key, with the system alone and with the extension's replacement.
void BM_KeystrokeSystem(benchmark::State& state) {
  BenchDevice d(false);
  for (auto _ : state) d.app->tapKey("q");
}
BENCHMARK(BM_KeystrokeSystem);

void BM_KeystrokeExtension(benchmark::State& state) {
  BenchDevice d(true);
  for (auto _ : state) d.app->tapKey("q");
}
BENCHMARK(BM_KeystrokeExtension);

// The globe key's label, style 3 in mode 1: a reload and the look-ahead.
void BM_LabelSystem(benchmark::State& state) {
  BenchDevice d(false, threeSelected(3));
  for (auto _ : state) d.app->askLabel(sim::kGlobeKeyName);
}
BENCHMARK(BM_LabelSystem);

void BM_LabelExtension(benchmark::State& state) {
  BenchDevice d(true, threeSelected(3));
  for (auto _ : state) d.app->askLabel(sim::kGlobeKeyName);
}
BENCHMARK(BM_LabelExtension);

// A globe tap end to end: replacement, queued task, commit with its preference write and four
// announcements. The preference write alone is the preference service's share.
void BM_GlobeTap(benchmark::State& state) {
  BenchDevice d(true);
  for (auto _ : state) {
    d.app->tapKey(sim::kGlobeKeyName);
    d.device->runUntilIdle();
  }
}
BENCHMARK(BM_GlobeTap);

void BM_GlobeTapPreferenceWrite(benchmark::State& state) {
  BenchDevice d(true);
  const char* const ids[] = {"fr_FR@sw=AZERTY", "emoji@sw=Emoji", "de_DE"};
  std::size_t i = 0;
  for (auto _ : state) {
    d.app->CFPreferencesSetAppValue(platform::names::kKeyboardLastUsedKey, Value(ids[i++ % 3]),
                                    platform::names::kKeyboardPreferencesDomain);
  }
}
BENCHMARK(BM_GlobeTapPreferenceWrite);

// reloadSettings as the selection and the active list grow together.
void BM_ReloadSettings(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<std::string> keyboards;
  Array selected;
  for (std::size_t i = 0; i < n; ++i) {
    keyboards.push_back("xx_" + std::to_string(i) + "@sw=Layout" + std::to_string(i));
    selected.emplace_back(keyboards.back());
  }
  Dictionary settings = threeSelected();
  settings["SelectedKeyboards"] = Value(selected);
  BenchDevice d(true, settings, sim::PlistFormat::kBinary, keyboards);
  Settings& cache = d.extension().settings();
  for (auto _ : state) cache.reloadSettings();
  state.counters["keyboards"] = static_cast<double>(cache.keyboardCount());
}
BENCHMARK(BM_ReloadSettings)->ArgName("n")->Arg(1)->Arg(4)->Arg(16)->Arg(64);

void BM_FloorForReload(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Array selected;
  for (std::size_t i = 0; i < n; ++i)
    selected.emplace_back("xx_" + std::to_string(i) + "@sw=Layout" + std::to_string(i));
  Dictionary settings = threeSelected();
  settings["SelectedKeyboards"] = Value(selected);
  BenchDevice d(false, settings);
  for (auto _ : state) floorOnce(d.device->files());
}
BENCHMARK(BM_FloorForReload)->ArgName("n")->Arg(1)->Arg(4)->Arg(16)->Arg(64);

}  // namespace
}  // namespace orvane::bench

BENCHMARK_MAIN();
