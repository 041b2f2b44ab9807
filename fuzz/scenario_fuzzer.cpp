// The scenario language: any text is either run or refused line by line; nothing crashes, and
// nothing is written outside the device's root folder. The one fuzz target of the command line
// itself, so the one that includes its header.
#include <sstream>

#include "cli/language/scenario.h"
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  rig::Rig rig;
  sim::Device* device = &rig.device();
  std::ostringstream out;
  std::ostringstream err;
  cli::ScenarioRunner runner(*device, out, err, cli::TraceFormat::kNone);
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::string line;
  int lines = 0;
  // A bounded script: the run loop has its own bound, this keeps one input quick.
  while (std::getline(in, line) && ++lines <= 64) {
    if (line.find("run") != std::string::npos) device->runUntilIdle(2000);
    runner.runLine(line, "fuzz", lines);
  }
  return 0;
}
