// Activator in a simulated process: present once its library exists on the device and the process
// has opened it. It keeps the listener registrations, sends events to listeners and asks them for
// their titles, descriptions, groups, icons and the rest. AppList answers icons from what the device
// holds for each application.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/activator.h"

namespace orvane::sim {

class Host;

// Adds the LAActivator and LAEvent classes to the host.
void loadActivatorClasses(Host& host);
// Adds ALApplicationList, UIImage, NSBundle and NSLocale.
void buildResourceClasses(Host& host);

// Sends an event to the listener registered under `name`; false when Activator is absent or no
// listener has that name.
bool fireActivatorEvent(Host& host, const std::string& name);
// Asks the listener under `name` one question (see docs/scenarios.md); the answer's text form, or
// nothing when the question is unknown or no listener has that name.
std::optional<std::string> askActivatorListener(Host& host, const std::string& name, const std::string& what,
                                                const std::string& argument);

// How an image describes itself in the trace.
std::string describeImage(const objc::Id& image);

}  // namespace orvane::sim
