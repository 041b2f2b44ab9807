// The selected keyboards as a set, for one call: looking every active input mode up in it costs
// what the two lists hold, however long they are. It is made anew by each call, from that call's
// reading of the settings, and nothing it holds serves the next call. A short list is scanned as it
// is, which costs less than hashing it.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace orvane {

class KeyboardSet {
 public:
  explicit KeyboardSet(const std::vector<std::string>& keyboards) : keyboards_(keyboards) {
    if (keyboards.size() <= kScanned) return;
    hashed_.reserve(keyboards.size());
    for (const std::string& k : keyboards) hashed_.insert(k);
  }

  bool contains(std::string_view identifier) const {
    if (keyboards_.size() <= kScanned)
      return std::find(keyboards_.begin(), keyboards_.end(), identifier) != keyboards_.end();
    return hashed_.contains(identifier);
  }

 private:
  static constexpr std::size_t kScanned = 8;
  const std::vector<std::string>& keyboards_;
  std::unordered_set<std::string_view> hashed_;
};

}  // namespace orvane
