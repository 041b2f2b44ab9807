// Typed calls over a channel: a protocol is one table of member functions, each with a name for
// messages; the caller names the member it calls and the server finds the member by the call's
// number, so both ends read the same table and no call is spelled twice. A member that is not in
// the table cannot be called (it does not compile), and a call that is not in the table, or
// arguments that are not what the member takes, end the connection.
//
// What crosses is each argument and the result as a Value (Wire<T> below): exact for every type a
// call takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/uikit.h"
#include "platform/value.h"
#include "sim/device/channel.h"
#include "sim/device/wire.h"
#include "sim/trace/trace.h"

namespace orvane::sim {

// ---- values on the wire ----

// A message that is not what the protocol says: the connection ends.
[[noreturn]] inline void notAMessage(std::string_view what) {
  throw ChannelClosed("not a message: " + std::string(what));
}

template <typename T, typename = void>
struct Wire;

template <>
struct Wire<bool> {
  static Value put(bool b) { return Value(b); }
  static bool get(const Value& v) {
    const bool* b = std::get_if<bool>(&v.storage());
    if (b == nullptr) notAMessage("a boolean");
    return *b;
  }
};

// Whole numbers and enumerations, as a signed 64-bit integer.
template <typename T>
struct Wire<T, std::enable_if_t<std::is_enum_v<T> || (std::is_integral_v<T> && !std::is_same_v<T, bool>)>> {
  static Value put(T n) { return Value(static_cast<std::int64_t>(n)); }
  static T get(const Value& v) {
    const auto* n = std::get_if<std::int64_t>(&v.storage());
    if (n == nullptr) notAMessage("a number");
    return static_cast<T>(*n);
  }
};

template <>
struct Wire<std::string> {
  static Value put(const std::string& s) { return Value(s); }
  static std::string get(const Value& v) {
    if (v.string() == nullptr) notAMessage("a text");
    return *v.string();
  }
};

template <>
struct Wire<Value> {
  static Value put(const Value& v) { return v; }
  static Value get(const Value& v) { return v; }
};

template <>
struct Wire<Dictionary> {
  static Value put(const Dictionary& d) { return Value(d); }
  static Dictionary get(const Value& v) {
    if (v.dictionary() == nullptr) notAMessage("a dictionary");
    return *v.dictionary();
  }
};

inline const Array& wireArray(const Value& v, std::size_t size = SIZE_MAX) {
  const Array* a = v.array();
  if (a == nullptr || (size != SIZE_MAX && a->size() != size)) notAMessage("an array");
  return *a;
}

// Nothing, or one value: an array of none or one.
template <typename T>
struct Wire<std::optional<T>> {
  static Value put(const std::optional<T>& o) { return o ? Value(Array{Wire<T>::put(*o)}) : Value(Array{}); }
  static std::optional<T> get(const Value& v) {
    const Array& a = wireArray(v);
    if (a.size() > 1) notAMessage("an optional");
    return a.empty() ? std::nullopt : std::optional<T>(Wire<T>::get(a.front()));
  }
};

template <typename T>
struct Wire<std::vector<T>> {
  static Value put(const std::vector<T>& items) {
    Array out;
    out.reserve(items.size());
    for (const T& item : items) out.push_back(Wire<T>::put(item));
    return Value(std::move(out));
  }
  static std::vector<T> get(const Value& v) {
    std::vector<T> out;
    for (const Value& item : wireArray(v)) out.push_back(Wire<T>::get(item));
    return out;
  }
};

template <typename A, typename B>
struct Wire<std::pair<A, B>> {
  static Value put(const std::pair<A, B>& p) { return Value(Array{Wire<A>::put(p.first), Wire<B>::put(p.second)}); }
  static std::pair<A, B> get(const Value& v) {
    const Array& a = wireArray(v, 2);
    return {Wire<A>::get(a[0]), Wire<B>::get(a[1])};
  }
};

// A trace event's fields, what crosses most (about ten events a tap): one text holding each field's
// name, its kind ('t' a text, 'v' a value) and its bytes (a value's in the value's own encoding),
// read straight into the fields; as an array of arrays, each event was built and taken apart node
// by node, which was half of what the device did for a tap.
template <>
struct Wire<Trace::Fields> {
  static Value put(const Trace::Fields& fields) {
    std::string out;
    std::string bytes;
    for (const auto& [name, field] : fields) {
      appendPiece(out, name);
      if (const Value* value = field.value()) {
        bytes.clear();
        encodeInto(bytes, *value);
        out.push_back('v');
        appendPiece(out, bytes);
      } else {
        out.push_back('t');
        appendPiece(out, *field.text());
      }
    }
    return Value(std::move(out));
  }
  static Trace::Fields get(const Value& v) {
    if (v.string() == nullptr) notAMessage("a trace event's fields");
    std::string_view rest = *v.string();
    Trace::Fields out;
    while (!rest.empty()) {
      const auto name = takePiece(rest);
      const char kind = rest.empty() ? '\0' : rest.front();
      rest.remove_prefix(rest.empty() ? 0 : 1);
      const auto bytes = takePiece(rest);
      if (!name || !bytes) notAMessage("a trace event's fields");
      if (kind == 't') {
        out.emplace_back(std::string(*name), FieldValue(std::string(*bytes)));
      } else if (auto value = kind == 'v' ? decodeValue(*bytes) : std::nullopt) {
        out.emplace_back(std::string(*name), FieldValue::of(std::move(*value)));
      } else {
        notAMessage("a trace event's fields");
      }
    }
    return out;
  }
};

template <typename K, typename V>
struct Wire<std::map<K, V>> {
  static Value put(const std::map<K, V>& m) {
    return Wire<std::vector<std::pair<K, V>>>::put(std::vector<std::pair<K, V>>(m.begin(), m.end()));
  }
  static std::map<K, V> get(const Value& v) {
    const auto pairs = Wire<std::vector<std::pair<K, V>>>::get(v);
    return std::map<K, V>(pairs.begin(), pairs.end());
  }
};

template <>
struct Wire<platform::Notification> {
  static Value put(const platform::Notification& n) {
    return Value(Array{Value(n.name), Wire<std::optional<Dictionary>>::put(n.userInfo)});
  }
  static platform::Notification get(const Value& v) {
    const Array& a = wireArray(v, 2);
    return {Wire<std::string>::get(a[0]), Wire<std::optional<Dictionary>>::get(a[1])};
  }
};

// ---- the table ----

// A name as a template argument: the call's name in messages.
template <std::size_t N>
struct CallName {
  constexpr CallName(const char (&text)[N]) {  // NOLINT(google-explicit-constructor): written as a literal
    for (std::size_t i = 0; i < N; ++i) name[i] = text[i];
  }
  char name[N];
};

// One row: the member called, its name, and whether the caller waits for the call to be served (a
// "tell", such as the trace, is served when the other side next reads, in order).
template <auto Member, CallName Name, bool Told = false>
struct Call {
  static constexpr auto member = Member;
  static constexpr std::string_view name{Name.name};
  static constexpr bool told = Told;
};

// What a member takes and gives: its arguments as they are held between decoding and the call (a
// view is held as the text it views), and the target it is called on.
template <typename T>
using Held = std::conditional_t<std::is_same_v<std::decay_t<T>, std::string_view>, std::string, std::decay_t<T>>;

template <typename Member>
struct MemberOf;

template <typename R, typename C, typename... A>
struct MemberOf<R (C::*)(A...)> {
  using Target = C;
  using Result = std::decay_t<R>;
  static constexpr std::size_t arity = sizeof...(A);
  static Array encode(const Held<A>&... arguments) { return Array{Wire<Held<A>>::put(arguments)...}; }
  // The arguments of a call, decoded; a message that does not hold them names the call.
  static std::tuple<Held<A>...> decode(const Array& arguments, std::string_view name) {
    if (arguments.size() != sizeof...(A)) notAMessage("the arguments of " + std::string(name));
    try {
      return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::tuple<Held<A>...>{Wire<Held<A>>::get(arguments[I])...};
      }
      (std::index_sequence_for<A...>{});
    } catch (const ChannelClosed& e) {
      throw ChannelClosed(std::string(e.what()) + ", among the arguments of " + std::string(name));
    }
  }
  template <auto Member>
  static Value invoke(C& target, const Array& arguments, std::string_view name) {
    std::tuple<Held<A>...> held = decode(arguments, name);
    return std::apply(
        [&target](Held<A>&... decoded) {
          if constexpr (std::is_void_v<R>) {
            (target.*Member)(decoded...);
            return Value();
          } else {
            return Wire<Result>::put((target.*Member)(decoded...));
          }
        },
        held);
  }
};

