#include "sim/plist/plist_io.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "formats.h"
#include "sim/trace/value_text.h"

namespace orvane::sim {
namespace {

void putBigEndian(std::string& out, std::uint64_t v, std::size_t size) {
  for (std::size_t k = size; k > 0; --k) out += static_cast<char>((v >> (8 * (k - 1))) & 0xFF);
}

// A binary plist from its objects' bytes (references are one byte wide) and the top object.
std::string binaryOf(const std::vector<std::string>& objects, std::uint64_t top = 0, std::size_t refSize = 1) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const std::string& o : objects) {
    offsets.push_back(out.size());
    out += o;
  }
  const std::uint64_t table = out.size();
  const std::size_t offsetSize = table < 0x100 ? 1 : table < 0x10000 ? 2 : 8;
  for (std::uint64_t o : offsets) putBigEndian(out, o, offsetSize);
  out += std::string(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  putBigEndian(out, objects.size(), 8);
  putBigEndian(out, top, 8);
  putBigEndian(out, table, 8);
  return out;
}

// `depth` arrays, each holding the next; with `cycle` the innermost holds the first.
std::string nestedBinary(std::size_t depth, bool cycle = false) {
  std::vector<std::string> objects;
  for (std::size_t i = 0; i < depth; ++i) {
    std::string o;
    const bool last = i + 1 == depth;
    if (last && !cycle) {
      o += static_cast<char>(0xA0);
    } else {
      o += static_cast<char>(0xA1);
      putBigEndian(o, last ? 0 : i + 1, 4);
    }
    objects.push_back(o);
  }
  return binaryOf(objects, 0, 4);
}

// The shared-object bomb: each array holds the next one twice, so the tree it stands for doubles
// at every level while the file grows by a few bytes.
std::string sharedBomb(std::size_t levels) {
  std::vector<std::string> objects;
  for (std::size_t i = 0; i < levels; ++i) {
    std::string o = "\xA2";
    o += static_cast<char>(i + 1);
    o += static_cast<char>(i + 1);
    objects.push_back(o);
  }
  objects.emplace_back("\x09");  // true
  return binaryOf(objects);
}

std::string nestedXml(std::size_t depth) {
  std::string out = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (std::size_t i = 0; i < depth; ++i) out += "<array>";
  for (std::size_t i = 0; i < depth; ++i) out += "</array>";
  return out + "</plist>";
}

constexpr std::string_view kXmlHeadText = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
// An XML list's head, as a string to append to.
std::string xmlHead() { return std::string(kXmlHeadText); }

Value everyKind() {
  return Value(Dictionary{
      {"bool", Value(false)},
      {"negative", Value(std::numeric_limits<std::int64_t>::min())},
      {"large", Value(std::numeric_limits<std::int64_t>::max())},
      {"unsigned", Value(std::numeric_limits<std::uint64_t>::max())},
      {"2^63", Value(std::uint64_t{1} << 63)},
      {"small", Value(200)},
      {"real", Value(2.5)},
      {"negative zero", Value(-0.0)},
      {"nan", Value(std::nan(""))},
      {"infinity", Value(-HUGE_VAL)},
      {"string", Value("en_US@hw=US;sw=QWERTY")},
      {"text", Value("emoji 🌐 é 한국어 <&> \"quoted\" tab\tline\nreturn\r")},
      {"한국어", Value("key in Korean")},
      {"data", Value(Data{0, 1, 255, 254, 253})},
      {"empty data", Value(Data{})},
      {"date", Value(Date{-63113904000.0})},  // 0001-01-01
      {"uid", Value(Uid{4294967295})},
      {"array", Value(Array{Value(1), Value("two"), Value(Array{}), Value(Dictionary{})})},
      {"dict", Value(Dictionary{{"nested", Value(true)}, {"", Value("empty key")}})},
  });
}

TEST(PlistIo, EveryKindSurvivesBothFormatsExactly) {
  for (PlistFormat format : {PlistFormat::kBinary, PlistFormat::kXml}) {
    const auto bytes = serializeFaithfully(everyKind(), format);
    ASSERT_TRUE(bytes);
    auto parsed = parsePlist(*bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->format, format);
    EXPECT_TRUE(sameValue(parsed->value, everyKind()));
    // Each integer keeps its sign: 2^64-1 is not -1.
    EXPECT_EQ(*find(*parsed->value.dictionary(), "unsigned"), Value(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_NE(*find(*parsed->value.dictionary(), "unsigned"), Value(std::int64_t{-1}));
  }
}

TEST(PlistIo, BinaryDatesAreAnyRealAndXmlDatesAreWholeSecondsOfYearsOneTo9999) {
  for (double seconds : {1e300, -1e300, 86400.500001, -0.5, 2147483648.0, HUGE_VAL, std::nan("")}) {
    const Value v(Dictionary{{"d", Value(Date{seconds})}});
    const auto bytes = serializeFaithfully(v, PlistFormat::kBinary);
    ASSERT_TRUE(bytes) << seconds;
    EXPECT_TRUE(sameValue(parsePlist(*bytes)->value, v)) << seconds;
  }
  // XML spells whole seconds: a fraction is dropped as the platform's writer drops it; outside
  // the years 1 to 9999 (or NaN) it has no spelling at all.
  const auto xml = serializeFaithfully(Value(Dictionary{{"d", Value(Date{86400.75})}}), PlistFormat::kXml);
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("<date>2001-01-02T00:00:00Z</date>"), std::string::npos);
  EXPECT_EQ(parsePlist(*xml)->value, Value(Dictionary{{"d", Value(Date{86400})}}));
  for (double seconds : {-63113904001.0, 252423993600.0, std::nan("")}) {
    EXPECT_FALSE(serializePlist(Value(Date{seconds}), PlistFormat::kXml)) << seconds;
  }
  EXPECT_EQ(parsePlist(xmlHead() + "<date>9999-12-31T23:59:59Z</date></plist>")->value, Value(Date{252423993599.0}));
  EXPECT_EQ(parsePlist(xmlHead() + "<date>1900-03Z</date></plist>")->value, Value(Date{-3182198400.0}));
  for (const char* bad : {"2001-02-29T00:00:00Z", "2001-01-01T24:00:00Z", "0000-01-01T00:00:00Z", "2001-01-01"}) {
    EXPECT_FALSE(parsePlist(xmlHead() + "<date>" + bad + "</date></plist>")) << bad;
  }
}

TEST(PlistIo, XmlAsRealWritersAndEditorsWriteIt) {
  const std::string xml =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\r\n"
      "<!-- a comment <array> -->\n<plist version=\"1.0\"><dict>\r\n"
      "\t<key>mode</key><integer> -1 </integer><key>enabled</key><false></false>\n"
      "\t<key>hex</key><integer>0x10</integer><key>big</key><integer>18446744073709551615</integer>\n"
      "\t<key>text</key><string>a&lt;b&amp;c&#x1F310;&#233;<![CDATA[<raw>]]>\r\nx<!-- gone --></string>\n"
      "\t<key>empty</key><string/><key>data</key><data>\n\tAAEC\n\t/w==\n\t</data>\n"
      "\t<key>real</key><real>-infinity</real><key>uid</key><dict><key>CF$UID</key><integer>7</integer></dict>\n"
      "\t<key>mode</key><integer>3</integer>\n"  // the last of a key wins
      "</dict></plist>\n";
  auto parsed = parsePlist(xml);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->format, PlistFormat::kXml);
  EXPECT_EQ(parsed->value, Value(Dictionary{{"mode", Value(3)},
                                            {"enabled", Value(false)},
                                            {"hex", Value(16)},
                                            {"big", Value(std::numeric_limits<std::uint64_t>::max())},
                                            {"text", Value("a<b&c🌐é<raw>\r\nx")},
                                            {"empty", Value("")},
                                            {"data", Value(Data{0, 1, 2, 255})},
                                            {"real", Value(-HUGE_VAL)},
                                            {"uid", Value(Uid{7})}}));
}

TEST(PlistIo, WhatIsNotAPropertyListReadsAsNothing) {
  const std::string head = xmlHead() + "<dict><key>k</key>";
  for (const std::string& bad : {
           std::string(),
           std::string("not a plist at all"),
           std::string("bplist00\x01\x02", 10),
           head + "<string>a&#0;b</string></dict></plist>",                  // NUL is no XML character
           head + "<string>&bogus;</string></dict></plist>",                 // unknown entity
           head + "<string>v\xc1\xde</string></dict></plist>",               // invalid UTF-8
           head + "<string>\xed\xa0\x80</string></dict></plist>",            // an encoded surrogate
           head + "</dict></plist>",                                         // a key without its value
           head + "<string>v</string></dict></plist><junk/>",                // trailing element
           head + "<string>v</string></dict>",                               // unclosed plist
           head + "<integer>18446744073709551616</integer></dict></plist>",  // wider than 64 bits
           head + "<integer>-9223372036854775809</integer></dict></plist>",
           head + "<set/></dict></plist>",
       }) {
    EXPECT_FALSE(parsePlist(bad)) << bad;
  }
  EXPECT_FALSE(parsePlist(std::string(kMaxPlistBytes + 1, ' ')));
}

TEST(PlistIo, BinaryObjectsOfEveryKindReadAsTheFormatDefinesThem) {
  const auto one = [](const std::string& object) { return parsePlist(binaryOf({object})); };
  EXPECT_EQ(one("\x10\xff")->value, Value(255));  // 1, 2 and 4 bytes are unsigned
  EXPECT_EQ(one(std::string("\x12\xff\xff\xff\xff", 5))->value, Value(std::int64_t{4294967295}));
  EXPECT_EQ(one(std::string("\x13\xff\xff\xff\xff\xff\xff\xff\xff", 9))->value, Value(-1));  // 8 bytes signed
  std::string wide = "\x14" + std::string(8, '\0') + std::string(8, '\xff');
  EXPECT_EQ(one(wide)->value, Value(std::numeric_limits<std::uint64_t>::max()));
  // Beyond 64 bits, the low 64 bits unsigned, as CoreFoundation keeps a 16-byte integer; written
  // back, in 16 bytes with the high half zero, as its writer writes that number.
  wide[1] = 1;
  EXPECT_EQ(one(wide)->value, Value(std::numeric_limits<std::uint64_t>::max()));
  wide = "\x14" + std::string(7, '\0') + "\x01" + "\x80" + std::string(7, '\0');  // 2^64 + 2^63
  const Value twoTo63(std::uint64_t{1} << 63);
  EXPECT_EQ(one(wide)->value, twoTo63);
  EXPECT_EQ(one(wide)->value.int32Reading(), 0) << "its reading takes the low 32 bits";
  EXPECT_EQ(one(wide)->value.boolReading(), true) << "not zero over the whole value";
  const auto rewritten = serializeFaithfully(one(wide)->value, PlistFormat::kBinary);
  ASSERT_TRUE(rewritten);
  EXPECT_NE(rewritten->find("\x14" + std::string(8, '\0') + "\x80" + std::string(7, '\0')), std::string::npos);
  EXPECT_EQ(parsePlist(*rewritten)->value, twoTo63);
  wide = "\x14" + std::string(7, '\0') + "\x01" + std::string(7, '\0') + "\x05";  // 2^64 + 5
  EXPECT_EQ(one(wide)->value, Value(5));
  wide = std::string("\x14") + std::string(8, '\xff') + "\xff" + std::string(6, '\xff') + "\xfe";  // -2 in 128 bits
  EXPECT_EQ(one(wide)->value, Value(std::numeric_limits<std::uint64_t>::max() - 1));
  EXPECT_EQ(one(std::string("\x22\x3f\x80\x00\x00", 5))->value, Value(1.0));       // a 4-byte real
  EXPECT_EQ(one("\x62\xd8\x3c\xdf\x10")->value, Value("🌐"));                       // UTF-16 with a surrogate pair
  EXPECT_FALSE(one(std::string("\x61\xdc\x00", 3)));                               // a lone low surrogate
  EXPECT_FALSE(one("\x51\x80"));                                                   // ASCII above 0x7F
  EXPECT_EQ(one(std::string("\x51\x00", 2))->value, Value(std::string(1, '\0')));  // binary strings may hold NUL
  EXPECT_EQ(one("\x81\x01\x02")->value, Value(Uid{258}));
  // Null and sets read as CoreFoundation reads them (kCFNull, a CFSet); fill does not.
  EXPECT_EQ(one(std::string("\x00", 1))->value, Value(Null{}));
  EXPECT_EQ(one("\xC0")->value, Value(Set{}));
  EXPECT_FALSE(one("\x0F"));
  EXPECT_EQ(parsePlist(binaryOf({"\xC2\x01\x02", "\x51k", std::string("\x00", 1)}))->value,
            Value(Set{{Value("k"), Value(Null{})}}));
  // A dictionary's key may be any object but a container, as CoreFoundation reads it: it never
  // equals a key looked up by name, and neither writer writes it, as the platform's refuse it.
  const auto numberKey = parsePlist(binaryOf({"\xD1\x01\x01", "\x10\x01"}));
  ASSERT_TRUE(numberKey);
  const Dictionary& keyed = *numberKey->value.dictionary();
  ASSERT_EQ(keyed.size(), 1u);
  EXPECT_EQ(keyObject(keyed.begin()->first), Value(1));
  EXPECT_EQ(find(keyed, "1"), nullptr);
  EXPECT_EQ(formatValueText(numberKey->value), "{1: 1}");
  EXPECT_FALSE(serializePlist(numberKey->value, PlistFormat::kBinary));
  EXPECT_FALSE(serializePlist(numberKey->value, PlistFormat::kXml));
  for (const Value& object : {Value(true), Value(-7), Value(std::numeric_limits<std::uint64_t>::max()), Value(2.5),
                              Value(Date{-1.5}), Value(Data{0, 255}), Value(Uid{3}), Value(Null{})}) {
    EXPECT_EQ(keyObject(*objectKey(object)), object) << formatValueText(object);
  }
  EXPECT_FALSE(objectKey(Value("text")));
  EXPECT_FALSE(objectKey(Value(Array{})));
  EXPECT_FALSE(parsePlist(binaryOf({"\xD1\x01\x02", "\xA0", "\x09"})));  // a container is no key
  EXPECT_EQ(parsePlist(binaryOf({"\xD1\x01\x02", "\x51k", "\x09"}))->value, Value(Dictionary{{"k", Value(true)}}));
}

// A bound on time, stretched by ORVANE_TIME_SCALE where the tests run under an emulator (the build
// sets it for qemu-user, whose code runs ten to thirty times slower than the machine's).
std::chrono::steady_clock::duration bound(std::chrono::seconds seconds) {
  const char* scale = std::getenv("ORVANE_TIME_SCALE");
  int factor = 1;
  if (scale != nullptr) std::from_chars(scale, scale + std::strlen(scale), factor);
  return seconds * std::max(factor, 1);
}

template <class F>
std::chrono::steady_clock::duration timed(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::steady_clock::now() - start;
}

// Bytes held on the heap now (glibc's count; the sanitizer build's allocator does not keep it, and
// there it reads 0 and checks nothing).
std::size_t heapInUse() { return mallinfo2().uordblks; }

// What a value is, written out in full, against the work of a read: a value that shares reads in
// what its file holds, and every consumer that would write it out refuses, at once.
void expectReadButNeverWrittenOut(const std::string& bytes, const char* what) {
  std::optional<ParsedPlist> parsed;
  const std::size_t heapBefore = heapInUse();
  EXPECT_LT(timed([&parsed, &bytes] { parsed = parsePlist(bytes); }), bound(std::chrono::seconds(1))) << what;
  ASSERT_TRUE(parsed) << what;
  // The value holds a fixed multiple of what the file holds (a few megabytes here).
  EXPECT_LT(heapInUse() - std::min(heapInUse(), heapBefore), 16 * bytes.size() + (std::size_t{4} << 20)) << what;
  EXPECT_FALSE(expandable(parsed->value)) << what;
  std::string text;
  std::optional<std::string> xml;
  EXPECT_LT(timed([&] {
              text = formatValueText(parsed->value);
              xml = serializePlist(parsed->value, PlistFormat::kXml);
            }),
            bound(std::chrono::seconds(1)))
      << what;
  EXPECT_TRUE(text.starts_with("<too large to write out: ")) << what << ": " << text.substr(0, 80);
  EXPECT_FALSE(xml) << what;
  // The binary format refers to a shared object as the file did: rewritten, the value keeps its size
  // (to the width of its offsets)
  // and reads back as the same value.
  std::optional<std::string> binary;
  EXPECT_LT(timed([&] { binary = serializeFaithfully(parsed->value, PlistFormat::kBinary); }),
            bound(std::chrono::seconds(1)))
      << what;
  ASSERT_TRUE(binary) << what;
  EXPECT_LE(binary->size(), bytes.size() + 16) << what;
}

TEST(PlistIo, ReadingCostsWhatTheFileHoldsNeverMore) {
  // Each level refers to the next twice: 2^65 values written out, from 300 bytes.
  for (std::size_t levels : {22, 40, 64}) {
    const std::string bomb = sharedBomb(levels);
    ASSERT_LT(bomb.size(), 300u);
    expectReadButNeverWrittenOut(bomb, "levels");
    const auto parsed = parsePlist(bomb);
    ASSERT_TRUE(parsed);
    const Array& top = *parsed->value.array();
    EXPECT_EQ(ObjectIdentity::of(top[0]), ObjectIdentity::of(top[1])) << "one object for both references";
    EXPECT_EQ(sizeOf(parsed->value).values, levels >= 63 ? UINT64_MAX : (std::uint64_t{2} << levels) - 1) << levels;
  }
  // A small one is the same value as its copies written out.
  auto small = parsePlist(sharedBomb(3));
  ASSERT_TRUE(small);
  const Value leaf(Array{Value(true), Value(true)});
  EXPECT_EQ(small->value, Value(Array{Value(Array{leaf, leaf}), Value(Array{leaf, leaf})}));
  EXPECT_TRUE(expandable(small->value));
  EXPECT_EQ(formatValueText(small->value), "[[[true, true], [true, true]], [[true, true], [true, true]]]");
}

// An array (kind 0xA) or dictionary (0xD) header for `count` entries, then its references.
std::string container(unsigned kind, const std::vector<std::uint64_t>& refs, std::size_t refSize) {
  std::string o;
  const std::size_t count = kind == 0xD ? refs.size() / 2 : refs.size();
  if (count < 15) {
    o += static_cast<char>((kind << 4) | count);
  } else {
    o += static_cast<char>((kind << 4) | 0xF);
    o += '\x13';  // the count as an 8-byte integer
    putBigEndian(o, count, 8);
  }
  for (std::uint64_t r : refs) putBigEndian(o, r, refSize);
  return o;
}

// Text or data of `size` bytes: kind 0x5 (ASCII) or 0x4 (data).
std::string blob(unsigned kind, std::size_t size, char fill) {
  std::string o;
  o += static_cast<char>((kind << 4) | 0xF);
  o += '\x13';
  putBigEndian(o, size, 8);
  o += std::string(size, fill);
  return o;
}

// `outer` references to an array of `inner` references to one leaf: outer * inner values in a file
// of a few bytes per reference.
std::vector<std::string> sharedLeaf(std::size_t outer, std::size_t inner, const std::string& leaf) {
  return {container(0xA, std::vector<std::uint64_t>(outer, 1), 4),
          container(0xA, std::vector<std::uint64_t>(inner, 2), 4), leaf};
}

// The same objects, with `unused` more entries in the offset table that nothing refers to.
std::string padded(std::vector<std::string> objects, std::size_t unused) {
  // The unused entries of the offset table point at the first object.
  objects.resize(objects.size() + unused);
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const std::string& o : objects) {
    offsets.push_back(o.empty() ? 8 : out.size());
    out += o;
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t o : offsets) putBigEndian(out, o, 8);
  out += std::string(6, '\0');
  out += '\x08';
  out += '\x04';
  putBigEndian(out, objects.size(), 8);
  putBigEndian(out, 0, 8);
  putBigEndian(out, table, 8);
  return out;
}

