#include "cli/scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <istream>
#include <limits>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "settings/settings.h"
#include "sim/plist/value_text.h"
#include "sim/standins/activator.h"
#include "sim/standins/ui.h"
#include "startup/orvane.h"

namespace orvane::cli {

namespace {

using sim::Device;
using sim::Process;
using sim::TraceEvent;

struct BadLine : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Token {
  std::string text;
  std::size_t begin = 0;
  bool quoted = false;
  std::size_t quoteStart = std::string::npos;  // where in `text` the first quoted part begins
};

// Words are separated by white space; a word may hold quoted parts (`"two words"`, `button="Ok, I"`),
// which keep their spaces and take the escapes of the text form of values.
std::vector<Token> tokenize(const std::string& line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    if (std::isspace(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    Token token;
    token.begin = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
      if (line[i] != '"') {
        token.text += line[i++];
        continue;
      }
      std::size_t j = i + 1;
      while (j < line.size() && line[j] != '"') j += line[j] == '\\' ? 2 : 1;
      if (j >= line.size()) throw BadLine("unterminated string");
      auto parsed = sim::parseValueText(line.substr(i, j + 1 - i));
      if (!parsed.value || !parsed.value->string()) throw BadLine("bad string: " + parsed.error);
      if (!token.quoted) token.quoteStart = token.text.size();
      token.text += *parsed.value->string();
      token.quoted = true;
      i = j + 1;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

class Args {
 public:
  Args(const std::string& line, std::vector<Token> tokens) : line_(line), tokens_(std::move(tokens)) {}

  const std::string& command() const { return tokens_.front().text; }
  bool more() const { return next_ < tokens_.size(); }

  std::string word(const char* what) { return token(what).text; }
  const Token& token(const char* what) {
    if (!more()) throw BadLine(std::string("missing ") + what);
    return tokens_[next_++];
  }
  // The rest of the line, read as one value in the text form of values.
  Value value(const char* what) {
    if (!more()) throw BadLine(std::string("missing ") + what);
    auto parsed = sim::parseValueText(std::string_view(line_).substr(tokens_[next_].begin));
    next_ = tokens_.size();
    if (!parsed.value) throw BadLine(std::string("bad ") + what + ": " + parsed.error);
    return std::move(*parsed.value);
  }
  std::optional<Value> optionalValue(const char* what) {
    if (!more()) return std::nullopt;
    return value(what);
  }
  void end() {
    if (more()) throw BadLine("unexpected '" + tokens_[next_].text + "'");
  }

 private:
  const std::string& line_;
  std::vector<Token> tokens_;
  std::size_t next_ = 1;
};

std::string bundleIdentifierOf(const std::string& name) {
  if (name == "springboard" || name == "SpringBoard") return std::string(sim::kSpringBoard);
  return name;
}

std::string show(const std::optional<std::string>& s) { return s ? sim::formatStringText(*s) : "nothing"; }
std::string show(const std::optional<Value>& v) { return v ? sim::formatValueText(*v) : "nothing"; }

Value toValue(const platform::StringList& list) {
  Array out;
  if (list) out.assign(list->begin(), list->end());
  return Value(std::move(out));
}

double parseNumber(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') throw BadLine("not a number: " + text);
  return value;
}

// A whole number within [min, max]; anything else stops the run rather than being converted.
int parseInteger(const std::string& text, int min, int max, const char* what) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    throw BadLine(std::string(what) + " must be a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", not " + text);
  }
  return value;
}

}  // namespace

struct ScenarioRunner::Impl {
  Device& device;
  Output& output;
  std::string where;
  int failures = 0;
  int expectations = 0;
  // Alerts and log lines that no expectation has consumed yet, per process and kind: `expect alert`
  // takes the first, `expect no-alert` asks whether there is one, each in constant time.
  std::map<std::pair<std::string, std::string>, std::deque<TraceEvent>> pending;
  // The events `expect event` may still match: those since its last match or `mark`, kept only
  // while a later line of the script can ask for them, so a long run holds no history it never reads.
  std::deque<TraceEvent> window;
  bool keepWindow = true;

  void onEvent(const TraceEvent& e) {
    if (e.kind == "alert" || e.kind == "log") pending[{e.process, e.kind}].push_back(e);
    if (keepWindow) window.push_back(e);
  }

  Process& process(const std::string& name) {
    Process* p = device.find(bundleIdentifierOf(name));
    if (p == nullptr) throw BadLine("no running process " + name);
    return *p;
  }

  void check(bool ok, const std::string& expected, const std::string& found) {
    ++expectations;
    if (!ok) ++failures;
    output.expectation(where, ok, ok ? expected : "expected " + expected + ", found " + found);
  }

  using Handler = void (Impl::*)(Args&);

  // Every command of the language, by its first word.
  void run(Args& args) {
    static const std::map<std::string, Handler, std::less<>> kCommands = {
        {"say", &Impl::say},
        {"version", &Impl::version},
        {"activator", &Impl::activator},
        {"app-icon", &Impl::appIcon},
        {"keyboards", &Impl::keyboards},
        {"settings", &Impl::settings},
        {"file", &Impl::file},
        {"pref", &Impl::pref},
        {"post", &Impl::post},
        {"start", &Impl::start},
        {"stop", &Impl::stop},
        {"show-keyboard", &Impl::showOrHideKeyboard},
        {"hide-keyboard", &Impl::showOrHideKeyboard},
        {"tap", &Impl::tap},
        {"next-keyboard", &Impl::nextKeyboard},
        {"switcher", &Impl::switcher},
        {"long-press", &Impl::switcher},
        {"label", &Impl::label},
        {"unlock", &Impl::unlock},
        {"dismiss", &Impl::dismiss},
        {"run", &Impl::runQueues},
        {"fault", &Impl::fault},
        {"mark", &Impl::mark},
        {"expect", &Impl::expect},
        {"show", &Impl::showContents},
        {"state", &Impl::showState},
    };
    const auto it = kCommands.find(args.command());
    if (it == kCommands.end()) throw BadLine("unknown command '" + args.command() + "'");
    (this->*(it->second))(args);
  }

  void say(Args& args) {
    std::string text;
    while (args.more()) text += (text.empty() ? "" : " ") + args.word("text");
    device.trace().add("scenario", "say", {{"text", text}});
  }

  void version(Args& args) {
    const double version = parseNumber(args.word("version number"));
    args.end();
    if (!std::isfinite(version) || version <= 0) throw BadLine("the version number must be finite and positive");
    device.setVersion(version);
    device.trace().add("device", "version", {{"value", sim::formatValueText(Value(device.version()))}});
  }

  void appIcon(Args& args) {
    const std::string identifier = args.word("display identifier");
    const std::string size = args.word("size");
    const std::string kind = args.more() ? args.word("cgimage, ciimage or empty") : "cgimage";
    args.end();
    const auto icon = kind == "cgimage"   ? sim::Device::IconKind::kCGImage
                      : kind == "ciimage" ? sim::Device::IconKind::kCIImage
                      : kind == "empty"   ? sim::Device::IconKind::kEmpty
                                          : throw BadLine("app-icon takes cgimage, ciimage or empty");
    device.setAppIcon(identifier, parseInteger(size, 0, std::numeric_limits<int>::max(), "an icon size"), icon);
  }

  void keyboards(Args& args) {
    // ID, or ID="Display Name": the name that follows '=' in quotes replaces ICU's.
    std::vector<sim::Device::Keyboard> keyboards;
    while (args.more()) {
      const Token& t = args.token("identifier");
      if (t.quoted && t.quoteStart > 0 && t.text[t.quoteStart - 1] == '=') {
        keyboards.push_back({t.text.substr(0, t.quoteStart - 1), t.text.substr(t.quoteStart)});
      } else {
        keyboards.push_back({t.text, std::nullopt});
      }
    }
    if (!device.setKeyboards(keyboards)) throw BadLine("cannot store the enabled keyboards in \"AppleKeyboards\"");
  }

  void start(Args& args) {
    const std::string name = args.word("process");
    std::optional<int> status;
    if (args.more()) {
      if (args.word("returns") != "returns") throw BadLine("start takes PROCESS [returns STATUS]");
      status = parseInteger(args.word("status"), std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                            "the status UIApplicationMain returns");
    }
    args.end();
    device.start(bundleIdentifierOf(name), status);
  }

  void stop(Args& args) {
    const std::string name = args.word("process");
    args.end();
    if (!device.stop(bundleIdentifierOf(name))) throw BadLine("no running process " + name);
  }

  void showOrHideKeyboard(Args& args) {
    Process& p = process(args.word("process"));
    args.end();
    args.command() == "show-keyboard" ? p.showKeyboard() : p.hideKeyboard();
  }

  void tap(Args& args) {
    Process& p = process(args.word("process"));
    const std::string key = args.word("key");
    args.end();
    if (key == "nowhere") {
      p.tapNowhere();
    } else if (!p.tapKey(key == "globe" ? std::string(sim::kGlobeKeyName) : key)) {
      throw BadLine("no key " + key);
    }
  }

  void nextKeyboard(Args& args) {
    Process& p = process(args.word("process"));
    args.end();
    p.nextKeyboardStep();
  }

  void switcher(Args& args) {
    Process& p = process(args.word("process"));
    args.end();
    p.askSwitcherList();
  }

  void label(Args& args) {
    Process& p = process(args.word("process"));
    const std::string key = args.more() ? args.word("key") : std::string(sim::kGlobeKeyName);
    args.end();
    if (!p.askLabel(key)) throw BadLine("no key " + key);
  }

  void unlock(Args& args) {
    args.end();
    if (!process("springboard").unlock()) throw BadLine("SpringBoard has no lock screen");
  }

  void dismiss(Args& args) {
    Process& p = process(args.word("process"));
    args.end();
    if (!p.dismissAlert()) throw BadLine("no alert to dismiss in " + p.name());
  }

  void runQueues(Args& args) {
    args.end();
    const auto result = device.runUntilIdle();
    if (!result.idle) {
      // A run that stopped at the bound has failed, whatever the expectations say.
      check(false, "the main queues to come to rest",
            "work left after " + std::to_string(result.tasks) + " tasks (a runaway)");
    }
  }

  // show file PATH, show pref DOMAIN: a device file or a preference domain, in readable form.
  void showContents(Args& args) {
    const std::string what = args.word("file or pref");
    const std::string name = args.word(what == "pref" ? "domain" : "path");
    args.end();
    std::string path = name;
    if (what == "pref") {
      const auto domainPath = sim::PreferenceStore::domainPath(name);
      if (!domainPath) throw BadLine("not a domain name: " + name);
      path = *domainPath;
    } else if (what != "file") {
      throw BadLine("show takes file PATH or pref DOMAIN");
    } else if (!device.files().resolve(path)) {
      throw BadLine("not a device path: " + path);
    }
    sim::Trace::Fields fields = {{what == "pref" ? "domain" : "path", name}};
    const auto bytes = device.files().read(path, sim::kMaxPlistBytes);
    const auto parsed = bytes ? sim::parsePlist(*bytes) : std::nullopt;
    if (parsed) {
      fields.emplace_back("format", parsed->format == sim::PlistFormat::kXml ? "xml" : "binary");
      fields.emplace_back("value", sim::formatValueText(parsed->value));
    } else {
      fields.emplace_back("format", !device.files().exists(path) ? "missing"
                                    : bytes                      ? "not a property list"
                                                                 : "unreadable");
      if (bytes) fields.emplace_back("bytes", std::to_string(bytes->size()));
    }
    device.trace().add("scenario", "contents", std::move(fields));
  }

  // state: the device's state as one value (JSON with --trace json).
  void showState(Args& args) {
    args.end();
    device.trace().add("scenario", "state", {{"value", sim::formatValueText(state())}});
  }

  Value state() const {
    Array processes;
    for (const auto& p : device.processes()) {
      Dictionary entry = {{"name", Value(p->name())},
                          {"bundleIdentifier", Value(p->bundleIdentifier())},
                          {"keyboardShown", Value(p->ui().keyboardShown)}};
      if (auto mode = p->currentInputMode()) entry.emplace("inputMode", Value(*mode));
      Array alerts;
      for (const auto& alert : p->alerts()) {
        if (alert.dismissed) continue;
        alerts.emplace_back(Dictionary{
            {"title", Value(alert.title)}, {"message", Value(alert.message)}, {"button", Value(alert.button)}});
      }
      entry.emplace("alertsOnScreen", Value(std::move(alerts)));
      processes.emplace_back(std::move(entry));
    }
    Array keyboards;
    for (const auto& mode : device.activeInputModes()) {
      keyboards.emplace_back(mode.identifier.value_or(std::string(Device::kNoIdentifier)));
    }
    Dictionary out = {{"version", Value(device.version())},
                      {"activator", Value(device.activatorInstalled())},
                      {"keyboards", Value(std::move(keyboards))},
                      {"processes", Value(std::move(processes))}};
    if (auto settings = sim::readDictionaryFile(device.files(), kSettingsPath)) {
      out.emplace("settings", Value(std::move(settings->dictionary)));
    }
    return Value(std::move(out));
  }

  void fault(Args& args) {
    const std::string kind = args.word("fault");
    const int times =
        args.more() ? parseInteger(args.word("times"), 1, std::numeric_limits<int>::max(), "the number of times") : -1;
    args.end();
    static const std::map<std::string, sim::FileFault, std::less<>> kFaults = {{"write", sim::FileFault::kWrite},
                                                                               {"flush", sim::FileFault::kFlush},
                                                                               {"rename", sim::FileFault::kRename},
                                                                               {"read-only", sim::FileFault::kReadOnly},
                                                                               {"full", sim::FileFault::kFull}};
    if (kind == "none") {
      device.files().clearFaults();
    } else if (auto it = kFaults.find(kind); it != kFaults.end()) {
      device.files().injectFault(it->second, times);
    } else {
      throw BadLine("fault takes write, flush, rename, read-only, full or none");
    }
    device.trace().add("device", "fault", {{"fault", kind}, {"times", times < 0 ? "always" : std::to_string(times)}});
  }

  void mark(Args& args) {
    args.end();
    window.clear();
  }

  void activator(Args& args) {
    const std::string verb = args.word("installed, absent, fire or ask");
    if (verb == "installed" || verb == "absent") {
      args.end();
      device.setActivatorInstalled(verb == "installed");
    } else if (verb == "fire") {
      const std::string name = args.word("listener name");
      args.end();
      if (!sim::fireActivatorEvent(process("springboard"), name)) throw BadLine("no Activator listener " + name);
    } else if (verb == "ask") {
      const std::string name = args.word("listener name");
      const std::string what = args.word("question");
      const std::string argument = args.more() ? args.word("argument") : "";
      args.end();
      if (!sim::askActivatorListener(process("springboard"), name, what, argument)) {
        throw BadLine("no answer to " + what + " from Activator listener " + name);
      }
    } else {
      throw BadLine("activator takes installed, absent, fire or ask");
    }
  }

  void settings(Args& args) {
    const std::string verb = args.word("settings action");
    const std::string path(kSettingsPath);
    if (verb == "write" || verb == "write-xml") {
      const Value v = args.value("settings dictionary");
      writeFile(path, v, verb == "write-xml" ? sim::PlistFormat::kXml : sim::PlistFormat::kBinary);
    } else if (verb == "set" || verb == "remove") {
      const std::string key = args.word("key");
      auto stored = sim::readDictionaryFile(device.files(), path);
      if (!stored && device.files().exists(path)) {
        throw BadLine("the settings file does not read as a dictionary; settings write replaces it whole");
      }
      Dictionary d = stored ? stored->dictionary : Dictionary{};
      const auto format = stored ? stored->format : sim::PlistFormat::kBinary;
      if (verb == "set") {
        d.insert_or_assign(key, args.value("value"));
      } else {
        args.end();
        d.erase(key);
      }
      writeFile(path, Value(std::move(d)), format);
    } else if (verb == "delete") {
      args.end();
      deleteFile(path);
    } else if (verb == "bytes") {
      const std::string bytes = args.word("bytes");
      args.end();
      writeBytes(path, bytes);
    } else {
      throw BadLine("unknown settings action '" + verb + "'");
    }
  }

  void file(Args& args) {
    const std::string verb = args.word("file action");
    const std::string path = args.word("path");
    if (!device.files().resolve(path)) throw BadLine("not a device path: " + path);
    if (verb == "write" || verb == "write-xml") {
      writeFile(path, args.value("value"), verb == "write-xml" ? sim::PlistFormat::kXml : sim::PlistFormat::kBinary);
    } else if (verb == "bytes") {
      const std::string bytes = args.word("bytes");
      args.end();
      writeBytes(path, bytes);
    } else if (verb == "delete") {
      args.end();
      deleteFile(path);
    } else {
      throw BadLine("unknown file action '" + verb + "'");
    }
  }

  void writeFile(const std::string& path, const Value& value, sim::PlistFormat format) {
    auto bytes = sim::serializePlist(value, format);
    if (!bytes)
      throw BadLine(std::string("the value cannot be stored as ") +
                    (format == sim::PlistFormat::kXml ? "an XML" : "a binary") + " property list");
    writeBytes(path, *bytes, value);
  }

  void deleteFile(const std::string& path) {
    if (!device.files().remove(path) && device.files().exists(path)) throw BadLine("cannot delete " + path);
    device.trace().add("device", "file-delete", {{"path", path}});
  }

  // `value`: what the bytes hold, when they are a property list the scenario gave.
  void writeBytes(const std::string& path, const std::string& bytes, const std::optional<Value>& value = std::nullopt) {
    if (!device.files().writeAtomically(path, bytes)) throw BadLine("cannot write " + path);
    sim::Trace::Fields fields = {{"path", path}, {"bytes", std::to_string(bytes.size())}};
    if (value) fields.emplace_back("value", sim::formatValueText(*value));
    device.trace().add("device", "file-write", std::move(fields));
  }

  void pref(Args& args) {
    const std::string verb = args.word("pref action");
    const std::string domain = args.word("domain");
    const std::string key = args.word("key");
    if (!sim::PreferenceStore::domainPath(domain)) throw BadLine("not a domain name: " + domain);
    std::optional<Value> value;
    if (verb == "set") {
      value = args.value("value");
    } else if (verb == "remove") {
      args.end();
    } else {
      throw BadLine("unknown pref action '" + verb + "'");
    }
    if (!device.writePreference("device", key, value, domain)) throw BadLine("cannot write " + key + " to " + domain);
  }

  void post(Args& args) {
    Process& from = process(args.word("process"));
    const std::string center = args.word("darwin or distributed");
    const std::string name = args.word("notification name");
    if (center == "darwin") {
      args.end();
      from.CFNotificationCenterPostNotification(name, true);
    } else if (center == "distributed") {
      std::optional<Dictionary> userInfo;
      if (auto v = args.optionalValue("user info")) {
        if (!v->dictionary()) throw BadLine("user info must be a dictionary");
        userInfo = *v->dictionary();
      }
      device.postDistributed(from, platform::Notification{name, userInfo});
    } else {
      throw BadLine("post takes darwin or distributed");
    }
  }

  // The next event of `kind` in `process` that no expectation has consumed yet.
  std::optional<TraceEvent> nextOf(const std::string& processName, const std::string& kind, bool consume) {
    auto& queue = pending[{processName, kind}];
    if (queue.empty()) return std::nullopt;
    std::optional<TraceEvent> next = queue.front();
    if (consume) queue.pop_front();
    return next;
  }

  static bool fieldsMatch(const TraceEvent& e, const std::vector<std::pair<std::string, std::string>>& wanted) {
    for (const auto& [key, value] : wanted) {
      const std::string* actual = e.field(key);
      if (actual == nullptr || *actual != value) return false;
    }
    return true;
  }

  using Expectation = void (Impl::*)(Args&, const std::string& what);

  // Every expectation, by the word after "expect"; a handler serving a pair ("log", "no-log") is
  // told which it was asked for.
  void expect(Args& args) {
    static const std::map<std::string, Expectation, std::less<>> kExpectations = {
        {"input-mode", &Impl::expectInputMode}, {"alert", &Impl::expectAlert},
        {"no-alert", &Impl::expectNoMoreOf},    {"log", &Impl::expectLog},
        {"no-log", &Impl::expectNoMoreOf},      {"hook", &Impl::expectHook},
        {"no-hook", &Impl::expectHook},         {"pref", &Impl::expectPref},
        {"no-pref", &Impl::expectPref},         {"setting", &Impl::expectSetting},
        {"no-setting", &Impl::expectSetting},   {"settings-format", &Impl::expectFormat},
        {"file-format", &Impl::expectFormat},   {"file", &Impl::expectFile},
        {"no-file", &Impl::expectFile},         {"no-temporaries", &Impl::expectNoTemporaries},
        {"switcher", &Impl::expectSwitcher},    {"label", &Impl::expectLabel},
        {"event", &Impl::expectEvent},          {"no-event", &Impl::expectEvent},
    };
    const std::string what = args.word("what to expect");
    const auto it = kExpectations.find(what);
    if (it == kExpectations.end()) throw BadLine("unknown expectation '" + what + "'");
    (this->*(it->second))(args, what);
  }

  void expectInputMode(Args& args, const std::string&) {
    Process& p = process(args.word("process"));
    const std::string identifier = args.word("identifier");
    args.end();
    check(p.currentInputMode() == identifier, "input mode " + identifier + " in " + p.name(),
          show(p.currentInputMode()));
  }

  void expectAlert(Args& args, const std::string&) {
    Process& p = process(args.word("process"));
    const std::string title = args.word("title");
    const std::string message = args.word("message");
    const std::string button = args.word("button");
    args.end();
    const auto e = nextOf(p.name(), "alert", true);
    const std::string expected = "alert " + sim::formatStringText(title) + " " + sim::formatStringText(message) + " " +
                                 sim::formatStringText(button) + " in " + p.name();
    check(e && fieldsMatch(*e, {{"title", title}, {"message", message}, {"button", button}}), expected,
          e ? sim::Trace::text(*e) : "no further alert");
  }

  void expectLog(Args& args, const std::string&) {
    Process& p = process(args.word("process"));
    const std::string text = args.word("log line");
    args.end();
    const auto e = nextOf(p.name(), "log", true);
    check(e && fieldsMatch(*e, {{"text", text}}), "log " + sim::formatStringText(text) + " in " + p.name(),
          e ? sim::Trace::text(*e) : "no further log line");
  }

  // no-alert, no-log: every alert (log line) of the process has been expected.
  void expectNoMoreOf(Args& args, const std::string& what) {
    Process& p = process(args.word("process"));
    args.end();
    const std::string kind = what == "no-alert" ? "alert" : "log";
    const auto e = nextOf(p.name(), kind, false);
    check(!e, "no further " + kind + " in " + p.name(), e ? sim::Trace::text(*e) : "");
  }

  void expectHook(Args& args, const std::string& what) {
    Process& p = process(args.word("process"));
    std::string target = args.word("class or function");
    if (args.more()) target += " " + args.word("selector");
    args.end();
    const auto& hooks = p.installedHooks();
    const bool installed = std::find(hooks.begin(), hooks.end(), target) != hooks.end();
    check(installed == (what == "hook"), (what == "hook" ? "hook on " : "no hook on ") + target + " in " + p.name(),
          installed ? "installed" : "not installed");
  }

  void expectPref(Args& args, const std::string& what) {
    const std::string domain = args.word("domain");
    const std::string key = args.word("key");
    std::optional<Value> wanted;
    if (what == "pref") wanted = args.value("value");
    args.end();
    const auto actual = device.preferences().copy(key, domain);
    check(actual == wanted, domain + " " + key + " = " + show(wanted), show(actual));
  }

  void expectSetting(Args& args, const std::string& what) {
    const std::string key = args.word("key");
    std::optional<Value> wanted;
    if (what == "setting") wanted = args.value("value");
    args.end();
    auto stored = sim::readDictionaryFile(device.files(), kSettingsPath);
    std::optional<Value> actual;
    if (stored) {
      if (const Value* v = find(stored->dictionary, key)) actual = *v;
    }
    check(actual == wanted, "setting " + key + " = " + show(wanted),
          stored ? show(actual) : "no readable settings file");
  }

  void expectFormat(Args& args, const std::string& what) {
    const std::string path = what == "file-format" ? args.word("path") : std::string(kSettingsPath);
    const std::string format = args.word("xml or binary");
    args.end();
    auto stored = sim::readDictionaryFile(device.files(), path);
    const std::string actual = !stored                                    ? "no readable property list"
                               : stored->format == sim::PlistFormat::kXml ? "xml"
                                                                          : "binary";
    check(actual == format, path + " in " + format, actual);
  }

  void expectFile(Args& args, const std::string& what) {
    const std::string path = args.word("path");
    args.end();
    const bool present = device.files().exists(path);
    check(present == (what == "file"), path + (what == "file" ? " present" : " absent"),
          present ? "present" : "absent");
  }

  void expectNoTemporaries(Args& args, const std::string&) {
    args.end();
    const auto left = device.files().temporaries();
    check(left.empty(), "no temporary file left under the root", left.empty() ? "" : left.front().string());
  }

  void expectSwitcher(Args& args, const std::string&) {
    Process& p = process(args.word("process"));
    const Value wanted = args.value("list");
    const auto& last = p.lastSwitcherList();
    check(last && toValue(*last) == wanted, "switcher list " + sim::formatValueText(wanted),
          last ? (*last ? sim::formatValueText(toValue(*last)) : "nil") : "no list asked");
  }

  void expectLabel(Args& args, const std::string&) {
    Process& p = process(args.word("process"));
    const std::string text = args.word("label");
    args.end();
    const auto& last = p.lastLabel();
    check(last && *last == text, "label " + sim::formatStringText(text), last ? show(*last) : "no label asked");
  }

  // event: the next matching event after the previous match (or `mark`); no-event: none since then.
  void expectEvent(Args& args, const std::string& what) {
    const std::string processName = args.word("process");
    const std::string kind = args.word("kind");
    std::vector<std::pair<std::string, std::string>> fields;
    while (args.more()) {
      const std::string field = args.word("field=value");
      const auto eq = field.find('=');
      if (eq == std::string::npos) throw BadLine("expected field=value, found " + field);
      fields.emplace_back(field.substr(0, eq), field.substr(eq + 1));
    }
    const std::string name = processName == "*" ? "*" : processNameOf(processName);
    const auto& events = window;
    std::size_t found = events.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if ((name == "*" || events[i].process == name) && events[i].kind == kind && fieldsMatch(events[i], fields)) {
        found = i;
        break;
      }
    }
    std::string description = kind + " in " + name;
    for (const auto& [k, v] : fields) description += " " + k + "=" + sim::formatStringText(v);
    if (what == "event") {
      check(found < events.size(), "event " + description + " after the previous one", "none");
      if (found < events.size()) window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(found) + 1);
    } else {
      check(found == events.size(), "no event " + description,
            found < events.size() ? sim::Trace::text(events[found]) : "");
    }
  }

