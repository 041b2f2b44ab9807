// The connection between the device's processes: messages written and read whole, within a bound,
// and calls answered while a side waits for its own answer.
#include "sim/device/channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "sim/device/wire.h"

namespace orvane::sim {

namespace {

// Messages never come near this (a preference domain's file is at most 64 MiB); a length past it
// is not a message.
constexpr std::uint64_t kMaxMessage = std::uint64_t{256} << 20;

// Async-signal-safe: a fatal signal's handler writes with it.
bool writeAll(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ChannelTraffic traffic;

}  // namespace

const ChannelTraffic& channelTraffic() { return traffic; }

Channel::~Channel() { ::close(fd_); }

void Channel::post(const Value& message) {
  const std::size_t at = outbox_.size();
  outbox_.append(sizeof(std::uint64_t), '\0');  // the length, once the message is written after it
  encodeInto(outbox_, message);
  const std::uint64_t length = outbox_.size() - at - sizeof(std::uint64_t);
  std::memcpy(outbox_.data() + at, &length, sizeof length);
}

void Channel::flush() {
  ++traffic.writes;
  const bool written = writeAll(fd_, outbox_.data(), outbox_.size());
  outbox_.clear();
  if (!written) throw ChannelClosed("the other process is gone");
}

void Channel::flushFromSignal() noexcept { writeAll(fd_, outbox_.data(), outbox_.size()); }

void Channel::send(const Value& message) {
  post(message);
  flush();
}

// Reads what the other side has sent, at least one byte more, waiting no later than `deadline`.
// The wait is a poll for input even without a deadline: a read blocked on a Unix stream socket is
// also woken each time the other side reads what this side wrote (room to write again), which
// cost a waiting process two needless context switches a call.
void Channel::readMore(std::optional<std::chrono::steady_clock::time_point> deadline) {
  for (;;) {
    {
      int wait = -1;
      if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
        wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
      }
      pollfd waiting{fd_, POLLIN, 0};
      const int ready = ::poll(&waiting, 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) throw ChannelTimeout("no whole message within the bound");
    }
    char piece[std::size_t{1} << 16];
    ++traffic.reads;
    const ssize_t n = ::read(fd_, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ChannelClosed("the other process is gone");
    inbox_.append(piece, static_cast<std::size_t>(n));
    return;
  }
}

Value Channel::receive() {
  // What this side told goes before it waits: the other side may be waiting for it.
  if (!outbox_.empty()) flush();
  // The whole message within the bound, not only its first byte: half a message then silence is a
  // hang like any other. Room is made as the bytes come, never for what the length merely claims;
  // a read takes whatever has come, so that messages sent together are read together.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (boundMilliseconds_ > 0)
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMilliseconds_);
  while (inbox_.size() - inboxAt_ < sizeof(std::uint64_t)) readMore(deadline);
  std::uint64_t length = 0;
  std::memcpy(&length, inbox_.data() + inboxAt_, sizeof length);
  if (length > kMaxMessage) throw ChannelClosed("not a message: " + std::to_string(length) + " bytes long");
  while (inbox_.size() - inboxAt_ - sizeof length < length) readMore(deadline);
  auto value = decodeValue(std::string_view(inbox_).substr(inboxAt_ + sizeof length, static_cast<std::size_t>(length)));
  inboxAt_ += sizeof length + static_cast<std::size_t>(length);
  if (inboxAt_ == inbox_.size()) {
    inbox_.clear();
    inboxAt_ = 0;
  }
  const Array* message = value ? value->array() : nullptr;
  const auto* kind =
      message != nullptr && !message->empty() ? std::get_if<std::int64_t>(&message->front().storage()) : nullptr;
  if (kind == nullptr ||
      (*kind == kAnswer ? message->size() != 2 : (*kind != kCall && *kind != kTell) || message->size() != 3))
    throw ChannelClosed("not a message");
  return std::move(*value);
}

void Channel::answer(const Array& message) {
  const bool told = std::get<std::int64_t>(message[0].storage()) == kTell;
  const auto* number = std::get_if<std::int64_t>(&message[1].storage());
  if (number == nullptr || *number < 0 || message[2].array() == nullptr) throw ChannelClosed("not a message");
  Value result = handler_ ? handler_(static_cast<std::size_t>(*number), *message[2].array()) : Value();
  ++(told ? traffic.toldIn : traffic.callsAnswered);
  if (!told) send(Value(Array{Value(kAnswer), std::move(result)}));
}

Value Channel::call(std::size_t call, Array arguments) {
  ++traffic.callsMade;
  send(Value(Array{Value(kCall), Value(static_cast<std::int64_t>(call)), Value(std::move(arguments))}));
  for (;;) {
    Value message = receive();
    const Array& fields = *message.array();
    if (std::get<std::int64_t>(fields[0].storage()) == kAnswer) return fields[1];
    answer(fields);
  }
}

void Channel::tell(std::size_t call, Array arguments) {
  ++traffic.toldOut;
  post(Value(Array{Value(kTell), Value(static_cast<std::int64_t>(call)), Value(std::move(arguments))}));
}

void Channel::serve() {
  for (;;) {
    Value message;
    try {
      message = receive();
    } catch (const ChannelClosed&) {
      return;
    }
    answer(*message.array());
  }
}

}  // namespace orvane::sim
