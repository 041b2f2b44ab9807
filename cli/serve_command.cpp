// `orvane-sim serve`: the live device, which a page in the browser drives; the trace goes to the
// page, not to the terminal.
#include <iostream>
#include <sstream>

#include "cli/live/front.h"
#include "cli/program.h"

namespace orvane::cli {

namespace {

// The device the live page starts on when no file sets one up.
constexpr const char* kLiveSetUp =
    "keyboards en_US@hw=US;sw=QWERTY fr_FR@sw=AZERTY de_DE emoji@sw=Emoji ru_RU\n"
    "activator installed\n"
    "start springboard\n"
    "start com.example.notes\n"
    "show-keyboard com.example.notes\n"
    "run\n"
    "label com.example.notes\n";

}  // namespace

int serveCommand(const Options& options) {
  std::string script = kLiveSetUp;
  std::string name = "set-up";
  if (!options.inputs.empty()) {
    std::string error;
    name = options.inputs.front();
    if (!readScenario(name, script, error)) {
      std::cerr << "orvane-sim serve: " << error << "\n";
      return 2;
    }
  }
  DeviceFolder folder(options.root);
  auto device = makeDevice(folder, options);
  std::ostringstream quiet;
  std::ostringstream errors;
  OutputOptions outputOptions;
  outputOptions.format = TraceFormat::kNone;
  Output output(quiet, errors, outputOptions);
  LiveSession session(*device, output, errors);
  // A set-up that does not hold is said, as `run` says it, and the device is not served.
  if (const LiveSession::SetUp setUp = session.setUp(script, name); setUp.status != 0) {
    std::cerr << "orvane-sim serve: " << setUp.error << "\n";
    return setUp.status;
  }
  const int status = serveLive(session, options.port, std::cout);
  if (folder.kept()) std::cerr << "orvane-sim: the device is kept in " << folder.path().string() << "\n";
  return status;
}

}  // namespace orvane::cli
