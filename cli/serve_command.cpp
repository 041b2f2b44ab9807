// `orvane-sim serve`: the live device, which a page in the browser drives; the trace goes to the
// page, not to the terminal.
#include <iostream>
#include <sstream>

#include "cli/live/front.h"
#include "cli/program.h"

namespace orvane::cli {

int serveCommand(const Options& options) {
  if (options.device) return serveOnDevice(options);
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
  QuietSession live(*device);
  LiveSession& session = live.session;
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