template <typename R, typename C, typename... A>
struct MemberOf<R (C::*)(A...) const> : MemberOf<R (C::*)(A...)> {
  template <auto Member>
  static Value invoke(const C& target, const Array& arguments, std::string_view name) {
    std::tuple<Held<A>...> held = MemberOf<R (C::*)(A...)>::decode(arguments, name);
    return std::apply(
        [&target](Held<A>&... decoded) { return Wire<std::decay_t<R>>::put((target.*Member)(decoded...)); }, held);
  }
};

template <auto>
struct MemberTag {};

template <typename... Calls>
struct Protocol {
  static constexpr std::size_t size = sizeof...(Calls);

  // The number of the row that calls `Member`; a member the table does not hold does not compile.
  template <auto Member>
  static constexpr std::size_t idOf() {
    constexpr bool matches[] = {std::is_same_v<MemberTag<Member>, MemberTag<Calls::member>>...};
    constexpr std::size_t id = [&] {
      for (std::size_t at = 0; at < size; ++at) {
        if (matches[at]) return at;
      }
      return size;
    }();
    static_assert(id < size, "this member is not a call of the protocol: add it to the table");
    return id;
  }
  template <auto Member>
  static constexpr bool told() {
    constexpr bool tolds[] = {Calls::told...};
    return tolds[idOf<Member>()];
  }

