#include "hooks/next_position.h"

#include <algorithm>

#include "hooks/keyboard_set.h"
#include "platform/input_modes.h"

namespace orvane {

std::int32_t nextSelectedPosition(const std::vector<platform::String>& active, const platform::String& current,
                                  const std::vector<std::string>& keyboards) {
  const auto n = static_cast<std::int32_t>(active.size());
  std::int32_t cur = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (platform::isEqualToString(active[static_cast<std::size_t>(i)], current)) {
      cur = i;
      break;
    }
  }
  if (n <= 1) return 0;

  const KeyboardSet chosen(keyboards);
  const auto selected = [&](std::int32_t p) {
    const platform::String& identifier = active[static_cast<std::size_t>(p)];
    return identifier && chosen.contains(*identifier);
  };
  // Walk backwards from just before the current position round to just after it; the last match is
  // the first in forward order. Nothing matching leaves the first mode.
  std::int32_t result = 0;
  for (std::int32_t p = cur == 0 ? n - 1 : cur - 1; p != cur; p = p == 0 ? n - 1 : p - 1) {
    if (selected(p)) result = p;
  }
  return result;
}

}  // namespace orvane
