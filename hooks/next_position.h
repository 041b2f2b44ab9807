// The choice of the keyboard a globe tap moves to in mode 1, over one reading of the active input
// modes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/uikit.h"

namespace orvane {

// `active` holds the identifiers of the active input modes in the system's order (at least one);
// `current` is the current input mode's identifier. The result is the first position after the
// current one, in forward cyclic order, whose identifier is selected; 0 when none is, or when there
// is only one mode. A current mode that is not active counts as position 0.
std::int32_t nextSelectedPosition(const std::vector<platform::String>& active, const platform::String& current,
                                  const std::vector<std::string>& keyboards);

}  // namespace orvane