  static std::string processNameOf(const std::string& name) {
    const std::string id = bundleIdentifierOf(name);
    return id == sim::kSpringBoard ? "SpringBoard" : id;
  }
};

ScenarioRunner::ScenarioRunner(Device& device, Output& output)
    : impl_(std::make_shared<Impl>(Impl{device, output, {}, 0, 0, {}, {}, true})) {
  device.trace().setSink([&output, impl = impl_.get()](const TraceEvent& e) {
    impl->onEvent(e);
    output.event(e);
  });
}

ScenarioRunner::ScenarioRunner(Device& device, std::ostream& out, std::ostream& err, TraceFormat format)
    : ownOutput_(std::make_unique<Output>(out, err, OutputOptions{format, {}, {}})),
      impl_(std::make_shared<Impl>(Impl{device, *ownOutput_, {}, 0, 0, {}, {}, true})) {
  device.trace().setSink([output = ownOutput_.get(), impl = impl_.get()](const TraceEvent& e) {
    impl->onEvent(e);
    output->event(e);
  });
}

ScenarioRunner::LineResult ScenarioRunner::runLine(const std::string& line, const std::string& file, int number) {
  impl_->where = file + ":" + std::to_string(number);
  impl_->output.setPlace(file, number);
  const int failuresBefore = impl_->failures;
  try {
    auto tokens = tokenize(line);
    if (tokens.empty() || tokens.front().text.front() == '#') return LineResult::kOk;
    Args args(line, std::move(tokens));
    impl_->run(args);
  } catch (const BadLine& e) {
    impl_->output.failure(impl_->where, e.what(), true);
    return LineResult::kBadLine;
  }
  failures_ = impl_->failures;
  expectations_ = impl_->expectations;
  return impl_->failures == failuresBefore ? LineResult::kOk : LineResult::kFailed;
}

int ScenarioRunner::runScript(std::istream& in, const std::string& fileName) {
  // A first pass finds the last line that asks about earlier events: past it, none needs keeping.
  // Without a second pass (input that cannot be read twice), every event since the last match is.
  const auto start = in.tellg();
  std::size_t lastEventQuestion = std::numeric_limits<std::size_t>::max();
  if (start != std::istream::pos_type(-1)) {
    lastEventQuestion = 0;
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      std::istringstream words(line);
      std::string first;
      std::string second;
      words >> first >> second;
      if (first == "expect" && (second == "event" || second == "no-event")) lastEventQuestion = number;
    }
    in.clear();
    in.seekg(start);
  }
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    // Events a line causes are kept while a later line may ask about them; once the last question
    // has been asked, none is.
    impl_->keepWindow = number < lastEventQuestion;
    if (number > lastEventQuestion) impl_->window.clear();
    if (runLine(line, fileName, static_cast<int>(number)) == LineResult::kBadLine) return 2;
  }
  return failures_ == 0 ? 0 : 1;
}

Value ScenarioRunner::state() const { return impl_->state(); }

}  // namespace orvane::cli
