// What every listener class shares: one instance, created on the first `sharedListener` and never
// released, and class references looked up by name once found.
#pragma once

#include <memory>
#include <string_view>

#include "platform/class_reference.h"
#include "platform/services.h"
#include "platform/uikit.h"

namespace orvane {

// A listener object: no state of its own.
class ListenerObject final : public objc::Object {
 public:
  using Object::Object;
};

using platform::ClassReference;

// Adds a listener class with `alloc`, `init`, `new` and the once-only `sharedListener`.
objc::Class* addListenerClass(platform::Runtime& runtime, std::string name);

// Posts a distributed notification through [NSDistributedNotificationCenter defaultCenter].
void postDistributed(ClassReference& center, std::string_view name, std::optional<Dictionary> userInfo);

}  // namespace orvane
