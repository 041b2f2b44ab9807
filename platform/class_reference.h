// A platform class looked up by name: the lookup repeats at each use until it finds the class, which
// is then kept for the life of the process. The one way the extension refers to a class that may be
// absent.
#pragma once

#include <string_view>

#include "platform/services.h"

namespace orvane::platform {

class ClassReference {
 public:
  ClassReference(Runtime& runtime, std::string_view name) : runtime_(&runtime), name_(name) {}
  objc::Class* get() {
    if (cls_ == nullptr) cls_ = runtime_->objc_getClass(name_);
    return cls_;
  }

 private:
  Runtime* runtime_;
  std::string_view name_;
  objc::Class* cls_ = nullptr;
};

}  // namespace orvane::platform
