// What every listener class shares: one instance, created on the first `sharedListener` and never
// released, and class references looked up by name once found.
#pragma once

#include <memory>
#include <string_view>

#include "platform/services.h"
#include "platform/uikit.h"

namespace orvane {

// A listener object: no state of its own.
class ListenerObject final : public objc::Object {
 public:
  using Object::Object;
};

// A class reference looked up by name at each use until found, then kept.
class ClassReference {
 public:
  ClassReference(platform::Runtime& runtime, std::string_view name) : runtime_(&runtime), name_(name) {}
  objc::Class* get() {
    if (cls_ == nullptr) cls_ = runtime_->objc_getClass(name_);
    return cls_;
  }

 private:
  platform::Runtime* runtime_;
  std::string_view name_;
  objc::Class* cls_ = nullptr;
};

// Adds a listener class with `alloc`, `init`, `new` and the once-only `sharedListener`.
objc::Class* addListenerClass(platform::Runtime& runtime, std::string name);

// Posts a distributed notification through [NSDistributedNotificationCenter defaultCenter].
void postDistributed(ClassReference& center, std::string_view name, std::optional<Dictionary> userInfo);

}  // namespace orvane
