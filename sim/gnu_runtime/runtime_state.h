// What the libobjc backend keeps beside libobjc's own tables, shared by its files: the classes
// (gnu_runtime.cpp), the message send's lookup (message_send.cpp) and the hooking service
// (method_hooks.cpp). A backend on the phone's runtime replaces the last two: the platform's
// objc_msgSend and class_getMethodImplementation find a method, its hooking call replaces one.
// Private to the backend.
#pragma once

#include <objc/message.h>
#include <objc/runtime.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/runtime.h"

// libobjc's own names (Class, Method, IMP, SEL, id) are used unqualified; the seam's are objc::...
namespace orvane::sim::gnu {

using RealClass = ::Class;

// A method is entered through objc::send, which finds it with objc_msg_lookup and calls the
// closure the method was defined with. Each method's IMP is therefore an address of its own that
// names the closure: one of a pool of functions that stop the program if anything ever calls them
// directly (nothing outside the seam sends to these classes).
inline constexpr std::size_t kSlots = 4096;
template <std::size_t N>
[[noreturn]] void unboundSlot() {
  static constexpr std::size_t kSlot = N;  // a different body for every slot: no two may be merged
  std::fprintf(stderr, "runtime error: implementation slot %zu entered outside objc::send\n", kSlot);
  std::abort();
}
template <std::size_t... N>
std::array<IMP, sizeof...(N)> makeSlots(std::index_sequence<N...>) {
  return {reinterpret_cast<IMP>(&unboundSlot<N>)...};
}

// The types string every method is added with ("?": of unknown type). The C++ signature is what
// the seam checks, from the entry below.
inline constexpr const char* kTypes = "?";

struct Entry {
  const std::type_info* signature;
  std::shared_ptr<void> imp;    // a Selector<signature>::Imp; empty for a method inherited again
  RealClass inheritFrom = Nil;  // set: the method answers with the superclass's, found at call time
};

// A protocol object as libobjc lays it out (struct objc_protocol). libobjc has no call that makes
// one at run time; on the platform, protocols come from the libraries that declare them.
struct ProtocolObject {
  RealClass isa;
  const char* name;
  void* protocols;
  void* instanceMethods;
  void* classMethods;
};

struct IvarDeclaration {
  const std::type_info* type;
  std::shared_ptr<void> (*make)();
};

// What every instance carries after the class's own (empty) instance variables.
struct Extra {
  std::shared_ptr<void> ivars;
  const std::type_info* type = nullptr;
};

struct Hook {
  bool added;  // the class had only inherited the method
  IMP previous;
};

// A table from pointers (never null) to values, for the two lookups a send makes beside libobjc's
// own: open addressing with linear probing, at most half full, nothing ever taken out.
template <class Key, class Value>
class PointerTable {
 public:
  Value* find(Key key) {
    for (std::size_t i = indexOf(key, mask_); slots_[i].key != nullptr; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].value;
    }
    return nullptr;
  }
  Value& at(Key key) {
    Value* value = find(key);
    if (value == nullptr) objc::fatal("no such entry", "a table of the runtime");
    return *value;
  }
  void set(Key key, Value value) {
    if (Value* known = find(key)) {
      *known = std::move(value);
      return;
    }
    if ((used_ + 1) * 2 > slots_.size()) grow();
    place(slots_, mask_, Slot{key, std::move(value)});
    ++used_;
  }

 private:
  struct Slot {
    Key key = nullptr;
    Value value{};
  };
  static std::size_t indexOf(Key key, std::size_t mask) {
    // Fibonacci hashing of the address: the implementation slots lie at a fixed stride, which a
    // plain mask of the address would crowd into a few buckets.
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ULL) >> 40) & mask;
  }
  static void place(std::vector<Slot>& slots, std::size_t mask, Slot slot) {
    std::size_t i = indexOf(slot.key, mask);
    while (slots[i].key != nullptr) i = (i + 1) & mask;
    slots[i] = std::move(slot);
  }
  void grow() {
    std::vector<Slot> grown(slots_.size() * 2);
    for (Slot& slot : slots_) {
      if (slot.key != nullptr) place(grown, grown.size() - 1, std::move(slot));
    }
    slots_ = std::move(grown);
    mask_ = slots_.size() - 1;
  }

  std::vector<Slot> slots_ = std::vector<Slot>(64);
  std::size_t mask_ = 63;
  std::size_t used_ = 0;
};

// A selector as the seam knows it: the length of the name it was registered under, and libobjc's.
struct KnownSelector {
  std::size_t size = 0;
  SEL sel = nullptr;
};

// The runtime's state beyond libobjc's own tables. libobjc's class table is one per operating-system
// process, and so is this.
struct State {
  std::array<IMP, kSlots> slots = makeSlots(std::make_index_sequence<kSlots>());
  std::size_t slotsUsed = 0;
  std::vector<IMP> slotsFree;
  PointerTable<IMP, Entry> entries;
  PointerTable<const char*, KnownSelector> selectors;
  std::map<std::string, std::unique_ptr<ProtocolObject>, std::less<>> protocols;
  std::unordered_map<RealClass, IvarDeclaration> ivars;
  std::map<std::pair<RealClass, std::string>, std::vector<Hook>> hooks;
  std::set<std::pair<RealClass, std::string>> inheritedAgain;

  IMP takeSlot() {
    if (!slotsFree.empty()) {
      IMP slot = slotsFree.back();
      slotsFree.pop_back();
      return slot;
    }
    if (slotsUsed == kSlots) objc::fatal("out of implementation slots", "more than 4096 methods");
    return slots[slotsUsed++];
  }
};

inline State& state() {
  static State* s = new State;  // never destroyed: closures may run while the program exits
  return *s;
}

inline RealClass real(const objc::Class* cls) { return reinterpret_cast<RealClass>(const_cast<objc::Class*>(cls)); }
inline objc::Class* wrap(RealClass cls) { return reinterpret_cast<objc::Class*>(cls); }
inline id real(const objc::Object& object) { return reinterpret_cast<id>(const_cast<objc::Object*>(&object)); }

// The selector of that name. Selector names are constants (a send names its method with the same
// characters at the same place every time), so the runtime's selector is kept by that place and
// the name's length; the first send of a name registers it (gnu_runtime.cpp).
SEL registerSelector(State& s, objc::Sel name);
inline SEL selector(objc::Sel name) {
  State& s = state();
  const KnownSelector* known = s.selectors.find(name.data());  // NOLINT(bugprone-suspicious-stringview-data-usage)
  return known != nullptr && known->size == name.size() ? known->sel : registerSelector(s, name);
}

inline Extra* extraOf(id object) { return static_cast<Extra*>(object_getIndexedIvars(object)); }

}  // namespace orvane::sim::gnu