// Shared keys, shared data and a padded offset table: each reads in what its file holds, keeps
// one object for every reference, and is never written out in full.
TEST(PlistIo, SharedTextDataAndPaddingReadInWhatTheFileHolds) {
  // One 100 KB key shared by 20,000 dictionaries: 2 GB of keys from a 2 MB file.
  std::vector<std::uint64_t> dictionaries;
  dictionaries.reserve(20000);
  std::vector<std::string> objects = {""};
  for (std::uint64_t i = 0; i < 20000; ++i) {
    dictionaries.push_back(i + 3);
  }
  objects[0] = container(0xA, dictionaries, 4);
  objects.push_back(blob(0x5, 100000, 'k'));  // 1: the key
  objects.emplace_back("\x09");               // 2: true
  for (std::uint64_t i = 0; i < 20000; ++i) objects.push_back(container(0xD, {1, 2}, 4));
  const std::string sharedKey = binaryOf(objects, 0, 4);
  ASSERT_LT(sharedKey.size(), std::size_t{3} << 20);
  // 2,000 x 2,000 references to one 64 KB datum: 256 GB from 32 KB.
  const std::string sharedData = binaryOf(sharedLeaf(2000, 2000, blob(0x4, 65536, 'd')), 0, 4);
  ASSERT_LT(sharedData.size(), std::size_t{100} << 10);
  // 2,100 x 2,100 references to `true`, padded with more unused offsets than that: once, the
  // padding raised the bound and 4.4 million values were built.
  const std::string paddedValues = padded(sharedLeaf(2100, 2100, "\x09"), 4500000);
  expectReadButNeverWrittenOut(sharedKey, "shared key");
  expectReadButNeverWrittenOut(sharedData, "shared data");
  expectReadButNeverWrittenOut(paddedValues, "padded");

  const auto keys = parsePlist(sharedKey);
  ASSERT_TRUE(keys);
  const void* key = ObjectIdentity::of(keys->value.array()->front().dictionary()->begin()->first);
  for (const Value& d : *keys->value.array()) ASSERT_EQ(ObjectIdentity::of(d.dictionary()->begin()->first), key);
  const auto data = parsePlist(sharedData);
  ASSERT_TRUE(data);
  const Array& outer = *data->value.array();
  EXPECT_EQ(ObjectIdentity::of(outer.front()), ObjectIdentity::of(outer.back()));
  EXPECT_EQ(ObjectIdentity::of(outer.front().array()->front()), ObjectIdentity::of(outer.front().array()->back()));
}

