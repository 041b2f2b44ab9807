// One walk over a value for each form that writes values out (the text form of values, the trace's
// JSON): a form says how each kind of value is spelt, how a set and a key are written and what
// separates members; the walk, and the bound on what is written out in full, are the same for all.
//
// A form is a type with `kSeparator` and `kKeySeparator` (string views), `scalar(v)` for each kind
// that holds no other, `set(members)` (the members already written as an array), `key(k)` and
// `tooLarge(size)`, for a value too large to write out in full.
#pragma once

#include <string>
#include <type_traits>
#include <variant>

#include "platform/value.h"
#include "sim/plist/object_identity.h"
#include "sim/plist/plist_io.h"

namespace orvane::sim {

// The value written out in full: its parts are not measured again.
template <typename Form>
std::string writeExpanded(const Value& value, const Form& form);

template <typename Form>
std::string writeArray(const Array& array, const Form& form) {
  std::string out = "[";
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i != 0) out += Form::kSeparator;
    out += writeExpanded(array[i], form);
  }
  return out + "]";
}

// A dictionary's members, each written by `member`.
template <typename Form, typename Member>
std::string writeDictionary(const Dictionary& dictionary, const Form& form, Member member) {
  std::string out = "{";
  for (const auto& [key, element] : dictionary) {
    if (out.size() > 1) out += Form::kSeparator;
    out.append(form.key(key)).append(Form::kKeySeparator).append(member(element));
  }
  return out + "}";
}

template <typename Form>
std::string writeExpanded(const Value& value, const Form& form) {
  return std::visit(
      [&form](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Array>) {
          return writeArray(v, form);
        } else if constexpr (std::is_same_v<T, Set>) {
          return form.set(writeArray(v.members, form));
        } else if constexpr (std::is_same_v<T, Dictionary>) {
          return writeDictionary(v, form, [&form](const Value& member) { return writeExpanded(member, form); });
        } else {
          return form.scalar(v);
        }
      },
      value.storage());
}

// The value, written out in full only within the bounds of the property-list code (a few values
// that share one object many times over would otherwise come to gigabytes). A dictionary of a few
// keys (a settings file, a preference domain) too large as a whole still shows each key, only the
// members too large to write out standing for themselves.
template <typename Form>
std::string writeValue(const Value& value, const Form& form) {
  constexpr std::size_t kMembersShownApart = 256;
  // Only an object that can be shared can make a value larger than it looks.
  if (ObjectIdentity::of(value) != nullptr) {
    const ValueSize size = sizeOf(value);
    if (!expandable(size)) {
      if (const Dictionary* d = value.dictionary(); d != nullptr && d->size() <= kMembersShownApart) {
        return writeDictionary(*d, form, [&form](const Value& member) { return writeValue(member, form); });
      }
      return form.tooLarge(size);
    }
  }
  return writeExpanded(value, form);
}

}  // namespace orvane::sim
