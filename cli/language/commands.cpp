// The commands of the scenario language: each reads its words and acts on the device.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "cli/language/command_table.h"
#include "runner.h"
#include "settings/settings.h"
#include "sim/plist/plist_io.h"
#include "sim/standins/activator.h"
#include "sim/standins/ui.h"
#include "sim/trace/value_text.h"
#include "startup/orvane.h"

namespace orvane::cli {

using sim::Process;

void ScenarioRunner::Impl::say(Args& args) {
  std::string text;
  while (args.more()) text += (text.empty() ? "" : " ") + args.word("text");
  device.trace().add("scenario", "say", {{"text", text}});
}

void ScenarioRunner::Impl::version(Args& args) {
  const double version = parseNumber(args.word("version number"));
  args.end();
  if (!std::isfinite(version) || version <= 0) throw BadLine("the version number must be finite and positive");
  device.setVersion(version);
  device.trace().add("device", "version", {{"value", sim::FieldValue::of(Value(device.version()))}});
}

void ScenarioRunner::Impl::keyboardMethods(Args& args) {
  const std::string forms = args.choice("form");
  args.end();
  const std::optional<sim::KeyboardStepForms> chosen =
      forms == "plain"     ? std::optional(sim::KeyboardStepForms{true, false})
      : forms == "context" ? std::optional(sim::KeyboardStepForms{false, true})
      : forms == "both"    ? std::optional(sim::KeyboardStepForms{true, true})
      : forms == "version" ? std::nullopt
                           : (unhandledChoice("keyboard-methods", forms), std::nullopt);
  device.setKeyboardStepForms(chosen);
  device.trace().add("device", "keyboard-methods", {{"value", sim::FieldValue::of(Value(forms))}});
}

void ScenarioRunner::Impl::appIcon(Args& args) {
  const std::string identifier = args.word("display identifier");
  const std::string size = args.word("size");
  const std::string kind = args.more() ? args.choice("icon kind") : "cgimage";
  args.end();
  const auto icon = kind == "cgimage"   ? sim::Device::IconKind::kCGImage
                    : kind == "ciimage" ? sim::Device::IconKind::kCIImage
                    : kind == "empty"   ? sim::Device::IconKind::kEmpty
                                        : (unhandledChoice("app-icon", kind), sim::Device::IconKind::kEmpty);
  device.setAppIcon(identifier, parseInteger(size, 0, std::numeric_limits<int>::max(), "an icon size"), icon);
}

void ScenarioRunner::Impl::keyboards(Args& args) {
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

void ScenarioRunner::Impl::start(Args& args) {
  const std::string name = args.word("process");
  // Starting a running process again would do nothing: a scenario that means to restart it says stop.
  if (device.find(bundleIdentifierOf(name)) != nullptr) {
    throw args.badWord(name + " is already running: 'stop " + name + "' first to start it afresh");
  }
  std::optional<int> status;
  if (args.more()) {
    if (args.word("returns") != "returns") throw args.badWord("start takes PROCESS [returns STATUS]");
    status = parseInteger(args.word("status"), std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                          "the status UIApplicationMain returns");
  }
  args.end();
  try {
    device.start(bundleIdentifierOf(name), status);
  } catch (const std::runtime_error& e) {
    throw BadLine(e.what());
  }
}

// kill PROCESS [mid-write], crash PROCESS, hang PROCESS: a process that ends without `stop`.
void ScenarioRunner::Impl::endProcess(Args& args) {
  const std::string how = args.command();
  sim::Process& p = process(args);
  auto end = how == "crash"  ? sim::Process::End::kCrash
             : how == "hang" ? sim::Process::End::kHang
                             : sim::Process::End::kKill;
  if (how == "kill" && args.more()) {
    if (args.word("mid-write") != "mid-write") throw BadLine("kill takes PROCESS [mid-write]");
    end = sim::Process::End::kKillMidWrite;
    // An application never writes a file itself (its preferences go to the preference daemon):
    // the death would never come.
    if (!p.isSpringBoard()) {
      throw BadLine(
          "kill ... mid-write: only SpringBoard writes files of its own (the settings file, at the mode "
          "action); " +
          p.bundleIdentifier() + " never writes one");
    }
  }
  args.end();
  if (!p.end(end)) {
    throw BadLine("kill ... mid-write needs --runtime=objc: on the fast runtime every process is this one");
  }
  device.reap();
}

void ScenarioRunner::Impl::stop(Args& args) {
  const std::string name = args.word("process");
  args.end();
  if (!device.stop(bundleIdentifierOf(name))) throw BadLine("no running process " + name);
}

void ScenarioRunner::Impl::suspendOrResume(Args& args) {
  Process& p = process(args);
  args.end();
  if (args.command() == "suspend") {
    if (p.isSpringBoard()) throw BadLine("SpringBoard is never suspended");
    if (!p.suspend()) throw BadLine(p.name() + " is already suspended");
  } else if (!p.resume()) {
    throw BadLine(p.name() + " is not suspended");
  }
}

void ScenarioRunner::Impl::showOrHideKeyboard(Args& args) {
  Process& p = foreground(args);
  args.end();
  args.command() == "show-keyboard" ? p.showKeyboard() : p.hideKeyboard();
}

void ScenarioRunner::Impl::tap(Args& args) {
  Process& p = foreground(args);
  const Token word = args.token("key");
  const std::string& key = word.text;
  args.end();
  if (key == "nowhere") {
    p.tapNowhere();
  } else if (!p.tapKey(key == "globe" ? std::string(sim::kGlobeKeyName) : key)) {
    std::vector<std::string> keys = {"globe", "nowhere"};
    keys.insert(keys.end(), sim::keyboardKeyNames().begin(), sim::keyboardKeyNames().end());
    throw unknownChoice(word, "key", keys);
  }
}

void ScenarioRunner::Impl::nextKeyboard(Args& args) {
  Process& p = foreground(args);
  args.end();
  p.nextKeyboardStep();
}

void ScenarioRunner::Impl::switcher(Args& args) {
  Process& p = foreground(args);
  args.end();
  p.askSwitcherList();
}

void ScenarioRunner::Impl::choose(Args& args) {
  Process& p = foreground(args);
  const Token keyboard = args.token("keyboard");
  args.end();
  if (p.chooseFromSwitcher(keyboard.text)) return;
  // Which of the two it was: the menu lists other keyboards (the nearest named, or the one whose
  // identifier the word is without its qualifiers), or no menu is on screen.
  const auto& shown = p.lastSwitcherList();
  const std::vector<std::string> listed = shown && *shown ? **shown : std::vector<std::string>{};
  if (std::ranges::find(listed, keyboard.text) != listed.end() || listed.empty()) {
    throw BadLine("no switcher menu is on screen in " + p.name() + ": open it first with 'long-press " + p.name() + "'",
                  keyboard.begin);
  }
  std::optional<std::string> meant = nearest(keyboard.text, listed);
  for (const std::string& id : listed) {
    if (!meant && id.starts_with(keyboard.text + "@")) meant = id;
  }
  throw BadLine("the switcher menu of " + p.name() + " lists " + wordList(listed, "and") + ", not " + keyboard.text +
                    (meant ? " (did you mean " + *meant + "?)" : ""),
                keyboard.begin);
}

void ScenarioRunner::Impl::label(Args& args) {
  Process& p = foreground(args);
  const Token word = args.more() ? args.token("key") : Token{std::string(sim::kGlobeKeyName)};
  args.end();
  if (!p.askLabel(word.text)) throw unknownChoice(word, "key", sim::keyboardKeyNames());
}

void ScenarioRunner::Impl::unlock(Args& args) {
  args.end();
  if (!process("springboard").unlock()) throw BadLine("SpringBoard has no lock screen");
}

// The side button: the lock screen comes back, and the next `unlock` completes an unlock again.
void ScenarioRunner::Impl::lock(Args& args) {
  args.end();
  process("springboard").trace("locked");
}

void ScenarioRunner::Impl::dismiss(Args& args) {
  Process& p = foreground(args);
  args.end();
  if (!p.dismissAlert()) throw BadLine("no alert to dismiss in " + p.name());
}

void ScenarioRunner::Impl::runQueues(Args& args) {
  args.end();
  const auto result = device.runUntilIdle();
  if (!result.idle) {
    // A run that stopped at the bound has failed, whatever the expectations say.
    check(false, "the main queues to come to rest",
          "work left after " + std::to_string(result.tasks) + " tasks (a runaway)");
  }
}

// show file PATH, show pref DOMAIN: a device file or a preference domain, in readable form.
void ScenarioRunner::Impl::showContents(Args& args) {
  const std::string what = args.choice("thing to show");
  const std::string name = args.word(what == "pref" ? "domain" : "path");
  args.end();
  std::string path = name;
  if (what == "pref") {
    const auto domainPath = sim::PreferenceStore::domainPath(name);
    if (!domainPath) throw BadLine("not a domain name: " + name);
    path = *domainPath;
  } else if (what != "file") {
    unhandledChoice("show", what);
  } else if (!sim::isDevicePath(path)) {
    throw BadLine("not a device path: " + path);
  }
  sim::Trace::Fields fields = {{what == "pref" ? "domain" : "path", name}};
  const auto bytes = device.files().read(path, sim::kMaxPlistBytes);
  const auto parsed = bytes ? sim::parsePlist(*bytes) : std::nullopt;
  if (parsed) {
    fields.emplace_back("format", parsed->format == sim::PlistFormat::kXml ? "xml" : "binary");
    fields.emplace_back("value", sim::FieldValue::of(parsed->value));
  } else {
    fields.emplace_back("format", !device.files().exists(path) ? "missing"
                                  : bytes                      ? "not a property list"
                                                               : "unreadable");
    if (bytes) fields.emplace_back("bytes", std::to_string(bytes->size()));
  }
  device.trace().add("scenario", "contents", std::move(fields));
}

// state: the device's state as one value (JSON with --trace json).
void ScenarioRunner::Impl::showState(Args& args) {
  args.end();
  device.trace().add("scenario", "state", {{"value", sim::FieldValue::of(state())}});
}

void ScenarioRunner::Impl::fault(Args& args) {
  const std::string kind = args.choice("fault");
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
    unhandledChoice("fault", kind);
  }
  device.trace().add("device", "fault", {{"fault", kind}, {"times", times < 0 ? "always" : std::to_string(times)}});
}

void ScenarioRunner::Impl::mark(Args& args) {
  args.end();
  window.clear();
}

void ScenarioRunner::Impl::activator(Args& args) {
  const std::string verb = args.choice("activator action");
  if (verb == "installed" || verb == "absent") {
    args.end();
    device.setActivatorInstalled(verb == "installed");
  } else if (verb == "fire") {
    const std::string name = args.word("listener name");
    args.end();
    sim::Process& springBoard = process("springboard");
    // A SpringBoard that ended during the event (killed mid-write, say) answered nothing: not a bad line.
    if (!springBoard.fireActivatorEvent(name) && !springBoard.ended()) {
      throw BadLine("no Activator listener " + name +
                    (nearest(name, listenerNames) ? didYouMean(name, listenerNames)
                     : listenerNames.empty()      ? "; none is registered (is Activator installed?)"
                                                  : "; registered: " + wordList(listenerNames, "and")));
    }
  } else if (verb == "ask") {
    const std::string name = args.word("listener name");
    const std::string what = args.word("question");
    const std::string argument = args.more() ? args.word("argument") : "";
    args.end();
    sim::Process& springBoard = process("springboard");
    if (!springBoard.askActivatorListener(name, what, argument) && !springBoard.ended()) {
      throw BadLine("no answer to " + what + " from Activator listener " + name);
    }
  } else {
    unhandledChoice("activator", verb);
  }
}

void ScenarioRunner::Impl::settings(Args& args) {
  const std::string verb = args.choice("settings action");
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
    unhandledChoice("settings", verb);
  }
}

