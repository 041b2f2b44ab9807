// What the live page's drawing needs of the events gone by: the page folds events into what the
// screen shows (each process's keyboard, label overrides, switcher menu, alerts, lock screen,
// Activator's listeners), and a page that opens late, or falls behind, is given the events that
// still decide that, in the order they came, and none of the rest. So the session holds, whatever
// its length, what is on the screen and the last events the page's trace shows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/trace/trace.h"

namespace orvane::cli {

class ScreenEvents {
 public:
  // `json`: the event as the page is given it.
  void add(const sim::TraceEvent& event, const std::string& json);
  // The kept events, in the order they came, as a JSON array.
  [[nodiscard]] std::string json() const;
  // How many events are kept.
  [[nodiscard]] std::size_t size() const;

 private:
  struct Kept {
    std::uint64_t order = 0;
    std::string json;
  };
  // What decides one process's screen, each the event that last set it.
  struct Process {
    Kept first;                             // its first event (its start): the page knows it from there
    std::optional<Kept> inputMode;          // the event at which its input mode last changed
    std::string mode;                       // that input mode
    std::map<std::string, Kept> overrides;  // each key's label since then
    std::optional<Kept> label;
    std::optional<Kept> switcher;                      // the list asked for, or the menu hidden
    std::optional<Kept> lock;                          // locked or unlocked
    std::optional<Kept> shown;                         // the keyboard's will-show or will-hide
    std::vector<std::pair<std::string, Kept>> alerts;  // on screen, by title
  };
  std::uint64_t order_ = 0;
  std::optional<Kept> keyboards_;
  std::map<std::string, Process, std::less<>> processes_;
  std::map<std::string, Kept, std::less<>> listeners_;  // Activator's, by name
  std::map<std::string, Kept, std::less<>> titles_;     // the title each listener gave
};

}  // namespace orvane::cli
