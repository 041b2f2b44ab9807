// What every listener class shares: one instance, created on the first `sharedListener` and never
// released, and class references looked up by name once found.
#pragma once

#include <memory>
#include <string_view>

#include "platform/class_definition.h"
#include "platform/class_reference.h"
#include "platform/services.h"
#include "platform/uikit.h"

namespace orvane {

using platform::ClassReference;

// Begins a listener class: an NSObject adopting Activator's listener protocol, with the once-only
// `sharedListener`. The caller adds its methods and registers it.
std::unique_ptr<platform::ClassDefinition> defineListenerClass(platform::Runtime& runtime, std::string_view name);

// Posts a distributed notification through [NSDistributedNotificationCenter defaultCenter].
void postDistributed(ClassReference& center, std::string_view name, std::optional<Dictionary> userInfo);

}  // namespace orvane