// What a value may be written out to is a fixed multiple of what it holds (or the floors): 1,000
// bytes of text behind a few levels of references are written out until that would copy more than
// 16 bytes per unit the value holds.
TEST(PlistIo, WhatAValueWritesOutIsAFixedMultipleOfWhatItHolds) {
  const auto levels = [](std::size_t fan, std::size_t depth, std::size_t text) {
    std::vector<std::string> objects;
    objects.reserve(depth + 1);
    for (std::size_t i = 0; i < depth; ++i)
      objects.push_back(container(0xA, std::vector<std::uint64_t>(fan, i + 1), 4));
    objects.push_back(blob(0x5, text, 't'));
    return parsePlist(binaryOf(objects, 0, 4)).value().value;
  };
  // 14 x 14 x 1,000 bytes = 196 KB: under the 1 MiB floor.
  EXPECT_TRUE(expandable(levels(14, 2, 1000)));
  // 14^3 x 1,000 = 2.7 MB from about 1,000 held: past 16 per unit and the floor.
  const Value costly = levels(14, 3, 1000);
  EXPECT_EQ(sizeOf(costly).bytes, 14u * 14 * 14 * 1000);
  EXPECT_FALSE(expandable(costly));
  // Values likewise: 14^5 = 537,824 references to `true`, past 65,536 and 16 per unit held.
  EXPECT_FALSE(expandable(levels(14, 5, 0)));
}

