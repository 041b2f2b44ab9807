#include "cli/live/front.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <random>

#include "cli/http/http_server.h"
#include "cli/output/pages.h"
#include "sim/trace/trace.h"

namespace orvane::cli {

namespace {
// Requests per second the server answers a page before it refuses with 429.
constexpr int kRequestsPerSecond = 200;
}  // namespace

namespace {

std::string newToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", random());
    token += part;
  }
  return token;
}

// Constant time, so that the token cannot be guessed a character at a time.
bool sameToken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

// The token a request gives: in the X-Orvane-Token header, and nowhere else. A link or a form cannot
// set a header, and a header is never kept or sent on by the browser as a cookie is (cookies are not
// kept apart by port: another server on this machine would be sent it).
std::string_view givenToken(const http::Request& request) { return request.header("x-orvane-token").value_or(""); }

// A budget of requests for each page, a fixed window of one second each: a page names itself
// (X-Orvane-Page, a name it makes when it loads), so one page's flood spends its own budget and
// never another's; requests that name no page share one. The pages are few; past kPages the one
// whose window began longest ago gives its place up.
class RateLimit {
 public:
  bool take(std::string_view page) {
    constexpr std::size_t kPages = 64;
    const auto now = std::chrono::steady_clock::now();
    auto it = windows_.find(page);
    if (it == windows_.end()) {
      if (windows_.size() >= kPages) {
        windows_.erase(std::ranges::min_element(windows_, {}, [](const auto& w) { return w.second.start; }));
      }
      it = windows_.emplace(std::string(page), Window{now, 0}).first;
    }
    Window& window = it->second;
    if (now - window.start >= std::chrono::seconds(1)) window = Window{now, 0};
    return ++window.count <= kRequestsPerSecond;
  }

 private:
  struct Window {
    std::chrono::steady_clock::time_point start;
    int count;
  };
  std::map<std::string, Window, std::less<>> windows_;
};

std::uint64_t sinceOf(const http::Request& request) {
  const std::string_view text = request.param("since").value_or("");
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && end == text.data() + text.size() ? n : 0;
}

// What the server hands out: the page, its script and its style.
struct Page {
  std::string html;
  std::string script;
  std::string style;
};

// The page, its script and its style hold nothing of the device (nor the token): they are the same
// for everyone.
bool ownFile(const http::Request& request) {
  return request.method == "GET" && (request.path == "/" || request.path == "/live.js" || request.path == "/live.css");
}

// Every request, once its head has arrived: the loopback address and this port as its host (no
// other name resolves here, so a page elsewhere cannot reach the device by rebinding its name), no
// foreign origin, the token, and then the rate of the requests that carry it. Refused before they
// are counted: requests without the token (a flood from another page or process) spend none of the
// budget, so they cannot starve the page's own.
http::Screening screen(const http::Request& request, const std::string& token, RateLimit& rate, int port) {
  if (request.local) {
    // The local door is its user's alone (the server asked the kernel who connected): no browser
    // reaches it, so no name, origin or token is looked at, and the user's own scripts are not
    // counted against a budget.
    if (request.method == "GET" || request.method == "POST") return {.proven = true};
    http::Response refused = http::Response::text(405, "GET or POST only");
    refused.headers.emplace_back("Allow", "GET, POST");
    return {.refusal = refused};
  }
  const auto fromHere = [port](std::string_view value, const std::string& scheme) {
    return value == scheme + "127.0.0.1:" + std::to_string(port) ||
           value == scheme + "localhost:" + std::to_string(port);
  };
  const auto host = request.header("host");
  if (!host) return {.refusal = http::Response::text(400, "no host")};
  if (!fromHere(*host, "")) return {.refusal = http::Response::text(421, "not this server's address")};
  if (auto origin = request.header("origin"); origin && !fromHere(*origin, "http://")) {
    return {.refusal = http::Response::text(403, "a foreign origin")};
  }
  if (request.method != "GET" && request.method != "POST") {
    http::Response refused = http::Response::text(405, "GET or POST only");
    refused.headers.emplace_back("Allow", "GET, POST");
    return {.refusal = refused};
  }
  // The page's script and style hold nothing of the device, and are not counted either; they
  // prove nothing of their client.
  if (ownFile(request)) return {};
  if (!sameToken(std::string(givenToken(request)), token))
    return {.refusal = http::Response::text(403, "no token, or not this server's")};
  if (!rate.take(request.header("x-orvane-page").value_or(""))) {
    http::Response busy = http::Response::text(429, "too many requests");
    busy.headers.emplace_back("Retry-After", "1");  // the page waits that long and sends again
    return {.refusal = busy, .proven = true};
  }
  return {.proven = true};
}

