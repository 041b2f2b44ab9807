// The HTTP front of `orvane-sim serve`: the page, its script and its style, the token that admits a
// request, the screening and the rate of requests, and the routes that hand a request to the session.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "cli/live/session.h"

namespace orvane::cli {

// Serves the session's page on 127.0.0.1:`port` (0: any free port) until SIGINT or SIGTERM; prints
// the page's address on a line of its own to `out`, with its secret token after the '#' (a part of
// the address a browser never sends, logs or passes on). Exit status 0, or 2 when the port cannot
// be had.
int serveLive(LiveSession& session, int port, std::ostream& out);

// Where a device is served: the page's door on the loopback address (a port, 0 for any free one;
// -1 for none until a client asks for it), and the local door, a Unix socket at `local` (none when
// empty) that only this user may use, where the device's owner also sends lines, follows its log,
// asks for its report and shuts it down. `ready` is called once the doors are open.
struct Doors {
  int port = -1;
  std::string local;
  std::function<void()> ready;
  std::function<void()> after;  // after each request is answered
};
int serveDevice(LiveSession& session, const Doors& doors, std::ostream& out);

// The device a live page starts on when no file sets one up: five keyboards, Activator,
// SpringBoard and an application with its keyboard shown.
inline constexpr const char* kLiveSetUp =
    "keyboards en_US@hw=US;sw=QWERTY fr_FR@sw=AZERTY de_DE emoji@sw=Emoji ru_RU\n"
    "activator installed\n"
    "start springboard\n"
    "start com.example.notes\n"
    "show-keyboard com.example.notes\n"
    "run\n"
    "label com.example.notes\n";

// The page: the phone, the controls beside it, the trace, the recorder (it holds nothing of the
// device, nor the token); and its script and its style, served from the page's own paths.
std::string livePage();
std::string liveScript();
std::string liveStyle();

}  // namespace orvane::cli