  static std::string_view nameOf(std::size_t id) {
    static constexpr std::string_view names[] = {Calls::name...};
    return id < size ? names[id] : "(no call)";
  }

  // Serves call `id` on `target` with `arguments`: its result (nothing for a member that gives none).
  template <typename Target>
  static Value serve(Target& target, std::size_t id, const Array& arguments) {
    using Server = Value (*)(Target&, const Array&);
    static constexpr Server servers[] = {&row<Calls, Target>...};
    if (id >= size) notAMessage("a call the protocol does not have");
    return servers[id](target, arguments);
  }

 private:
  template <typename C, typename Target>
  static Value row(Target& target, const Array& arguments) {
    return MemberOf<std::remove_cv_t<decltype(C::member)>>::template invoke<C::member>(target, arguments, C::name);
  }
};

// The result of a member as the answer gave it; what the member gives by default when there was no
// answer (the other side ended during the call).
template <auto Member>
auto resultOf(const std::optional<Value>& answer) {
  using Result = typename MemberOf<std::remove_cv_t<decltype(Member)>>::Result;
  if constexpr (std::is_void_v<Result>) {
    return;
  } else {
    return answer ? Wire<Result>::get(*answer) : Result{};
  }
}

// Calls `Member` of the other side's target over `channel`, or tells it (a told call gives
// nothing): the caller for a protocol whose answers need no unwrapping.
template <typename Proto, auto Member, typename... Given>
auto callOver(Channel& channel, const Given&... given) {
  constexpr std::size_t id = Proto::template idOf<Member>();
  Array arguments = MemberOf<std::remove_cv_t<decltype(Member)>>::encode(given...);
  if constexpr (Proto::template told<Member>()) {
    channel.tell(id, std::move(arguments));
  } else {
    return resultOf<Member>(channel.call(id, std::move(arguments)));
  }
}

}  // namespace orvane::sim