http::Response content(std::string body, std::string type) {
  http::Response r;
  r.body = std::move(body);
  r.contentType = std::move(type);
  return r;
}

// The page, and what it asks of the session.
http::Response route(const http::Request& request, LiveSession& session, const Page& page) {
  const bool get = request.method == "GET";
  http::Response r = http::Response::text(404, "no such page");
  if (get && request.path == "/") {
    // The page runs its own script only (no inline script or style), talks to this server only,
    // and is never framed. It takes the token from its address's fragment and keeps it in its own
    // tab's storage (this origin and port only), for a reload.
    r = content(page.html, "text/html; charset=utf-8");
    r.headers.emplace_back(
        "Content-Security-Policy",
        "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src data:; "
        "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
  } else if (get && request.path == "/live.js") {
    // The script and the style hold nothing of the device: they are the same for everyone.
    r = content(page.script, "text/javascript; charset=utf-8");
  } else if (get && request.path == "/live.css") {
    r = content(page.style, "text/css; charset=utf-8");
  } else if (get && request.path == "/api/view") {
    r = content(session.view(sinceOf(request)), "application/json");
  } else if (request.method == "POST" && request.path == "/api/act") {
    if (request.header("content-type").value_or("").starts_with("text/plain")) {
      r = content(session.act(request.body, sinceOf(request), std::string(request.param("press").value_or(""))),
                  "application/json");
    } else {
      r = http::Response::text(415, "an action is text/plain lines");
    }
  } else if (get && request.path == "/api/events") {
    // The session's event count each time it grows, as server-sent events: a page in another tab,
    // or lines sent by another client, show at once.
    r = content("retry: 1000\ndata: " + std::to_string(session.next()) + "\n\n", "text/event-stream");
    r.stream = true;
  } else if (get && request.path == "/api/scenario") {
    r = content(session.scenario(), "text/plain; charset=utf-8");
    r.headers.emplace_back("Content-Disposition", "attachment; filename=\"live-session.scn\"");
  }
  r.headers.emplace_back("Referrer-Policy", "no-referrer");
  return r;
}

}  // namespace

std::string livePage() { return std::string(pages::kLivePage); }
std::string liveScript() { return pages::deviceScript() + std::string(pages::kLiveScript); }
std::string liveStyle() { return std::string(pages::kDeviceStyle) + std::string(pages::kLiveStyle); }

namespace {

// What a client asks to see of lines it sends or of the log: the trace's format and filters, as
// the command's options name them (format=text|json|none, only=KIND,KIND, process=NAME, color=1).
OutputOptions outputOf(const http::Request& request) {
  OutputOptions options;
  const std::string_view format = request.param("format").value_or("text");
  options.format = format == "json" ? TraceFormat::kJson : format == "none" ? TraceFormat::kNone : TraceFormat::kText;
  std::string_view only = request.param("only").value_or("");
  while (!only.empty()) {
    const std::size_t comma = only.find(',');
    if (comma != 0) options.only.insert(std::string(only.substr(0, comma)));
    only.remove_prefix(comma == std::string_view::npos ? only.size() : comma + 1);
  }
  if (auto process = request.param("process")) options.process = std::string(*process);
  options.color = request.param("color").value_or("") == "1";
  return options;
}

int numberOf(const http::Request& request, std::string_view name, int otherwise) {
  const std::string_view text = request.param(name).value_or("");
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && end == text.data() + text.size() ? n : otherwise;
}

}  // namespace

namespace {

// One device served at its doors: the session, the page, the token, and the network door the
// page comes in by, opened for whoever holds it.
struct DeviceService {
  explicit DeviceService(LiveSession& served) : session(served) {}
  LiveSession& session;
  const Page page{livePage(), liveScript(), liveStyle()};
  const std::string token = newToken();
  RateLimit rate;
  http::Server* server = nullptr;
  int port = 0;                      // the network door's port (0: closed)
  bool heldByServe = false;          // `serve` itself opened it: it stays while the device runs
  std::vector<std::string> holders;  // the clients that asked for it to be open
  int holdersMade = 0;