TEST(PlistIo, TheBoundOnWritingOutIsTheMultipleTheFloorsOrTheLimits) {
  // 20 references to one 60 KB text: 21 values and 1.2 MB written out, from 60,021 held.
  const Value text(std::string(60000, 't'));
  const ValueSize size = sizeOf(Value(Array(20, text)));
  EXPECT_EQ(size.values, 21u);
  EXPECT_EQ(size.bytes, 1200000u);
  EXPECT_EQ(size.held, 1 + 60001 + 19u);
  // The floors; the multiple of what is held; the absolute limits, whatever is held.
  EXPECT_TRUE(expandable(ValueSize{kPlistMinNodes, kPlistMinBytes, 1}));
  EXPECT_FALSE(expandable(ValueSize{kPlistMinNodes + 1, 0, 1}));
  EXPECT_FALSE(expandable(ValueSize{1, kPlistMinBytes + 1, 1}));
  constexpr std::uint64_t kHeld = 100000;
  EXPECT_TRUE(expandable(ValueSize{16 * kHeld, 16 * kHeld, kHeld}));
  EXPECT_FALSE(expandable(ValueSize{16 * kHeld + 1, 0, kHeld}));
  EXPECT_FALSE(expandable(ValueSize{0, 16 * kHeld + 1, kHeld}));
  EXPECT_TRUE(expandable(ValueSize{kMaxPlistNodes, kMaxPlistBytes, kMaxPlistNodes}));
  EXPECT_FALSE(expandable(ValueSize{kMaxPlistNodes + 1, 0, kMaxPlistNodes}));
  EXPECT_FALSE(expandable(ValueSize{0, kMaxPlistBytes + 1, kMaxPlistNodes}));
  // A value that shares nothing is written out however large: 60 MB of data; 5 million values.
  EXPECT_TRUE(expandable(Value(Data(std::size_t{60} << 20, 1))));
  EXPECT_TRUE(expandable(ValueSize{5000000, 0, 5000000}));
}

