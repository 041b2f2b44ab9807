// The HTTP front of `orvane-sim serve`: the page, its script and its style, the token that admits a
// request, the screening and the rate of requests, and the routes that hand a request to the session.
#pragma once

#include <ostream>
#include <string>

#include "cli/live/session.h"

namespace orvane::cli {

// Serves the session's page on 127.0.0.1:`port` (0: any free port) until SIGINT or SIGTERM; prints
// the page's address on a line of its own to `out`, with its secret token after the '#' (a part of
// the address a browser never sends, logs or passes on). Exit status 0, or 2 when the port cannot
// be had.
int serveLive(LiveSession& session, int port, std::ostream& out);

// The page: the phone, the controls beside it, the trace, the recorder (it holds nothing of the
// device, nor the token); and its script and its style, served from the page's own paths.
std::string livePage();
std::string liveScript();
std::string liveStyle();

}  // namespace orvane::cli
