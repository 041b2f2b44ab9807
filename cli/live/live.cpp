#include "cli/live/live.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <iostream>
#include <random>

#include "cli/language/command_table.h"
#include "cli/http/http_server.h"
#include "cli/output/pages.h"
#include "cli/language/language.h"
#include "settings/settings.h"
#include "settings/switch_mode.h"
#include "sim/device/trace.h"
#include "sim/plist/value_text.h"

namespace orvane::cli {

namespace {

// A request's lines are few and short: a press on the page is a handful of commands.
constexpr std::size_t kMaxLine = 2048;
constexpr std::size_t kMaxLinesPerAction = 32;
// Requests per second the server answers before it refuses with 429.
constexpr int kRequestsPerSecond = 200;
// Presses remembered, so that one sent again is not run twice.
constexpr std::size_t kPressesKept = 256;

std::string firstWord(const std::string& line) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return line.substr(start, line.find(' ', start) - start);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

std::string textWord(const std::string& s) { return sim::formatStringText(s); }

}  // namespace

LiveSession::LiveSession(sim::Device& device, Output& output, std::ostringstream& errors)
    : device_(device), runner_(device, output), errors_(errors) {
  runner_.boundHistory();
  output.setObserver([this](const sim::TraceEvent& event, const std::string& json) {
    events_.push_back(json);
    if (event.kind == "label") {
      if (const std::string* text = event.field("text")) labels_[event.process] = *text;
    } else if (event.kind == "switcher-list") {
      if (const std::string* list = event.field("list")) switcherLists_[event.process] = *list;
    } else if (event.kind == "alert") {
      const auto field = [&event](const char* name) {
        const std::string* v = event.field(name);
        return v != nullptr ? textWord(*v) : std::string("\"\"");
      };
      newAlerts_.push_back("expect alert " + textWord(event.process) + " " + field("title") + " " + field("message") +
                           " " + field("button"));
    }
  });
}

bool LiveSession::allowed(const std::string& line) {
  const std::string command = firstWord(line);
  const CommandRow* row = commandRow(command);
  return line.size() <= kMaxLine && line.find('\0') == std::string::npos && row != nullptr && row->livePage;
}

LiveSession::LineOutcome LiveSession::runLine(const std::string& line, const std::string& file) {
  errors_.str("");
  const auto result = runner_.runLine(line, file, ++line_);
  if (result == ScenarioRunner::LineResult::kOk) {
    script_.push_back(line);
    return {};
  }
  std::string error = errors_.str();
  error = error.substr(0, error.find('\n'));
  if (error.empty())
    error = result == ScenarioRunner::LineResult::kFailed ? "the expectation failed" : "the line could not be run";
  return {error, result != ScenarioRunner::LineResult::kBadLine};
}

LiveSession::SetUp LiveSession::setUp(const std::string& script, const std::string& name) {
  const std::lock_guard lock(mutex_);
  SetUp out;
  for (const std::string& line : splitLines(script)) {
    if (line.front() == '#') continue;
    const LineOutcome outcome = runLine(line, name);
    if (outcome.error.empty()) continue;
    if (out.error.empty()) out.error = outcome.error;
    if (!outcome.ran) {
      out.status = 2;
      break;
    }
    out.status = 1;
  }
  newAlerts_.clear();  // the set-up's own lines are in the scenario; its alerts were never shown
  return out;
}

std::vector<std::string> LiveSession::expectations(const std::vector<std::string>& lines) {
  std::vector<std::string> out = std::move(newAlerts_);
  newAlerts_.clear();
  // Names are read as the language reads them and written back quoted where they need it, so a
  // name with a space, a quote or a newline is one word of the saved scenario.
  for (const std::string& line : lines) {
    const std::vector<Token> words = tokenize(line);
    if (words.size() < 2) continue;
    const std::string& command = words[0].text;
    const std::string& process = words[1].text;
    if (command == "label" && labels_.contains(process) &&
        (words.size() == 2 || words[2].text == "International-Key")) {
      out.push_back("expect label " + textWord(process) + " " + textWord(labels_[process]));
    }
    if ((command == "long-press" || command == "switcher") && switcherLists_.contains(process)) {
      out.push_back("expect switcher " + textWord(process) + " " + switcherLists_[process]);
    }
  }
  for (const auto& p : device_.processes()) {
    if (auto mode = p->currentInputMode()) {
      out.push_back("expect input-mode " + (p->isSpringBoard() ? std::string("springboard") : textWord(p->name())) +
                    " " + textWord(*mode));
    }
  }
  return out;
}

std::string LiveSession::act(const std::string& text, std::uint64_t since, const std::string& press) {
  const std::lock_guard lock(mutex_);
  if (const auto done = std::ranges::find(presses_, press, &Press::name); !press.empty() && done != presses_.end()) {
    return viewLocked(since, done->error.empty(), done->error);
  }
  const std::string error = run(text);
  if (!press.empty()) {
    if (presses_.size() == kPressesKept) presses_.pop_front();
    presses_.push_back({press, error});
  }
  return viewLocked(since, error.empty(), error);
}

std::string LiveSession::run(const std::string& text) {
  const std::vector<std::string> lines = splitLines(text);
  if (lines.empty() || lines.size() > kMaxLinesPerAction) {
    return "an action is 1 to " + std::to_string(kMaxLinesPerAction) + " lines";
  }
  for (const std::string& line : lines) {
    if (!allowed(line)) return "the page may not send '" + firstWord(line) + "'";
  }
  std::string error;
  std::vector<std::string> ran;
  for (const std::string& line : lines) {
    error = runLine(line, "live").error;
    if (!error.empty()) break;  // a line that could not be run, or an expectation that failed
    ran.push_back(line);
  }
  // What the page now shows, kept in the scenario as expectations (they hold: they were read off
  // the device a moment ago).
  for (const std::string& expect : expectations(ran)) runLine(expect, "live");
  return error;
}

std::size_t LiveSession::next() const {
  const std::lock_guard lock(mutex_);
  return events_.size();
}

std::string LiveSession::view(std::uint64_t since) {
  const std::lock_guard lock(mutex_);
  return viewLocked(since, true, "");
}

std::string LiveSession::viewLocked(std::uint64_t since, bool ok, const std::string& error) {
  std::string out = std::string("{\"ok\":") + (ok ? "true" : "false");
  if (!error.empty()) out += ",\"error\":" + sim::jsonString(error);
  out += ",\"next\":" + std::to_string(events_.size()) + ",\"events\":[";
  for (std::size_t i = std::min<std::uint64_t>(since, events_.size()); i < events_.size(); ++i) {
    out += (i > since ? "," : "") + events_[i];
  }
  out += "],\"keyboards\":[";
  bool first = true;
  for (const auto& mode : device_.activeInputModes()) {
    out += std::string(first ? "" : ",") + "{\"id\":" + sim::jsonString(mode.identifier.value_or("")) +
           ",\"name\":" + sim::jsonString(mode.displayName.value_or("")) + "}";
    first = false;
  }
  // The settings file is read once, for the state; what the extension reads is taken from that.
  const Value state = runner_.state();
  out += "],\"reads\":" + settingsRead(state) + ",\"state\":" + valueJson(state) + "}";
  return out;
}

// What the extension reads from the settings file, key by key, as its own functions read it, and
// the keys that took their default (absent, or of a type with no reading): the settings pane shows
// these, not the file's raw values, so that Apply changes only what the user changed.
std::string LiveSession::settingsRead(const Value& state) {
  const Value* settings = state.dictionary() != nullptr ? find(*state.dictionary(), "settings") : nullptr;
  const Dictionary* stored = settings != nullptr ? settings->dictionary() : nullptr;
  const Dictionary file = stored != nullptr ? *stored : Dictionary{};
  std::vector<std::string> defaults;
  const auto reads = [&file](std::string_view key, auto reading) {
    const Value* v = find(file, key);
    return v != nullptr && (v->*reading)().has_value();
  };
  if (!reads(kEnabledKey, &Value::boolReading)) defaults.emplace_back(kEnabledKey);
  if (!reads(kModeKey, &Value::int32Reading)) defaults.emplace_back(kModeKey);
  if (!reads(kIconKey, &Value::int32Reading)) defaults.emplace_back(kIconKey);
  const Value* defaultKeyboard = find(file, kDefaultKeyboardKey);
  const std::string* chosen = defaultKeyboard != nullptr ? defaultKeyboard->string() : nullptr;
  std::string out =
      std::string("{\"enabled\":") + (isEnabled(file) ? "true" : "false") +
      ",\"mode\":" + std::to_string(switchModeOf(file)) + ",\"icon\":" + std::to_string(labelStyleOf(file)) +
      ",\"DefaultKeyboard\":" + (chosen != nullptr ? sim::jsonString(*chosen) : "null") + ",\"SelectedKeyboards\":[";
  const Value* selected = find(file, kSelectedKeyboardsKey);
  bool first = true;
  if (const Array* list = selected != nullptr ? selected->array() : nullptr) {
    for (const Value& element : *list) {
      if (const std::string* id = element.string()) {
        out += (first ? "" : ",") + sim::jsonString(*id);
        first = false;
      }
    }
  }
  out += "],\"defaults\":[";
  for (std::size_t i = 0; i < defaults.size(); ++i) out += (i > 0 ? "," : "") + sim::jsonString(defaults[i]);
  return out + "]}";
}

std::string LiveSession::scenario() const {
  const std::lock_guard lock(mutex_);
  std::string out = "# A session of the live device (orvane-sim serve); orvane-sim run replays it.\n";
  for (const std::string& line : script_) out += line + "\n";
  return out;
}

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

// The token in the cookie the page's first answer set (HttpOnly, SameSite=Strict: only this
// origin's own pages send it).
std::string_view cookieToken(const http::Request& request) {
  const std::string_view cookies = request.header("cookie").value_or("");
  constexpr std::string_view kName = "orvane-token=";
  for (std::size_t at = 0; at < cookies.size();) {
    const std::size_t start = cookies.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    const std::size_t end = std::min(cookies.find(';', start), cookies.size());
    const std::string_view cookie = cookies.substr(start, end - start);
    if (cookie.starts_with(kName)) return cookie.substr(kName.size());
    at = end + 1;
  }
  return "";
}

// The token a request gives: for the page, in its address or in the cookie the page's first answer
// set; for everything else, in the X-Orvane-Token header only (a link or a form cannot set one).
std::string_view givenToken(const http::Request& request) {
  // The page and its stream of events (EventSource sets no header) may give it in the cookie.
  if (request.path == "/api/events") return cookieToken(request);
  if (request.path != "/") return request.header("x-orvane-token").value_or("");
  if (auto token = request.param("token")) return *token;
  return cookieToken(request);
}

// A fixed window of one second.
class RateLimit {
 public:
  bool take() {
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
      windowStart_ = now;
      count_ = 0;
    }
    return ++count_ <= kRequestsPerSecond;
  }

