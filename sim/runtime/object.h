// What objects and classes are on the fast runtime. Private to the runtime: everyone else knows
// them only through platform/runtime.h.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/runtime.h"

namespace orvane::sim {
class ObjcRuntime;
}

namespace orvane::objc {

class Object {
 public:
  explicit Object(Class* isa) : isa_(isa) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  Class* isa() const { return isa_; }
  // The instance variables the object's class declared, and their type; empty when it declared none.
  std::shared_ptr<void> ivars;
  const std::type_info* ivarType = nullptr;

 private:
  friend class orvane::sim::ObjcRuntime;
  Class* isa_;
};

// A method as a class holds it: its signature and its implementation (a `Selector<signature>::Imp`).
struct Method {
  const std::type_info* signature;
  std::shared_ptr<void> imp;
};

class Class final : public Object {
 public:
  Class(sim::ObjcRuntime& runtime, std::string name, Class* superclass, Class* meta, bool isMeta)
      : Object(meta), runtime(runtime), name(std::move(name)), superclass(superclass), isMeta(isMeta) {}

  sim::ObjcRuntime& runtime;
  const std::string name;
  Class* superclass;
  const bool isMeta;
  bool registered = false;
  // Keyed by selector name; a method's node never moves while it is there.
  std::map<std::string, Method, std::less<>> methods;
  std::vector<std::string> protocols;
  const std::type_info* ivarType = nullptr;
  std::shared_ptr<void> (*makeIvars)() = nullptr;

  // Methods found before, by where their selector's name lives (selectors are constants: a send
  // names its method with the same characters at the same place every time), valid while the
  // runtime's generation is the one they were found in.
  struct Found {
    const char* where;
    std::size_t size;
    const Method* method;
  };
  static constexpr std::size_t kFoundKept = 16;
  mutable std::vector<Found> found;
  mutable std::uint64_t foundGeneration = 0;
};

}  // namespace orvane::objc
