// One end of the connection between the device's OS process and the OS process of one simulated
// process (on the real runtime, every simulated process has one). Either side calls the other; a
// call is answered before its caller goes on, and while a side waits for its answer it serves the
// calls the other side makes meanwhile (a call may call back: a process that posts a notification
// it observes itself is asked to queue the delivery before its post returns). Both sides are
// single-threaded, so everything happens in one order, the same on every run.
//
// A message is a length and the encoding of one value (sim/device/wire.h), exact for every value:
// an array, [0, call, arguments] for a call, [1, call, arguments] for a call told (no answer), and
// [2, result] for an answer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/value.h"
#include "sim/device/wire.h"

namespace orvane::sim {

// The other side is gone (it exited, crashed or was killed), or sent something that is not a message.
struct ChannelClosed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The other side did not answer within the channel's bound.
struct ChannelTimeout : ChannelClosed {
  using ChannelClosed::ChannelClosed;
};

// What the channels of this OS process have carried since it started: the calls it made (each a
// round trip, a message and its answer), the calls it answered, and the messages that need no
// answer, sent and served. In the device's process, where every message of every process passes,
// the round trips of an operation are the calls made and answered during it.
struct ChannelTraffic {
  std::uint64_t callsMade = 0;
  std::uint64_t callsAnswered = 0;
  std::uint64_t toldOut = 0;
  std::uint64_t toldIn = 0;
  std::uint64_t writes = 0;  // the system calls that wrote them and read them
  std::uint64_t reads = 0;
  std::uint64_t roundTrips() const { return callsMade + callsAnswered; }
  std::uint64_t oneWay() const { return toldOut + toldIn; }
};
const ChannelTraffic& channelTraffic();

class Channel {
 public:
  // Serves one call: the call's number in the protocol (sim/device/protocol.h) and its arguments,
  // and gives the answer.
  using Handler = std::function<Value(std::size_t call, const Array& arguments)>;

  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  void setHandler(Handler handler) { handler_ = std::move(handler); }
  // How long to wait for each message before giving up on the other side (ChannelTimeout); 0, the
  // default, waits for ever.
  void setBound(int milliseconds) { boundMilliseconds_ = milliseconds; }
  // Calls the other side and serves its calls until the answer comes. Throws ChannelClosed.
  Value call(std::size_t call, Array arguments = {});
  // Tells the other side something that needs no answer (the trace): it is written with this side's
  // next message, or before this side waits, and served in order when the other side next reads;
  // the caller goes on at once. Messages told together cost one write.
  void tell(std::size_t call, Array arguments = {});
  // Writes what this side has told and not yet written: before it ends without another word (a
  // crash asked for, a hang).
  void flush();
  // The same from a handler of a fatal signal: no allocation, no exception; what cannot be written
  // is dropped.
  void flushFromSignal() noexcept;
  // Serves the other side's calls until it closes the connection.
  void serve();

 private:
  // Adds a message to what goes out with the next write.
  void post(const Value& message);
  void send(const Value& message);
  void readMore(std::optional<std::chrono::steady_clock::time_point> deadline);
  Value receive();
  // What a message's first member says it is.
  static constexpr std::int64_t kCall = 0;
  static constexpr std::int64_t kTell = 1;
  static constexpr std::int64_t kAnswer = 2;
  // Serves one call message.
  void answer(const Array& message);

  int fd_;
  int boundMilliseconds_ = 0;
  Handler handler_;
  std::string outbox_;  // messages told and not yet written
  std::string inbox_;   // what was read and not yet received, from inboxAt_
  std::size_t inboxAt_ = 0;
};

}  // namespace orvane::sim