TEST(PlistIo, NestingReadsToTheBoundAndCyclesNever) {
  for (const std::size_t depth : {std::size_t{1}, std::size_t{512}, kMaxPlistDepth}) {
    EXPECT_TRUE(parsePlist(nestedBinary(depth))) << depth;
    EXPECT_TRUE(parsePlist(nestedXml(depth))) << depth;
  }
  for (const std::size_t depth : {kMaxPlistDepth + 1, std::size_t{100000}}) {
    EXPECT_FALSE(parsePlist(nestedBinary(depth))) << depth;
    EXPECT_FALSE(parsePlist(nestedXml(depth))) << depth;
  }
  EXPECT_FALSE(parsePlist(nestedBinary(3, /*cycle=*/true)));
  EXPECT_FALSE(parsePlist(nestedBinary(1, /*cycle=*/true)));  // an array holding itself
}

TEST(PlistIo, MalformedBinaryTablesAreRefused) {
  const std::string b = nestedBinary(4);
  ASSERT_TRUE(parsePlist(b));
  EXPECT_FALSE(parsePlist(b.substr(0, b.size() - 1)));  // trailer cut
  std::string badRef = b;
  badRef[12] = 0x7F;  // the first array's reference points past the table
  EXPECT_FALSE(parsePlist(badRef));
  std::string badCount = b;
  badCount[b.size() - 17] = 0x10;  // far more objects than bytes
  EXPECT_FALSE(parsePlist(badCount));
  std::string badTop = b;
  badTop[b.size() - 9] = 0x09;  // the top object past the count
  EXPECT_FALSE(parsePlist(badTop));
  EXPECT_FALSE(parsePlist("bplist00"));
  EXPECT_FALSE(parsePlist(binaryOf({std::string("\x4f\x10\x40", 3)})));  // data longer than the file
}