  std::string address() const { return "http://127.0.0.1:" + std::to_string(port) + "/#token=" + token; }

  // The routes only the device's owner reaches, at the local door: lines sent, the log, the
  // device's state, the report, the page's door, and the end.
  std::optional<http::Response> ownersRoute(const http::Request& request) {
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    if (post && request.path == "/api/send") {
      const std::string file(request.param("file").value_or("send"));
      const LiveSession::Sent sent =
          session.send(request.body, file.empty() ? "send" : file, outputOf(request), numberOf(request, "first", 1));
      return content("{\"status\":" + std::to_string(sent.status) + ",\"expectations\":" +
                         std::to_string(sent.expectations) + ",\"failed\":" + std::to_string(sent.failed) +
                         ",\"out\":" + sim::jsonString(sent.out) + ",\"err\":" + sim::jsonString(sent.err) + "}",
                     "application/json");
    }
    if (get && request.path == "/api/log") {
      const int since = numberOf(request, "since", 0);
      return content(session.log(static_cast<std::uint64_t>(std::max(0, since)), outputOf(request)),
                     "application/json");
    }
    if (get && request.path == "/api/info") {
      return content(session.info(port != 0 ? "http://127.0.0.1:" + std::to_string(port) + "/" : ""),
                     "application/json");
    }
    if (get && request.path == "/api/report") return content(session.report(), "text/html; charset=utf-8");
    if (post && request.path == "/api/door") return door(request);
    if (post && request.path == "/api/shutdown") {
      server->finish();
      return http::Response::text(200, "shutting down\n");
    }
    return std::nullopt;
  }

  // Opens the page's door (at `port`, or any free port; the one open already when it is), for a
  // holder it names; `release=HOLDER` gives that hold up, and the door closes with the last one.
  http::Response door(const http::Request& request) {
    if (auto release = request.param("release")) {
      std::erase(holders, std::string(*release));
      if (holders.empty() && !heldByServe && port != 0) {
        server->closeDoor(port);
        port = 0;
      }
      return http::Response::text(200, "released\n");
    }
    if (port == 0) port = server->listen(numberOf(request, "port", 0));
    if (port == 0) return http::Response::text(503, "the page's door cannot be opened on that port");
    holders.push_back("hold-" + std::to_string(++holdersMade));
    return content(
        "{\"address\":" + sim::jsonString(address()) + ",\"holder\":" + sim::jsonString(holders.back()) + "}",
        "application/json");
  }
};

}  // namespace

int serveDevice(LiveSession& session, const Doors& doors, std::ostream& out) {
  // SIGINT and SIGTERM end the server between two requests: they are held, and read from a
  // descriptor the server watches beside its sockets.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stop = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stop < 0) {
    std::cerr << "orvane-sim: cannot watch for signals\n";
    return 2;
  }
  DeviceService service(session);
  http::Server server(
      http::Limits{},
      [&](const http::Request& request) { return screen(request, service.token, service.rate, service.port); },
      [&](const http::Request& request) {
        const std::uint64_t before = session.next();
        std::optional<http::Response> owners = request.local ? service.ownersRoute(request) : std::nullopt;
        http::Response answer = owners ? std::move(*owners) : route(request, session, service.page);
        if (session.next() != before) service.server->push("data: " + std::to_string(session.next()) + "\n\n");
        if (doors.after) doors.after();
        return answer;
      });
  service.server = &server;
  if (!doors.local.empty()) {
    if (const int error = server.listenLocal(doors.local, ::getuid()); error != 0) {
      std::cerr << "orvane-sim: cannot listen on " << doors.local << ": " << std::strerror(error) << "\n";
      ::close(stop);
      return 2;
    }
  }
  if (doors.port >= 0) {
    service.port = server.listen(doors.port);
    service.heldByServe = true;
    if (service.port == 0) {
      std::cerr << "orvane-sim serve: cannot listen on 127.0.0.1:" << doors.port << "\n";
      ::close(stop);
      return 2;
    }
    out << service.address() << '\n'
        << "Open that address in a browser on this machine; Ctrl-C stops the device.\n"
        << std::flush;  // at once, for whoever reads the address from a pipe
  }
  if (doors.ready) doors.ready();
  server.serve(stop);
  ::close(stop);
  return 0;
}

int serveLive(LiveSession& session, int port, std::ostream& out) {
  Doors doors;
  doors.port = port;
  return serveDevice(session, doors, out);
}

}  // namespace orvane::cli
