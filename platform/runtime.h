// The platform's message runtime: objects, classes with method tables, typed selectors, message
// sends and the hooking of methods and functions.
//
// Every selector carries its signature in its type, and every method table entry records the
// signature it was defined with; a send or a hook with another signature is a programming error and
// stops the program at once. A message to an absent object (or class) does nothing and yields the
// empty value of its result type: nothing, zero or false.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <utility>
#include <vector>

namespace orvane::objc {

class Class;

class Object {
 public:
  explicit Object(Class* isa) : isa_(isa) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;
  Class* isa() const { return isa_; }

 private:
  Class* isa_;
};

// A strong reference to an object; empty is nil.
using Id = std::shared_ptr<Object>;
// The selector a method was entered through (`_cmd`).
using Sel = std::string_view;

template <class Signature>
struct Selector;

// A selector whose methods take `Args...` and return `R`. An implementation receives the receiver
// (nil for a class method) and the selector before the arguments.
template <class R, class... Args>
struct Selector<R(Args...)> {
  using Signature = R(Args...);
  using Imp = std::function<R(const Id& self, Sel cmd, Args... args)>;
  std::string_view name;
};

// A plain function of the process image, replaceable as a whole.
template <class Signature>
struct FunctionSymbol {
  using Imp = std::function<Signature>;
  std::string_view name;
};

[[noreturn]] inline void fatal(std::string_view what, std::string_view name) {
  std::fprintf(stderr, "runtime error: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(name.size()), name.data());
  std::abort();
}

// Entries keyed by name, each holding one type-erased implementation with its signature.
class ImplementationTable {
 public:
  struct Entry {
    std::type_index signature;
    std::shared_ptr<void> imp;  // points at the std::function of that signature
  };

  template <class Signature, class ImpT>
  void define(std::string_view name, ImpT imp) {
    entries_.insert_or_assign(std::string(name), Entry{typeid(Signature), std::make_shared<ImpT>(std::move(imp))});
  }

  // The implementation under `name`, or nullptr. A signature mismatch is fatal.
  template <class Signature, class ImpT>
  std::shared_ptr<ImpT> find(std::string_view name) const {
    const Entry* entry = lookup(name);
    if (entry == nullptr) return nullptr;
    if (entry->signature != typeid(Signature)) fatal("signature mismatch", name);
    return std::static_pointer_cast<ImpT>(entry->imp);
  }

  // Puts `replacement` in place of the entry `name` and returns the previous implementation.
  std::shared_ptr<void> exchange(std::string_view name, std::type_index signature, std::shared_ptr<void> replacement) {
    auto it = entries_.find(name);
    if (it == entries_.end()) return nullptr;
    if (it->second.signature != signature) fatal("signature mismatch at hook time", name);
    return std::exchange(it->second.imp, std::move(replacement));
  }

  bool contains(std::string_view name) const { return entries_.find(name) != entries_.end(); }

 private:
  // Selectors are constants: the same send names its method with the same characters, at the same
  // place, every time. Entries found before are found again by that place, without comparing
  // names; entries are never removed, so what was found stays valid.
  const Entry* lookup(std::string_view name) const {
    for (const Found& f : found_) {
      // The same place, and (should a name ever come from elsewhere) the same characters.
      if (f.where == name.data() && f.it->first == name) return &f.it->second;
    }
    auto it = entries_.find(name);
    if (it == entries_.end()) return nullptr;
    if (found_.size() < kFoundKept) found_.push_back(Found{name.data(), it});
    return &it->second;
  }

  using Entries = std::map<std::string, Entry, std::less<>>;
  struct Found {
    const char* where;
    Entries::const_iterator it;
  };
  static constexpr std::size_t kFoundKept = 16;
  Entries entries_;
  mutable std::vector<Found> found_;
};

class Class {
 public:
  explicit Class(std::string name) : name_(std::move(name)) {}
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  const std::string& name() const { return name_; }
  ImplementationTable& instanceMethods() { return instanceMethods_; }
  ImplementationTable& classMethods() { return classMethods_; }
  const ImplementationTable& instanceMethods() const { return instanceMethods_; }
  const ImplementationTable& classMethods() const { return classMethods_; }

  template <class Signature>
  void addMethod(const Selector<Signature>& sel, typename Selector<Signature>::Imp imp) {
    instanceMethods_.define<Signature>(sel.name, std::move(imp));
  }
  template <class Signature>
  void addClassMethod(const Selector<Signature>& sel, typename Selector<Signature>::Imp imp) {
    classMethods_.define<Signature>(sel.name, std::move(imp));
  }

 private:
  std::string name_;
  ImplementationTable instanceMethods_;
  ImplementationTable classMethods_;
};

namespace detail {
template <class R, class... Args, class... Actual>
R invoke(const ImplementationTable& table, const Selector<R(Args...)>& sel, const Id& self, Actual&&... args) {
  using Sel_ = Selector<R(Args...)>;
  auto imp = table.template find<typename Sel_::Signature, typename Sel_::Imp>(sel.name);
  if (!imp) fatal("unrecognized selector", sel.name);
  return (*imp)(self, sel.name, std::forward<Actual>(args)...);
}
}  // namespace detail

// [self sel:args...]
template <class R, class... Args, class... Actual>
R send(const Id& self, const Selector<R(Args...)>& sel, Actual&&... args) {
  if (!self) return R();
  return detail::invoke(self->isa()->instanceMethods(), sel, self, std::forward<Actual>(args)...);
}

// [cls sel:args...]
template <class R, class... Args, class... Actual>
R sendClass(Class* cls, const Selector<R(Args...)>& sel, Actual&&... args) {
  if (cls == nullptr) return R();
  return detail::invoke(cls->classMethods(), sel, Id{}, std::forward<Actual>(args)...);
}

template <class Signature>
bool respondsTo(const Id& self, const Selector<Signature>& sel) {
  return self && self->isa()->instanceMethods().contains(sel.name);
}

}  // namespace orvane::objc
