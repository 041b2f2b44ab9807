// The in-process agent: one `GlobalFunction` object per application, created at application start.
// It carries out the commands that SpringBoard's actions post as distributed notifications, and
// switches to the default keyboard whenever the keyboard is about to be shown after being hidden.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/services.h"
#include "platform/uikit.h"
#include "settings/commands.h"

namespace orvane {

// Adds the class to the process. `keyboardShownFlag` is the process's flag, which outlives the class's
// use; `[GlobalFunction new]` then creates an agent.
objc::Class* addGlobalFunctionClass(const platform::Platform& platform, bool* keyboardShownFlag);

}  // namespace orvane
