#include "cli/live/screen_events.h"

#include <algorithm>

#include "platform/uikit.h"

namespace orvane::cli {

void ScreenEvents::add(const sim::TraceEvent& e, const std::string& json) {
  const std::string& kind = e.kind;
  // One copy of the event, whatever keeps it (a listener's registration is SpringBoard's too).
  const Kept event{order_++, json};
  const auto keep = [&event](const std::string&) { return event; };
  if (kind == "keyboards") {
    keyboards_ = keep(json);
    return;
  }
  if (e.process == "device" || e.process == "scenario") return;
  if (kind == "stop" || kind == "exit") {
    processes_.erase(e.process);
    return;
  }
  if (kind == "activator-register") {
    if (const std::string* name = e.field("name")) listeners_[*name] = keep(json);
  }
  if (kind == "activator-answer" && e.fieldText("what") == "title" && e.fieldText("answer") != "(nil)") {
    if (const std::string* name = e.field("name")) titles_[*name] = keep(json);
  }
  auto it = processes_.find(e.process);
  if (it == processes_.end() || kind == "start") {
    Process fresh;
    fresh.first = keep(json);
    if (kind == "start") fresh.mode = e.fieldText("inputMode").value_or("");
    processes_.insert_or_assign(e.process, std::move(fresh));
    return;
  }
  Process& p = it->second;
  if (kind == "input-mode") {
    // Kept where the mode changed: the labels a key was given since stay after it.
    const std::string mode = e.fieldText("identifier").value_or("");
    if (mode != p.mode || !p.inputMode) {
      if (mode != p.mode) p.overrides.clear();
      p.inputMode = keep(json);
      p.mode = mode;
    }
  } else if (kind == "label-override") {
    p.overrides[e.fieldText("key").value_or("")] = keep(json);
  } else if (kind == "label") {
    p.label = keep(json);
  } else if (kind == "switcher-list" || kind == "switcher-hidden") {
    p.switcher = keep(json);
  } else if (kind == "locked" || kind == "unlocked") {
    p.lock = keep(json);
  } else if (kind == "local-notification") {
    const auto name = e.fieldText("name");
    if (name == platform::names::kUIKeyboardWillShowNotification ||
        name == platform::names::kUIKeyboardWillHideNotification) {
      p.shown = keep(json);
    }
  } else if (kind == "alert") {
    p.alerts.emplace_back(e.fieldText("title").value_or(""), keep(json));
  } else if (kind == "alert-dismissed") {
    const std::string title = e.fieldText("title").value_or("");
    const auto last =
        std::find_if(p.alerts.rbegin(), p.alerts.rend(), [&title](const auto& a) { return a.first == title; });
    if (last != p.alerts.rend()) p.alerts.erase(std::next(last).base());
  }
}

std::string ScreenEvents::json() const {
  std::vector<const Kept*> kept;
  const auto add = [&kept](const std::optional<Kept>& k) {
    if (k) kept.push_back(&*k);
  };
  add(keyboards_);
  for (const auto& [name, k] : listeners_) kept.push_back(&k);
  for (const auto& [name, k] : titles_) kept.push_back(&k);
  for (const auto& [name, p] : processes_) {
    kept.push_back(&p.first);
    for (const auto* one : {&p.inputMode, &p.label, &p.switcher, &p.lock, &p.shown}) add(*one);
    for (const auto& [key, k] : p.overrides) kept.push_back(&k);
    for (const auto& [title, k] : p.alerts) kept.push_back(&k);
  }
  std::ranges::sort(kept, {}, &Kept::order);
  kept.erase(std::unique(kept.begin(), kept.end(), [](const Kept* a, const Kept* b) { return a->order == b->order; }),
             kept.end());
  std::string out = "[";
  for (const Kept* k : kept) out.append(out.size() > 1 ? "," : "").append(k->json);
  return out + "]";
}

std::size_t ScreenEvents::size() const {
  std::size_t n = (keyboards_ ? 1 : 0) + listeners_.size() + titles_.size();
  for (const auto& [name, p] : processes_) {
    n += 1 + p.overrides.size() + p.alerts.size();
    for (const auto* one : {&p.inputMode, &p.label, &p.switcher, &p.lock, &p.shown}) n += one->has_value() ? 1 : 0;
  }
  return n;
}

}  // namespace orvane::cli
