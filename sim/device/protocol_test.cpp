#include "sim/device/protocol.h"

#include <gtest/gtest.h>

#include <set>

#include "sim/device/process_calls.h"

namespace orvane::sim {
namespace {

// A target with a member of each shape the device's protocols use.
class Target {
 public:
  bool tap(std::string_view key) {
    seen.push_back("tap " + std::string(key));
    return key == "q";
  }
  std::optional<std::string> ask(const std::string& a, const std::string& b) {
    return a.empty() ? std::nullopt : std::optional<std::string>(a + "/" + b);
  }
  void post(const platform::Notification& n) { seen.push_back(n.name + (n.userInfo ? " with info" : "")); }
  platform::StringList list() const {
    return platform::StringList(std::vector<std::string>{"a", std::string("b\0c", 3)});
  }
  void icons(const std::map<std::pair<std::string, int>, IconKind>& all) { iconCount = all.size(); }
  bool fault(FileFault f) { return f == FileFault::kFull; }
  std::optional<Value> value(const std::optional<Value>& v) { return v; }
  Trace::Fields fields(const Trace::Fields& f) { return f; }

  std::vector<std::string> seen;
  std::size_t iconCount = 0;
};

using TestProtocol = Protocol<Call<&Target::tap, "tap">, Call<&Target::ask, "ask">, Call<&Target::post, "post", true>,
                              Call<&Target::list, "list">, Call<&Target::icons, "icons">, Call<&Target::fault, "fault">,
                              Call<&Target::value, "value">, Call<&Target::fields, "fields">>;

// One call as it crosses: the arguments encoded and decoded as bytes, served, the answer back as bytes.
template <auto Member, typename... Given>
auto roundTrip(Target& target, const Given&... given) {
  const Array arguments = MemberOf<std::remove_cv_t<decltype(Member)>>::encode(given...);
  const auto sent = decodeValue(encodeValue(Value(arguments)));
  const Value answer = TestProtocol::serve(target, TestProtocol::idOf<Member>(), *sent->array());
  return resultOf<Member>(decodeValue(encodeValue(answer)));
}

TEST(Protocol, EveryShapeOfCallCrossesExactlyAndIsServedByItsRow) {
  Target target;
  EXPECT_TRUE(roundTrip<&Target::tap>(target, std::string("q")));
  EXPECT_FALSE(roundTrip<&Target::tap>(target, std::string("w")));
  EXPECT_EQ(roundTrip<&Target::ask>(target, std::string("a"), std::string("b")), "a/b");
  EXPECT_EQ(roundTrip<&Target::ask>(target, std::string(), std::string("b")), std::nullopt);
  roundTrip<&Target::post>(target, platform::Notification{"n", Dictionary{{"k", Value(1)}}});
  roundTrip<&Target::post>(target, platform::Notification{"m", std::nullopt});
  EXPECT_EQ(target.seen, (std::vector<std::string>{"tap q", "tap w", "n with info", "m"}));
  EXPECT_EQ(roundTrip<&Target::list>(target), target.list());
  roundTrip<&Target::icons>(target, std::map<std::pair<std::string, int>, IconKind>{{{"x", 29}, IconKind::kEmpty},
                                                                                    {{"x", 58}, IconKind::kCGImage}});
  EXPECT_EQ(target.iconCount, 2U);
  EXPECT_TRUE(roundTrip<&Target::fault>(target, FileFault::kFull));
  EXPECT_FALSE(roundTrip<&Target::fault>(target, FileFault::kRename));
  // A value, and no value, are two answers.
  EXPECT_EQ(roundTrip<&Target::value>(target, std::optional<Value>(Value(Array{}))),
            std::optional<Value>(Value(Array{})));
  EXPECT_EQ(roundTrip<&Target::value>(target, std::optional<Value>()), std::nullopt);
  // A trace field crosses as what it is: a text that reads as a value stays a text.
  const auto fields = roundTrip<&Target::fields>(
      target, Trace::Fields{{"value", "[1, 2]"}, {"list", FieldValue::of(Value(Array{Value(1), Value(2)}))}});
  ASSERT_EQ(fields.size(), 2U);
  EXPECT_EQ(fields[0].second.value(), nullptr);
  EXPECT_EQ(*fields[0].second.text(), "[1, 2]");
  ASSERT_NE(fields[1].second.value(), nullptr);
  EXPECT_EQ(*fields[1].second.value(), Value(Array{Value(1), Value(2)}));
  // Any bytes in a name or a text, and no fields at all.
  const std::string odd("t\0v\xff", 4);
  const auto oddFields = roundTrip<&Target::fields>(target, Trace::Fields{{odd, FieldValue(odd)}, {"", ""}});
  ASSERT_EQ(oddFields.size(), 2U);
  EXPECT_EQ(oddFields[0].first, odd);
  EXPECT_EQ(*oddFields[0].second.text(), odd);
  EXPECT_EQ(oddFields[1].first, "");
  EXPECT_TRUE(roundTrip<&Target::fields>(target, Trace::Fields{}).empty());
  // No answer (the other side ended) is what the member gives by default.
  EXPECT_EQ(resultOf<&Target::ask>(std::nullopt), std::nullopt);
  EXPECT_FALSE(resultOf<&Target::tap>(std::nullopt));
  EXPECT_TRUE(TestProtocol::told<&Target::post>());
  EXPECT_FALSE(TestProtocol::told<&Target::tap>());
}

TEST(Protocol, ACallThatIsNotInTheTableOrNotWhatItsMemberTakesEndsTheConnection) {
  Target target;
  EXPECT_THROW(TestProtocol::serve(target, TestProtocol::size, {}), ChannelClosed);
  const std::size_t tap = TestProtocol::idOf<&Target::tap>();
  EXPECT_THROW(TestProtocol::serve(target, tap, {}), ChannelClosed);                        // too few
  EXPECT_THROW(TestProtocol::serve(target, tap, {Value("q"), Value("w")}), ChannelClosed);  // too many
  EXPECT_THROW(TestProtocol::serve(target, tap, {Value(1)}), ChannelClosed);                // not a text
  const std::size_t ask = TestProtocol::idOf<&Target::ask>();
  EXPECT_THROW(TestProtocol::serve(target, ask, {Value("a"), Value(Array{})}), ChannelClosed);  // not a text
  const std::size_t post = TestProtocol::idOf<&Target::post>();
  EXPECT_THROW(TestProtocol::serve(target, post, {Value(Array{Value("n")})}), ChannelClosed);  // half a notification
  EXPECT_THROW(TestProtocol::serve(target, post, {Value(Array{Value("n"), Value(Array{Value(1), Value(2)})})}),
               ChannelClosed);  // an optional of two
  // A trace event's fields cut short, of a kind that is neither a text nor a value, or with a value
  // that does not decode.
  const std::size_t fields = TestProtocol::idOf<&Target::fields>();
  const std::string good = *Wire<Trace::Fields>::put(Trace::Fields{{"k", "text"}}).string();
  std::string unknownKind = good;
  unknownKind[sizeof(std::uint64_t) + 1] = 'x';  // after the name's length and the name
  std::string badValue = good;
  badValue[sizeof(std::uint64_t) + 1] = 'v';  // "text" is not a value's encoding
  for (const std::string& bad : {good.substr(0, good.size() - 1), good.substr(0, 3), unknownKind, badValue}) {
    EXPECT_THROW(TestProtocol::serve(target, fields, {Value(bad)}), ChannelClosed);
  }
  EXPECT_THROW(TestProtocol::serve(target, fields, {Value(Array{})}), ChannelClosed);  // not a text
  EXPECT_TRUE(target.seen.empty()) << "nothing malformed reached the target";
  // The message names the call, so that a log says which side sent what.
  const auto messageOf = [&target](std::size_t id, const Array& arguments) {
    try {
      TestProtocol::serve(target, id, arguments);
    } catch (const ChannelClosed& e) {
      return std::string(e.what());
    }
    return std::string("served");
  };
  EXPECT_EQ(messageOf(tap, {}), "not a message: the arguments of tap");
  EXPECT_EQ(messageOf(ask, {Value("a"), Value(1)}), "not a message: a text, among the arguments of ask");
}

// The device's two tables: every row has a name of its own, and a number that finds it again.
template <typename Proto>
std::set<std::string_view> namesOf() {
  std::set<std::string_view> names;
  for (std::size_t id = 0; id < Proto::size; ++id) names.insert(Proto::nameOf(id));
  return names;
}

TEST(Protocol, TheDevicesTablesNameEachCallOnce) {
  EXPECT_EQ(namesOf<DeviceToProcess>().size(), DeviceToProcess::size);
  EXPECT_EQ(namesOf<ProcessToDevice>().size(), ProcessToDevice::size);
  EXPECT_EQ(DeviceToProcess::nameOf(DeviceToProcess::idOf<&LocalProcess::tapKey>()), "tapKey");
  EXPECT_EQ(ProcessToDevice::nameOf(ProcessToDevice::idOf<&DeviceSide::fileFault>()), "fileFault");
  EXPECT_TRUE(ProcessToDevice::told<&DeviceSide::trace>());
  EXPECT_FALSE(ProcessToDevice::told<&DeviceSide::preferenceValue>());
  EXPECT_EQ(DeviceToProcess::nameOf(DeviceToProcess::size), "(no call)");
}

}  // namespace
}  // namespace orvane::sim
