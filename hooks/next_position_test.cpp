#include "hooks/next_position.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace orvane {
namespace {

using platform::String;

std::vector<String> modes(std::initializer_list<const char*> ids) {
  std::vector<String> out;
  for (const char* id : ids) out.emplace_back(id == nullptr ? String() : String(id));
  return out;
}

TEST(NextSelectedPosition, TheNamedExamples) {
  const auto four = modes({"en", "fr", "de", "es"});
  EXPECT_EQ(nextSelectedPosition(four, "fr", {"en", "es"}), 3);
  EXPECT_EQ(nextSelectedPosition(four, "es", {"en", "es"}), 0);

  const auto three = modes({"en", "fr", "de"});
  EXPECT_EQ(nextSelectedPosition(three, "ja", {"de", "en"}), 2);  // not active: en is skipped as the current
  EXPECT_EQ(nextSelectedPosition(three, "fr", {"fr", "fr"}), 0);  // nothing else selected: the first mode
  EXPECT_EQ(nextSelectedPosition(three, String(), {"fr"}), 1);    // no current mode counts as position 0

  const auto two = modes({"en", "fr"});
  EXPECT_EQ(nextSelectedPosition(two, "en", {"fr"}), 1);
  EXPECT_EQ(nextSelectedPosition(two, "en", {"en"}), 0);
  EXPECT_EQ(nextSelectedPosition(two, "fr", {}), 0);  // with cur 1 only position 0 is examined
  EXPECT_EQ(nextSelectedPosition(modes({"en"}), "en", {"fr"}), 0);

  // A mode without an identifier is never selected and never the current one.
  EXPECT_EQ(nextSelectedPosition(modes({"en", nullptr, "de"}), "en", {"de"}), 2);
}

// Steps 1 to 4 as plainly stated: the current position, then the first selected position after it
// in forward cyclic order, else 0.
std::int32_t forwardDefinition(const std::vector<String>& a, const String& current,
                               const std::vector<std::string>& kb) {
  const auto n = static_cast<std::int32_t>(a.size());
  std::int32_t cur = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (a[i] && current && *a[i] == *current) {
      cur = i;
      break;
    }
  }
  if (n == 1) return 0;
  for (std::int32_t k = 1; k < n; ++k) {
    const std::int32_t p = (cur + k) % n;
    if (a[p] && std::count(kb.begin(), kb.end(), *a[p]) > 0) return p;
  }
  return 0;
}

TEST(NextSelectedPosition, AgreesWithTheForwardDefinitionOnGeneratedCases) {
  std::mt19937 random(20261207);
  const char* const pool[] = {"en", "fr", "de", "es", "ja", "ko", "emoji", "ru", "it", "pt"};
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  int withUnselectedResult = 0;
  for (int round = 0; round < 20000; ++round) {
    const int n = 1 + pick(8);
    const int alphabet = 2 + pick(8);  // small alphabets make repeats in the active list common
    std::vector<String> a;
    a.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) a.emplace_back(pick(12) == 0 ? String() : String(pool[pick(alphabet)]));
    std::vector<std::string> kb;
    // Short selections are scanned, longer ones (every other round) looked up in a set.
    for (int i = pick(round % 2 == 0 ? 6 : 21); i > 0; --i) kb.emplace_back(pool[pick(10)]);
    const String current = pick(4) == 0 ? String(pool[pick(10)]) : a[pick(n)];
    const std::int32_t expected = forwardDefinition(a, current, kb);
    ASSERT_EQ(nextSelectedPosition(a, current, kb), expected)
        << "round " << round << " n " << n << " current " << current.value_or("(nil)");
    if (a[expected] && std::count(kb.begin(), kb.end(), *a[expected]) == 0) ++withUnselectedResult;
  }
  EXPECT_GT(withUnselectedResult, 100);  // the fall-back to position 0 was exercised too
}

}  // namespace
}  // namespace orvane
