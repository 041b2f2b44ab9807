#include "sim/trace/event_kinds.h"

#include <algorithm>
#include <array>
#include <map>

namespace orvane::sim {

namespace {

constexpr std::array kEventKinds = {
    // The run itself.
    EventKind{"expect-failed", "message", true},
    EventKind{"bad-line", "message column", true},
    EventKind{"file-result", "result expectations failed", true},
    EventKind{"summary", "files passed failedFiles errorFiles expectations failed seconds", true},
    EventKind{"say", "text"},
    EventKind{"contents", "path domain format value bytes"},
    EventKind{"state", "value"},
    // The device.
    EventKind{"version", "value"},
    EventKind{"keyboard-methods", "value"},
    EventKind{"activator", "installed"},
    EventKind{"keyboards", "list displayNames"},
    EventKind{"keyboards-failed", "list displayNames", false,
              "a keyboards line the storage refuses, which stops the file"},
    EventKind{"fault", "fault times"},
    EventKind{"file-write", "path bytes format value"},
    EventKind{"file-write-failed", "path format value"},
    EventKind{"file-delete", "path"},
    EventKind{"runaway", "tasks", false, "a main queue that never empties, which the extension never makes"},
    EventKind{"interrupted", "tasks", false, "Ctrl-C in the shell, stopping a run"},
    // Processes.
    EventKind{"start", "inputMode"},
    EventKind{"stop", ""},
    EventKind{"exit", "status reason"},
    EventKind{"suspend", ""},
    EventKind{"resume", ""},
    EventKind{"notification-held", "center name"},
    EventKind{"library-load", "path"},
    EventKind{"library-load-failed", "path error"},
    EventKind{"dlopen", "path"},
    EventKind{"hook", "class selector function status"},
    EventKind{"hook-skipped", "class selector function status", false, "function: a function hook the runtime refuses"},
    EventKind{"hook-reverted", "class selector", false, "a hook undone, which the extension never asks"},
    EventKind{"application-main", ""},
    EventKind{"main-returned", "status"},
    EventKind{"log", "text"},
    EventKind{"alert", "title message button"},
    EventKind{"alert-dismissed", "title"},
    // Preferences and notifications.
    EventKind{"pref-set", "domain key value"},
    EventKind{"pref-write", "domain key value"},
    EventKind{"pref-write-failed", "domain key value"},
    EventKind{"pref-moved-aside", "domain to"},
    EventKind{"pref-sync", "domain"},
    EventKind{"darwin-observe", "name"},
    EventKind{"darwin-post", "name"},
    EventKind{"darwin-deliver", "name"},
    EventKind{"notify-post", "name"},
    EventKind{"gs-prefs-changed", "domain key"},
    EventKind{"distributed-observe", "name"},
    EventKind{"distributed-post", "name userInfo"},
    EventKind{"distributed-deliver", "name"},
    EventKind{"local-notification", "name"},
    EventKind{"main-queue-async", "task source"},
    EventKind{"main-queue-run", "task"},
    // The keyboard.
    EventKind{"input-mode", "identifier by keyboard"},
    EventKind{"input-mode-unchanged", "by value reason keyboard"},
    EventKind{"context-finished", "context"},
    EventKind{"context-finished-again", "context", false,
              "a keyboard step's context finished twice: a fault the extension does not make"},
    EventKind{"context-unfinished", "context", false,
              "a keyboard step's context never finished: a fault the extension does not make"},
    EventKind{"tap", "key"},
    EventKind{"typed", "key"},
    EventKind{"touch-up", "key"},
    EventKind{"switcher-list", "list"},
    EventKind{"switcher-hidden", ""},
    EventKind{"switcher-choice", "keyboard"},
    EventKind{"locked", ""},
    EventKind{"label", "key text"},
    EventKind{"label-override", "key text"},
    EventKind{"unlocked", "source"},
    EventKind{"autocorrection-requested", "value"},
    // Activator and AppList.
    EventKind{"activator-register", "name listener object"},
    EventKind{"activator-unregister", "name", false, "a listener unregistered, which the extension never does"},
    EventKind{"activator-event", "name"},
    EventKind{"activator-event-done", "name handled"},
    EventKind{"activator-answer", "name what answer"},
    EventKind{"applist-icon", "displayIdentifier size"},
};

const std::map<std::string, std::vector<std::string>, std::less<>>& fieldsByKind() {
  static const auto byKind = [] {
    std::map<std::string, std::vector<std::string>, std::less<>> out;
    for (const EventKind& kind : kEventKinds) {
      std::vector<std::string>& fields = out[std::string(kind.name)];
      for (std::size_t at = 0; at < kind.fields.size();) {
        const std::size_t end = std::min(kind.fields.find(' ', at), kind.fields.size());
        fields.emplace_back(kind.fields.substr(at, end - at));
        at = end + 1;
      }
    }
    return out;
  }();
  return byKind;
}

}  // namespace

std::span<const EventKind> eventKindRows() { return kEventKinds; }

const std::vector<std::string>* eventFields(std::string_view kind) {
  const auto it = fieldsByKind().find(kind);
  return it == fieldsByKind().end() ? nullptr : &it->second;
}

std::vector<std::string> eventKinds() {
  std::vector<std::string> names;
  for (const auto& [kind, fields] : fieldsByKind()) names.push_back(kind);
  return names;
}

}  // namespace orvane::sim
