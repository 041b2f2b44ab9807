// Checks run on property-list bytes before libplist sees them. libplist parses and frees recursively,
// so deep nesting (or, in a binary plist, a reference cycle) exhausts the stack, and it asserts on a
// string or key that holds a NUL; such input is refused here, without recursion, and counts as
// unreadable.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvane::sim {

// Deeper than any preference or settings file needs, far shallower than what hurts libplist.
inline constexpr std::size_t kMaxPlistDepth = 128;

// True when the bytes nest no deeper than `maxDepth` (arrays and dictionaries), hold no string with
// a NUL and, for a binary plist, the object table is well formed and free of cycles.
bool plistNestingWithin(std::string_view bytes, std::size_t maxDepth = kMaxPlistDepth);

}  // namespace orvane::sim
