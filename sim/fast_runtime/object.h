// What objects and classes are on the fast runtime. Private to the runtime: everyone else knows
// them only through platform/runtime.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
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

// A class's method cache, as the platform runtime's: what a send of each selector to the class's
// instances found, filled at the first send and emptied whenever the methods of the class or of one
// of its superclasses change. Keyed by where the selector's name lives (selectors are constants: a
// send names its method with the same characters at the same place every time) and by the signature
// sent with. Open addressing with linear probing, at most three quarters full; an empty cache is one
// empty bucket, so a send probes without testing for it.
struct MethodCacheEntry {
  const char* name = nullptr;  // nullptr: an empty bucket
  std::size_t size = 0;
  const std::type_info* signature = nullptr;
  const void* imp = nullptr;
};
inline constexpr MethodCacheEntry kEmptyMethodCache[1] = {};

class MethodCache {
 public:
  using Entry = MethodCacheEntry;

  // The implementation cached for the selector sent with that signature, or nullptr. A send looks
  // at the first bucket (`holds(first(name), ...)`) before it calls this.
  const void* find(Sel name, const std::type_info& signature) const;
  const Entry& first(Sel name) const {
    // indexOf's bucket, reached in one shift, one mask and one add: the name's place shifted so that
    // its bits above the third count whole buckets (32 bytes on 64 bits, 16 on 32), masked with the
    // cache's size in bytes.
    const std::size_t offset = (reinterpret_cast<std::uintptr_t>(name.data()) << kEntryShift) & offsetMask_;
    return *reinterpret_cast<const Entry*>(reinterpret_cast<const char*>(entries_) + offset);
  }
  static bool holds(const Entry& entry, Sel name, const std::type_info& signature) {
    return entry.name == name.data() && entry.signature == &signature && entry.size == name.size();
  }
  bool empty() const { return used_ == 0; }
  void insert(const Entry& entry);
  void clear();

 private:
  static constexpr const Entry* kEmpty = kEmptyMethodCache;
  static_assert(std::has_single_bit(sizeof(Entry)) && sizeof(Entry) >= 8);
  static constexpr int kEntryShift = std::countr_zero(sizeof(Entry)) - 3;
  std::size_t mask() const { return offsetMask_ / sizeof(Entry); }
  static std::size_t indexOf(const char* name, std::size_t mask) {
    return (reinterpret_cast<std::uintptr_t>(name) >> 3) & mask;
  }
  // Enters `entry` at the first empty bucket from its own.
  static void place(Entry* buckets, std::size_t mask, const Entry& entry);

  const Entry* entries_ = kEmpty;
  std::size_t offsetMask_ = 0;  // the last bucket's offset in bytes: the index mask times the entry's size
  std::size_t used_ = 0;
  std::unique_ptr<Entry[]> owned_;
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

  mutable MethodCache cache;
};

}  // namespace orvane::objc
