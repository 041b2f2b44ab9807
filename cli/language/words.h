// Names the command knows, and the nearest of them to a word that is not one: for "did you mean".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::cli {

// The candidate nearest to `word` when one is near enough to be a slip of the keyboard (at most a
// third of its letters, and at least one, changed, added or taken away); nothing otherwise.
std::optional<std::string> nearest(std::string_view word, const std::vector<std::string>& candidates);
// " (did you mean X?)" when `nearest` finds one, else "".
std::string didYouMean(std::string_view word, const std::vector<std::string>& candidates);
// "a, b or c" (`last` "or"), "a, b and c" (`last` "and").
std::string wordList(const std::vector<std::string>& words, std::string_view last);

}  // namespace orvane::cli