TEST(PlistIo, LargeFilesRead) {
  Data blob(std::size_t{60} << 20, 0xAB);
  const auto bytes = serializePlist(Value(Dictionary{{"blob", Value(std::move(blob))}}), PlistFormat::kBinary);
  ASSERT_TRUE(bytes);
  ASSERT_GT(bytes->size(), std::size_t{60} << 20);
  const auto parsed = parsePlist(*bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(std::get<Data>(find(*parsed->value.dictionary(), "blob")->storage()).size(), std::size_t{60} << 20);
}

TEST(PlistIo, WhatAFormatCannotCarryIsNotWritten) {
  EXPECT_FALSE(serializePlist(Value("\xff"), PlistFormat::kBinary));  // not text
  EXPECT_FALSE(serializePlist(Value("\xff"), PlistFormat::kXml));
  EXPECT_TRUE(serializeFaithfully(Value(std::string("a\0b", 3)), PlistFormat::kBinary));
  // A dictionary that spells a UID in XML reads back as a UID: the write check refuses it.
  EXPECT_FALSE(serializeFaithfully(Value(Dictionary{{"CF$UID", Value(1)}}), PlistFormat::kXml));
  EXPECT_TRUE(serializeFaithfully(Value(Dictionary{{"CF$UID", Value(1)}}), PlistFormat::kBinary));
}

// The platform's XML writer escapes only "<", ">" and "&": control characters, carriage returns and
// U+FFFE/U+FFFF are written as they are, and its reader takes them back as they stand (no line-end
// rule), so a string or key holding one survives an XML rewrite.
TEST(PlistIo, ControlCharactersGoIntoXmlAsThePlatformWritesThem) {
  std::string text = "a";
  text += '\0';
  text += "b\x07";
  text += "c\x1f\td\re";
  const Value value(Dictionary{{"\x01key", Value(text)}});
  const auto bytes = serializeFaithfully(value, PlistFormat::kXml);
  ASSERT_TRUE(bytes);
  EXPECT_NE(bytes->find("<key>\x01key</key>"), std::string::npos);
  std::string spelled = "a";
  spelled += '\0';
  spelled += "b\x07";
  spelled += "c\x1f\td\re";
  EXPECT_NE(bytes->find(spelled), std::string::npos);
  EXPECT_EQ(parsePlist(*bytes)->value, value);
  EXPECT_EQ(parsePlist(xmlHead() + "<string>a\x01</string></plist>")->value, Value("a\x01"));
  EXPECT_EQ(parsePlist(xmlHead() + "<string>a\rb\r\nc</string></plist>")->value, Value("a\rb\r\nc"));
  const Value nonCharacters(Array{Value("\xEF\xBF\xBE"), Value("x\xEF\xBF\xBFy")});  // U+FFFE, U+FFFF
  const auto written = serializeFaithfully(nonCharacters, PlistFormat::kXml);
  ASSERT_TRUE(written);
  EXPECT_NE(written->find("<string>x\xEF\xBF\xBFy</string>"), std::string::npos);
}

// A settings or preference file holding null or a set is read, and a rewrite through the preference
// service (binary) keeps them; XML has no spelling for either, so an XML write of one fails.
TEST(PlistIo, NullAndSetsSurviveABinaryRewriteAndAreNoXml) {
  const Value value(Dictionary{
      {"mode", Value(2)}, {"nothing", Value(Null{})}, {"tags", Value(Set{{Value("a"), Value(1), Value(Set{})}})}});
  const auto bytes = serializeFaithfully(value, PlistFormat::kBinary);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(parsePlist(*bytes)->value, value);
  EXPECT_FALSE(serializePlist(value, PlistFormat::kXml));
  EXPECT_FALSE(serializePlist(Value(Null{}), PlistFormat::kXml));
  EXPECT_FALSE(Value(Null{}).boolReading());
  EXPECT_FALSE(Value(Set{}).int32Reading());
}

// XML lists in the encodings the platform reads: UTF-16 (byte-order mark, or told by the first
// characters), ISO-8859-1 and US-ASCII as declared. Broken UTF-16 and unknown encodings do not read.
TEST(PlistIo, XmlInTheEncodingsThePlatformReads) {
  const std::string body =
      "<plist version=\"1.0\"><dict><key>k\xC3\xA9</key><string>\xF0\x9F\x8C\x90</string></dict></plist>";
  const Value expected(Dictionary{{"k\xC3\xA9", Value("\xF0\x9F\x8C\x90")}});
  const auto utf16 = [](const std::string& utf8, bool bigEndian) {
    std::string out;
    std::u16string units;
    for (std::size_t i = 0; i < utf8.size();) {
      const auto c = static_cast<unsigned char>(utf8[i]);
      std::uint32_t cp = c;
      std::size_t n = 1;
      if (c >= 0xF0)
        cp = c & 0x07u, n = 4;
      else if (c >= 0xE0)
        cp = c & 0x0Fu, n = 3;
      else if (c >= 0xC0)
        cp = c & 0x1Fu, n = 2;
      for (std::size_t k = 1; k < n; ++k) cp = (cp << 6u) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
      i += n;
      if (cp >= 0x10000) {
        units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10u));
        units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FFu));
      } else {
        units += static_cast<char16_t>(cp);
      }
    }
    for (char16_t u : units) {
      const char hi = static_cast<char>(u >> 8u);
      const char lo = static_cast<char>(u & 0xFFu);
      out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
  };
  const std::string declared = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body;
  EXPECT_EQ(parsePlist("\xFF\xFE" + utf16(declared, false))->value, expected);
  EXPECT_EQ(parsePlist("\xFE\xFF" + utf16(declared, true))->value, expected);
  EXPECT_EQ(parsePlist(utf16(declared, false))->value, expected);  // no mark: "<?" tells
  EXPECT_EQ(parsePlist(utf16(declared, true))->value, expected);
  EXPECT_FALSE(parsePlist("\xFF\xFE" + utf16(declared, false) + "x"));  // an odd length
  EXPECT_FALSE(parsePlist("\xFF\xFE" + utf16("<plist><string>", false) + std::string("\x00\xD8", 2) +
                          utf16("</string></plist>", false)));  // a lone high surrogate
  EXPECT_EQ(parsePlist("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>caf\xE9</string></plist>")->value,
            Value("caf\xC3\xA9"));
  EXPECT_FALSE(parsePlist("<?xml version=\"1.0\" encoding=\"US-ASCII\"?><plist><string>caf\xE9</string></plist>"));
  EXPECT_FALSE(parsePlist("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><plist><string>x</string></plist>"));
}

TEST(PlistIo, SameValueTellsSignedZeroAndKeepsNaNEqual) {
  EXPECT_TRUE(sameValue(Value(std::nan("")), Value(std::nan(""))));
  EXPECT_FALSE(sameValue(Value(0.0), Value(-0.0)));
  EXPECT_FALSE(sameValue(Value(Date{0.5}), Value(Date{0})));
  EXPECT_TRUE(sameValue(Value(Date{0.5}), Value(Date{0}), PlistFormat::kXml));
  EXPECT_FALSE(sameValue(Value(1), Value(1.0)));
  EXPECT_FALSE(sameValue(Value(Dictionary{{"a", Value(1)}}), Value(Dictionary{{"b", Value(1)}})));
}

}  // namespace
}  // namespace orvane::sim