 private:
  std::chrono::steady_clock::time_point windowStart_{};
  int count_ = 0;
};

std::uint64_t sinceOf(const http::Request& request) {
  const std::string_view text = request.param("since").value_or("");
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && end == text.data() + text.size() ? n : 0;
}

// What the server hands out: the page (with the token in it), its script and its style.
struct Page {
  std::string html;
  std::string script;
  std::string style;
  std::string token;
};

bool ownFile(const http::Request& request) { return request.path == "/live.js" || request.path == "/live.css"; }

// Every request, once its head has arrived: the loopback address and this port as its host (no
// other name resolves here, so a page elsewhere cannot reach the device by rebinding its name), no
// foreign origin, the token, and then the rate of the requests that carry it. Refused before they
// are counted: requests without the token (a flood from another page or process) spend none of the
// budget, so they cannot starve the page's own.
std::optional<http::Response> screen(const http::Request& request, const std::string& token, RateLimit& rate,
                                     int port) {
  const auto fromHere = [port](std::string_view value, const std::string& scheme) {
    return value == scheme + "127.0.0.1:" + std::to_string(port) ||
           value == scheme + "localhost:" + std::to_string(port);
  };
  if (!fromHere(request.header("host").value_or(""), "")) return http::Response::text(421, "not this server's address");
  if (auto origin = request.header("origin"); origin && !fromHere(*origin, "http://")) {
    return http::Response::text(403, "a foreign origin");
  }
  if (request.method != "GET" && request.method != "POST") return http::Response::text(405, "GET or POST only");
  // The page's script and style hold nothing of the device, and are not counted either.
  if (ownFile(request)) return std::nullopt;
  if (!sameToken(std::string(givenToken(request)), token))
    return http::Response::text(403, "no token, or not this server's");
  if (!rate.take()) {
    http::Response busy = http::Response::text(429, "too many requests");
    busy.headers.emplace_back("Retry-After", "1");  // the page waits that long and sends again
    return busy;
  }
  return std::nullopt;
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
    // and is never framed. The token goes into a cookie only this origin's page requests carry, so
    // that a reload of the page, whose address no longer holds it, still finds it.
    r = content(page.html, "text/html; charset=utf-8");
    r.headers.emplace_back(
        "Content-Security-Policy",
        "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src data:; "
        "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    r.headers.emplace_back("Set-Cookie", "orvane-token=" + page.token + "; Path=/; HttpOnly; SameSite=Strict");
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
  r.headers.emplace_back("Cache-Control", "no-store");
  r.headers.emplace_back("X-Content-Type-Options", "nosniff");
  r.headers.emplace_back("Referrer-Policy", "no-referrer");
  return r;
}

}  // namespace

