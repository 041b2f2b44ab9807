// The channel between the device and a separate process: every value crosses it exactly, and
// bytes that are not a message are refused, never read past.
#include "sim/device/channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "sim/plist/object_identity.h"

namespace orvane::sim {
namespace {

Value everyKindOnTheChannel() {
  double nan = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t bits = 0;
  std::memcpy(&bits, &nan, sizeof bits);
  bits |= 0x1234;  // a payload of its own, kept bit for bit
  std::memcpy(&nan, &bits, sizeof bits);
  return Value(Dictionary{
      {"bool", Value(true)},
      {"int", Value(std::numeric_limits<std::int64_t>::min())},
      {"uint", Value(std::numeric_limits<std::uint64_t>::max())},
      {"nan", Value(nan)},
      {"negative zero", Value(-0.0)},
      {"not utf-8", Value(std::string("\xff\xfe\x00 x", 5))},
      {"data", Value(Data{0, 1, 255})},
      {"date", Value(Date{-1.5})},
      {"uid", Value(Uid{7})},
      {"null", Value(Null{})},
      {"set", Value(Set{{Value(1), Value("a")}})},
      {std::string("key\0with nul", 12), Value(Array{Value(Array{}), Value(Dictionary{})})},
  });
}

TEST(Channel, EveryValueCrossesExactly) {
  const Value sent = everyKindOnTheChannel();
  const auto received = decodeValue(encodeValue(sent));
  ASSERT_TRUE(received);
  // Value's == compares reals as numbers (NaN is never equal): compare the encodings, bit for bit.
  EXPECT_EQ(encodeValue(*received), encodeValue(sent));
  const auto* nan = std::get_if<double>(&find(*received->dictionary(), "nan")->storage());
  ASSERT_NE(nan, nullptr);
  EXPECT_TRUE(std::isnan(*nan));
  EXPECT_TRUE(std::signbit(*std::get_if<double>(&find(*received->dictionary(), "negative zero")->storage())));
}

// What a value shares crosses once and arrives shared: a value written out in full past any bound
// (2^40 references) crosses in what it holds, and so does one long key held by many dictionaries.
TEST(Channel, WhatAValueSharesCrossesOnceAndArrivesShared) {
  Value bomb(std::string(40, 'x'));
  for (int i = 0; i < 40; ++i) bomb = Value(Array{bomb, bomb});
  const Key longKey(std::string(100000, 'k'));
  Array dictionaries;
  for (int i = 0; i < 1000; ++i) dictionaries.emplace_back(Dictionary{{longKey, Value(i)}});
  const Value sent(Dictionary{{"bomb", bomb}, {"keys", Value(dictionaries)}});
  const std::string bytes = encodeValue(sent);
  EXPECT_LT(bytes.size(), 200000u);
  const auto received = decodeValue(bytes);
  ASSERT_TRUE(received);
  const Array* top = find(*received->dictionary(), "bomb")->array();
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(ObjectIdentity::of((*top)[0]), ObjectIdentity::of((*top)[1])) << "one object for both references";
  EXPECT_LE(encodeValue(*received).size(), bytes.size()) << "what arrives crosses back as small";
  const Array* keys = find(*received->dictionary(), "keys")->array();
  ASSERT_EQ(keys->size(), 1000u);
  EXPECT_EQ(ObjectIdentity::of(keys->front().dictionary()->begin()->first),
            ObjectIdentity::of(keys->back().dictionary()->begin()->first));
  // A reference to a slot not yet given is refused.
  std::string dangling = "\x0d";
  dangling.append(8, '\0');
  EXPECT_FALSE(decodeValue(dangling));
}

TEST(Channel, BytesThatAreNotOneValueAreRefused) {
  const std::string whole = encodeValue(everyKindOnTheChannel());
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(decodeValue(std::string_view(whole).substr(0, n))) << "a value cut at byte " << n;
  }
  EXPECT_FALSE(decodeValue(whole + "x"));             // something after the value
  EXPECT_FALSE(decodeValue(std::string(1, '\x0c')));  // no such kind
  // A count far past what the bytes could hold is refused before anything is made of it.
  std::string huge = "\x08";
  huge.append(8, '\xff');
  EXPECT_FALSE(decodeValue(huge));
  // Random damage: refused or read, never a crash or a read past the end (the sanitizers watch).
  std::mt19937 random(20261207);
  for (int i = 0; i < 2000; ++i) {
    std::string damaged = whole;
    for (int j = 0; j < 3; ++j) damaged[random() % damaged.size()] = static_cast<char>(random());
    (void)decodeValue(damaged);
  }
}

// The two ends of one connection, the process's served in a child of its own once its handler is
// set, as a separate process is; the connection closed and the child waited for at the end.
struct ChannelPair {
  static std::array<int, 2> connected() {
    std::array<int, 2> ends{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()) != 0) std::abort();
    return ends;
  }
  ChannelPair() = default;
  ~ChannelPair() {
    ::close(fds[1]);
    ::shutdown(fds[0], SHUT_RDWR);
    int status = 0;
    if (child > 0) ::waitpid(child, &status, 0);
  }
  ChannelPair(const ChannelPair&) = delete;
  ChannelPair& operator=(const ChannelPair&) = delete;
  void serveProcessInChild() {
    child = ::fork();
    if (child == 0) {
      process.serve();
      ::_exit(0);
    }
  }
  std::array<int, 2> fds = connected();
  Channel device{fds[0]};
  Channel process{fds[1]};
  pid_t child = -1;
};

