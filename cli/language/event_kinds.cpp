// Every kind of trace event and the fields it may carry, as docs/scenarios.md lists them under
// "The trace". `expect event` is checked against it, so a misspelt kind or field is an error
// rather than an expectation that can never hold; ScenarioLanguage.EveryEventTheSuiteMakesIsListed
// holds the list to what the device and the extension really trace.
#include <map>

#include "language.h"

namespace orvane::cli {

namespace {

using Fields = std::vector<std::string>;

// A table of every kind, one line each: longer than a function should be, and better whole.
// NOLINTNEXTLINE(readability-function-size)
const std::map<std::string, Fields, std::less<>>& table() {
  static const std::map<std::string, Fields, std::less<>> kinds = {
      // The run itself.
      {"expect-failed", {"message"}},
      {"bad-line", {"message", "column"}},
      {"file-result", {"result", "expectations", "failed"}},
      {"summary", {"files", "passed", "failedFiles", "errorFiles", "expectations", "failed", "seconds"}},
      {"say", {"text"}},
      {"contents", {"path", "domain", "format", "value", "bytes"}},
      {"state", {"value"}},
      // The device.
      {"version", {"value"}},
      {"keyboard-methods", {"value"}},
      {"activator", {"installed"}},
      {"keyboards", {"list", "displayNames"}},
      {"keyboards-failed", {"list", "displayNames"}},
      {"fault", {"fault", "times"}},
      {"file-write", {"path", "bytes", "format", "value"}},
      {"file-write-failed", {"path", "format", "value"}},
      {"file-delete", {"path"}},
      {"runaway", {"tasks"}},
      {"interrupted", {"tasks"}},
      // Processes.
      {"start", {"inputMode"}},
      {"stop", {}},
      {"exit", {"status", "reason"}},
      {"suspend", {}},
      {"resume", {}},
      {"notification-held", {"center", "name"}},
      {"library-load", {"path"}},
      {"library-load-failed", {"path", "error"}},
      {"dlopen", {"path"}},
      {"hook", {"class", "selector", "function", "status"}},
      {"hook-skipped", {"class", "selector", "function", "status"}},
      {"hook-reverted", {"class", "selector"}},
      {"application-main", {}},
      {"main-returned", {"status"}},
      {"log", {"text"}},
      {"alert", {"title", "message", "button"}},
      {"alert-dismissed", {"title"}},
      // Preferences and notifications.
      {"pref-set", {"domain", "key", "value"}},
      {"pref-write", {"domain", "key", "value"}},
      {"pref-write-failed", {"domain", "key", "value"}},
      {"pref-moved-aside", {"domain", "to"}},
      {"pref-sync", {"domain"}},
      {"darwin-observe", {"name"}},
      {"darwin-post", {"name"}},
      {"darwin-deliver", {"name"}},
      {"notify-post", {"name"}},
      {"gs-prefs-changed", {"domain", "key"}},
      {"distributed-observe", {"name"}},
      {"distributed-post", {"name", "userInfo"}},
      {"distributed-deliver", {"name"}},
      {"local-notification", {"name"}},
      {"main-queue-async", {"task", "source"}},
      {"main-queue-run", {"task"}},
      // The keyboard.
      {"input-mode", {"identifier", "by", "keyboard"}},
      {"input-mode-unchanged", {"by", "value", "reason", "keyboard"}},
      {"context-finished", {"context"}},
      {"context-finished-again", {"context"}},
      {"context-unfinished", {"context"}},
      {"tap", {"key"}},
      {"typed", {"key"}},
      {"touch-up", {"key"}},
      {"switcher-list", {"list"}},
      {"switcher-hidden", {}},
      {"switcher-choice", {"keyboard"}},
      {"locked", {}},
      {"label", {"key", "text"}},
      {"label-override", {"key", "text"}},
      {"unlocked", {"source"}},
      {"autocorrection-requested", {"value"}},
      // Activator and AppList.
      {"activator-register", {"name", "listener", "object"}},
      {"activator-unregister", {"name"}},
      {"activator-event", {"name"}},
      {"activator-event-done", {"name", "handled"}},
      {"activator-answer", {"name", "what", "answer"}},
      {"applist-icon", {"displayIdentifier", "size"}},
  };
  return kinds;
}

}  // namespace

const std::vector<std::string>* eventFields(std::string_view kind) {
  const auto it = table().find(kind);
  return it == table().end() ? nullptr : &it->second;
}

std::vector<std::string> eventKinds() {
  std::vector<std::string> names;
  for (const auto& [kind, fields] : table()) names.push_back(kind);
  return names;
}

}  // namespace orvane::cli