std::string livePage(const std::string& token) { return pages::fill(pages::kLivePage, {{"<!-- token -->", token}}); }
std::string liveScript() { return std::string(pages::kDeviceScript) + std::string(pages::kLiveScript); }
std::string liveStyle() { return std::string(pages::kDeviceStyle) + std::string(pages::kLiveStyle); }

int serveLive(LiveSession& session, int port, std::ostream& out) {
  // SIGINT and SIGTERM end the server between two requests: they are held, and read from a
  // descriptor the server watches beside its sockets.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stop = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  const std::string token = newToken();
  const Page page{livePage(token), liveScript(), liveStyle(), token};
  RateLimit rate;
  int bound = 0;
  http::Server* served = nullptr;
  http::Server server(
      http::Limits{}, [&](const http::Request& request) { return screen(request, token, rate, bound); },
      [&](const http::Request& request) {
        const std::size_t before = session.next();
        http::Response answer = route(request, session, page);
        if (session.next() != before && served != nullptr)
          served->push("data: " + std::to_string(session.next()) + "\n\n");
        return answer;
      });
  served = &server;
  bound = stop < 0 ? 0 : server.listen(port);
  if (bound == 0) {
    std::cerr << "orvane-sim serve: cannot listen on 127.0.0.1:" << port << "\n";
    if (stop >= 0) ::close(stop);
    return 2;
  }
  out << "http://127.0.0.1:" << bound << "/?token=" << token << '\n'
      << "Open that address in a browser on this machine; Ctrl-C stops the device.\n"
      << std::flush;  // at once, for whoever reads the address from a pipe
  server.serve(stop);
  ::close(stop);
  return 0;
}

}  // namespace orvane::cli