TEST(Channel, ACallIsAnsweredAndTheCallerServesWhatIsToldAndCalledMeanwhileInOrder) {
  ChannelPair pair;
  Channel& device = pair.device;
  Channel& process = pair.process;
  // Calls by number: 7 "double", 1 "note", 2 "count".
  std::vector<std::size_t> served;
  device.setHandler([&](std::size_t call, const Array& arguments) {
    served.push_back(call);
    return Value(static_cast<std::int64_t>(arguments.size()));
  });
  // The process side answers "double" by first telling the device something (no answer awaited),
  // then calling it back ("count"): the device serves both, in that order.
  process.setHandler([&](std::size_t call, const Array& arguments) {
    process.tell(1);
    const Value count = process.call(2, {Value(1), Value(2), Value(3)});
    return Value(Array{Value(static_cast<std::int64_t>(call)), count, arguments.empty() ? Value() : arguments.front()});
  });
  pair.serveProcessInChild();
  ASSERT_GE(pair.child, 0);
  const Value answer = device.call(7, {Value("x")});
  EXPECT_EQ(answer, Value(Array{Value(std::int64_t{7}), Value(std::int64_t{3}), Value("x")}));
  EXPECT_EQ(served, (std::vector<std::size_t>{1, 2}));
}

// What a side tells goes out with its next message, in one write: the device reads the process's
// three notes and its answer at once, and serves the notes, in order, before it takes the answer.
TEST(Channel, WhatIsToldGoesWithTheNextMessageInOneWriteAndIsServedInOrder) {
  ChannelPair pair;
  Channel& device = pair.device;
  Channel& process = pair.process;
  std::vector<std::int64_t> notes;
  device.setHandler([&](std::size_t, const Array& arguments) {
    notes.push_back(std::get<std::int64_t>(arguments.front().storage()));
    return Value();
  });
  process.setHandler([&](std::size_t, const Array&) {
    // Apart in time: notes written as they are told would reach the device in reads of their own.
    for (std::int64_t note : {1, 2, 3}) {
      process.tell(1, {Value(note)});
      ::usleep(2000);
    }
    return Value(static_cast<std::int64_t>(notes.size()));  // the child's copy: it served none
  });
  pair.serveProcessInChild();
  ASSERT_GE(pair.child, 0);
  const ChannelTraffic before = channelTraffic();
  const Value answer = device.call(7);
  const ChannelTraffic& after = channelTraffic();
  EXPECT_EQ(answer, Value(std::int64_t{0}));
  EXPECT_EQ(notes, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(after.toldIn - before.toldIn, 3U);
  EXPECT_EQ(after.writes - before.writes, 1U);  // the call
  EXPECT_EQ(after.reads - before.reads, 1U);    // the notes and the answer, written together
}

TEST(Channel, AnAnswerThatNeverComesIsATimeoutAndAClosedSideIsSaid) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  Channel device(fds[0]);
  device.setBound(50);
  EXPECT_THROW(device.call(0), ChannelTimeout);
  ::close(fds[1]);
  EXPECT_THROW(device.call(0), ChannelClosed);
}

// The bound holds for the whole message, not its first byte; a length past any message is refused
// at once, and a length the bytes never reach makes no room for what it claims.
TEST(Channel, HalfAMessageThenSilenceIsATimeoutAndALengthPastAnyMessageIsRefused) {
  const auto answerWith = [](const std::string& bytes) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Channel device(fds[0]);
    device.setBound(100);
    EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const auto start = std::chrono::steady_clock::now();
    std::string outcome = "answered";
    try {
      device.call(0);
    } catch (const ChannelTimeout&) {
      outcome = "timeout";
    } catch (const ChannelClosed& e) {
      outcome = e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << outcome;
    ::close(fds[1]);
    return outcome;
  };
  const auto length = [](std::uint64_t n) { return std::string(reinterpret_cast<const char*>(&n), sizeof n); };
  const std::string message = encodeValue(Value(Array{Value(2), Value(1)}));  // [answer, 1]
  EXPECT_EQ(answerWith(length(message.size()) + message), "answered");
  // A value that is not a message of the three shapes ends the connection.
  for (const Value& shape : {Value(Array{Value(3), Value(1)}), Value(Array{Value(2)}), Value(Array{Value(0), Value(1)}),
                             Value(Array{Value(1), Value(1), Value(Array{}), Value(0)}), Value(Array{}),
                             Value(Dictionary{{"answer", Value(1)}}), Value("answer")}) {
    const std::string bytes = encodeValue(shape);
    EXPECT_EQ(answerWith(length(bytes.size()) + bytes), "not a message") << encodeValue(shape).size();
  }
  EXPECT_EQ(answerWith(length(message.size()) + message.substr(0, 3)), "timeout");
  EXPECT_EQ(answerWith(length(message.size()).substr(0, 5)), "timeout");
  EXPECT_EQ(answerWith(length((std::uint64_t{1} << 30) - 1)), "not a message: 1073741823 bytes long");
  // 200 MiB claimed, ten bytes sent: a timeout within the bound (room is made as bytes come).
  EXPECT_EQ(answerWith(length(std::uint64_t{200} << 20) + std::string(10, 'x')), "timeout");
}

}  // namespace
}  // namespace orvane::sim
