// A process's CFPreferences: its own copy of each domain, and the sets it holds until it
// synchronizes, or hands to the preference daemon at once. On the phone these are CoreFoundation's
// CFPreferencesCopyAppValue, CFPreferencesSetAppValue, CFPreferencesGetAppBooleanValue and
// CFPreferencesAppSynchronize, with cfprefsd behind them from iOS 8 on.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <utility>

#include "sim/device/device.h"
#include "sim/device/process.h"

namespace orvane::sim {

// The process's own copy of each domain, as CoreFoundation keeps it (CFApplicationPreferences.c): a
// read answers from a dictionary built at the first read, from the file and the values this process
// holds; its synchronize drops it, and so does a set up to iOS 7 (from iOS 8 on a set changes it in
// place). So a value another process writes is seen only after this process synchronizes, or by a
// process that had not read the domain yet.
Dictionary& LocalProcess::preferenceView(std::string_view app) {
  auto it = preferenceViews_.find(app);
  if (it == preferenceViews_.end()) {
    Dictionary view = device_.preferenceDomain(app);
    if (auto pending = pendingPreferences_.find(app); pending != pendingPreferences_.end()) {
      for (const auto& [key, value] : pending->second) {
        if (value) {
          view.insert_or_assign(key, *value);
        } else {
          view.erase(key);
        }
      }
    }
    it = preferenceViews_.emplace(std::string(app), std::move(view)).first;
  }
  return it->second;
}

// A key the application's domain does not hold is looked for in the domain every application shares
// (".GlobalPreferences"), as CFPreferencesCopyAppValue searches the preference domains in order.
std::optional<Value> LocalProcess::CFPreferencesCopyAppValue(std::string_view key, std::string_view app) {
  ++preferenceReads_;
  const Dictionary& view = preferenceView(app);
  if (auto it = view.find(key); it != view.end()) return it->second;
  if (app == kGlobalPreferencesDomain) return std::nullopt;
  const Dictionary& global = preferenceView(kGlobalPreferencesDomain);
  auto it = global.find(key);
  return it == global.end() ? std::nullopt : std::optional<Value>(it->second);
}

void LocalProcess::CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value,
                                            std::string_view app) {
  if (tracing()) {
    trace("pref-set", {{"domain", std::string(app)},
                       {"key", std::string(key)},
                       {"value", value ? FieldValue::of(*value) : "(removed)"}});
  }
  if (preferenceDaemonTakesEachSet(version_)) {
    // The daemon receives the value as it is set, and the process's own copy holds it at once,
    // whether or not the daemon's write of the file succeeds. A copy not yet built is built from the
    // file at the next read, which holds the value once written: only a failed write builds it now.
    const bool written = device_.writePreference(name(), key, value, app);
    if (written && !preferenceViews_.contains(app)) return;
    Dictionary& view = preferenceView(app);
    if (value) {
      view.insert_or_assign(std::string(key), *value);
    } else {
      view.erase(std::string(key));
    }
    return;
  }
  // Held by the process until it synchronizes a domain (or stops): the file does not hold it yet.
  auto& pending = pendingPreferences_[std::string(app)];
  std::erase_if(pending, [&](const auto& write) { return write.first == key; });
  pending.emplace_back(std::string(key), value);
  preferenceViews_.erase(std::string(app));
}

bool LocalProcess::writeHeldPreferences() {
  bool all = true;
  for (const auto& [app, writes] : pendingPreferences_) {
    for (const auto& [key, value] : writes) all = device_.writePreference(name(), key, value, app) && all;
  }
  pendingPreferences_.clear();
  return all;
}

void LocalProcess::flushAllPreferences() { writeHeldPreferences(); }

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// CoreFoundation's reading (CFPreferences.c, CFPreferencesGetAppBooleanValue): a boolean; a string
// "true" or "YES", "false" or "NO", ignoring case; an integer as CFNumberGetValue converts it to a C
// int, its low 32 bits, which decide (so 2^32 and -2^63 are a valid false). A real, any other string
// and every other type are not valid.
std::optional<bool> preferenceBoolean(const Value& value) {
  const auto& s = value.storage();
  if (const auto* b = std::get_if<bool>(&s)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&s)) return static_cast<std::uint32_t>(*i) != 0;
  if (const auto* u = std::get_if<std::uint64_t>(&s)) return static_cast<std::uint32_t>(*u) != 0;
  if (const auto* text = value.string()) {
    if (equalsIgnoringCase(*text, "true") || equalsIgnoringCase(*text, "YES")) return true;
    if (equalsIgnoringCase(*text, "false") || equalsIgnoringCase(*text, "NO")) return false;
  }
  return std::nullopt;
}

}  // namespace

bool LocalProcess::CFPreferencesGetAppBooleanValue(std::string_view key, std::string_view app, bool* valid) {
  const auto value = CFPreferencesCopyAppValue(key, app);
  const auto reading = value ? preferenceBoolean(*value) : std::nullopt;
  if (valid != nullptr) *valid = reading.has_value();
  return reading.value_or(false);
}

bool LocalProcess::CFPreferencesAppSynchronize(std::string_view app) {
  // What this process holds of every domain reaches its file, as CoreFoundation's synchronize writes
  // its whole domain cache (CFApplicationPreferences.c, _CFApplicationPreferencesSynchronizeNoLock
  // calls _CFSynchronizeDomainCache); where a daemon took each set, nothing is left to write. The
  // named domain's copy alone is dropped: its next read sees what every process has written.
  trace("pref-sync", {{"domain", std::string(app)}});
  const bool written = writeHeldPreferences();
  preferenceViews_.erase(std::string(app));
  return written;
}

}  // namespace orvane::sim