void ScenarioRunner::Impl::file(Args& args) {
  const std::string verb = args.choice("file action");
  const std::string path = args.word("path");
  if (!sim::isDevicePath(path)) throw BadLine("not a device path: " + path);
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
    unhandledChoice("file", verb);
  }
}

void ScenarioRunner::Impl::writeFile(const std::string& path, const Value& value, sim::PlistFormat format) {
  auto bytes = sim::serializePlist(value, format);
  if (!bytes)
    throw BadLine(std::string("the value cannot be stored as ") +
                  (format == sim::PlistFormat::kXml ? "an XML" : "a binary") + " property list");
  writeBytes(path, *bytes, value);
}

void ScenarioRunner::Impl::deleteFile(const std::string& path) {
  if (!device.files().remove(path) && device.files().exists(path)) throw BadLine("cannot delete " + path);
  device.trace().add("device", "file-delete", {{"path", path}});
}

// `value`: what the bytes hold, when they are a property list the scenario gave.
void ScenarioRunner::Impl::writeBytes(const std::string& path, const std::string& bytes,
                                      const std::optional<Value>& value) {
  if (!device.files().writeAtomically(path, bytes)) throw BadLine("cannot write " + path);
  sim::Trace::Fields fields = {{"path", path}, {"bytes", std::to_string(bytes.size())}};
  if (value) {
    // What the file holds, which an XML file's whole-second dates can make differ from `value`.
    const auto stored = sim::parsePlist(bytes);
    fields.emplace_back("value", sim::FieldValue::of(stored ? stored->value : *value));
  }
  device.trace().add("device", "file-write", std::move(fields));
}

void ScenarioRunner::Impl::pref(Args& args) {
  const std::string verb = args.choice("pref action");
  const std::string domain = args.word("domain");
  const std::string key = args.word("key");
  if (!sim::PreferenceStore::domainPath(domain)) throw BadLine("not a domain name: " + domain);
  std::optional<Value> value;
  if (verb == "set") {
    value = args.value("value");
  } else if (verb == "remove") {
    args.end();
  } else {
    unhandledChoice("pref", verb);
  }
  if (!device.writePreference("device", key, value, domain)) throw BadLine("cannot write " + key + " to " + domain);
}

void ScenarioRunner::Impl::post(Args& args) {
  Process& from = process(args);
  const std::string center = args.choice("notification center");
  const std::string name = args.word("notification name");
  if (center == "darwin") {
    args.end();
    from.postDarwin(name);
  } else if (center == "distributed") {
    std::optional<Dictionary> userInfo;
    if (auto v = args.optionalValue("user info")) {
      if (!v->dictionary()) throw BadLine("user info must be a dictionary");
      userInfo = *v->dictionary();
    }
    device.postDistributed(from, platform::Notification{name, userInfo});
  } else {
    unhandledChoice("post", center);
  }
}

}  // namespace orvane::cli
