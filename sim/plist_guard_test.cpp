#include "sim/plist_guard.h"

#include <gtest/gtest.h>

#include "sim/plist_io.h"

namespace orvane::sim {
namespace {

void putBigEndian(std::string& out, std::uint64_t v, std::size_t size) {
  for (std::size_t k = size; k > 0; --k) out += static_cast<char>((v >> (8 * (k - 1))) & 0xFF);
}

// A binary plist of `depth` arrays, each holding the next; with `cycle` the innermost holds the first.
std::string nestedBinary(std::size_t depth, bool cycle = false) {
  constexpr std::size_t kRef = 4;
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i < depth; ++i) {
    offsets.push_back(out.size());
    const bool last = i + 1 == depth;
    if (last && !cycle) {
      out += static_cast<char>(0xA0);
    } else {
      out += static_cast<char>(0xA1);
      putBigEndian(out, last ? 0 : i + 1, kRef);
    }
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t o : offsets) putBigEndian(out, o, kRef);
  out += std::string(6, '\0');
  out += static_cast<char>(kRef);
  out += static_cast<char>(kRef);
  putBigEndian(out, depth, 8);
  putBigEndian(out, 0, 8);
  putBigEndian(out, table, 8);
  return out;
}

std::string nestedXml(std::size_t depth) {
  std::string out = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (std::size_t i = 0; i < depth; ++i) out += "<array>";
  for (std::size_t i = 0; i < depth; ++i) out += "</array>";
  return out + "</plist>";
}

TEST(PlistGuard, DeepNestingIsRefusedBeforeTheParserSeesIt) {
  const std::string deepBinary = nestedBinary(100000);
  ASSERT_LT(deepBinary.size(), kMaxPlistBytes);
  EXPECT_FALSE(plistNestingWithin(deepBinary));
  EXPECT_FALSE(parsePlist(deepBinary));
  EXPECT_FALSE(parsePlist(nestedXml(100000)));
  EXPECT_FALSE(parsePlist(nestedBinary(3, /*cycle=*/true)));
}

TEST(PlistGuard, TheBoundIsExact) {
  for (const std::size_t depth : {std::size_t{1}, kMaxPlistDepth}) {
    EXPECT_TRUE(plistNestingWithin(nestedBinary(depth))) << depth;
    EXPECT_TRUE(plistNestingWithin(nestedXml(depth))) << depth;
    EXPECT_TRUE(parsePlist(nestedBinary(depth))) << depth;
    EXPECT_TRUE(parsePlist(nestedXml(depth))) << depth;
  }
  EXPECT_FALSE(plistNestingWithin(nestedBinary(kMaxPlistDepth + 1)));
  EXPECT_FALSE(plistNestingWithin(nestedXml(kMaxPlistDepth + 1)));
}

TEST(PlistGuard, TextInsideCommentsAndDataDoesNotCount) {
  std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE plist><plist version=\"1.0\"><array><!--";
  for (int i = 0; i < 1000; ++i) xml += "<array>";
  xml += "--><![CDATA[<dict><dict>]]><array/><dict/></array></plist>";
  EXPECT_TRUE(plistNestingWithin(xml));
}

TEST(PlistGuard, MalformedBinaryTablesAreRefused) {
  std::string b = nestedBinary(4);
  EXPECT_FALSE(plistNestingWithin(b.substr(0, b.size() - 1)));  // trailer cut
  std::string badRef = b;
  badRef[9] = 0x7F;  // the first array's reference points past the table
  EXPECT_FALSE(plistNestingWithin(badRef));
  std::string badCount = b;
  badCount[b.size() - 17] = 0x10;  // far more objects than bytes
  EXPECT_FALSE(plistNestingWithin(badCount));
  EXPECT_FALSE(plistNestingWithin("bplist00"));
}

TEST(PlistGuard, OrdinaryFilesPass) {
  const Value settings(Dictionary{{"SelectedKeyboards", Value(Array{Value("en_US"), Value("fr_FR")})},
                                  {"nested", Value(Dictionary{{"a", Value(Array{Value(Array{})})}})}});
  EXPECT_TRUE(parsePlist(serializePlist(settings, PlistFormat::kBinary)));
  EXPECT_TRUE(parsePlist(serializePlist(settings, PlistFormat::kXml)));
}

}  // namespace
}  // namespace orvane::sim

namespace orvane::sim {
namespace {

TEST(PlistGuard, StringsHoldingANulAreRefusedBeforeLibplistAssertsOnThem) {
  const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>";
  EXPECT_FALSE(parsePlist(head + "a&#0;b</key><true/></dict></plist>"));
  EXPECT_FALSE(parsePlist(head + "a&#x00;b</key><true/></dict></plist>"));
  EXPECT_FALSE(parsePlist(head + "k</key><string>a" + std::string(1, '\0') + "b</string></dict></plist>"));
  EXPECT_TRUE(parsePlist(head + "a&#10;b</key><true/></dict></plist>"));  // a newline is fine
  // A binary dictionary whose one key is the ASCII string "a\0".
  std::string b = "bplist00";
  b += "\xd1\x01\x02";  // {ref 1: ref 2}
  b += std::string("\x52" "a\0", 3);
  b += "\x09";  // true
  const std::size_t table = b.size();
  b += std::string("\x08\x0b\x0e", 3);
  b += std::string(6, '\0') + "\x01\x01";
  b += std::string(7, '\0') + "\x03" + std::string(8, '\0') + std::string(7, '\0') + static_cast<char>(table);
  EXPECT_FALSE(plistNestingWithin(b));
  b[13] = 'b';  // the same list with the key "ab" is fine
  EXPECT_TRUE(plistNestingWithin(b));
  EXPECT_TRUE(parsePlist(b));
}

}  // namespace
}  // namespace orvane::sim
