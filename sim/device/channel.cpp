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

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly `size` bytes, waiting for each no later than `deadline` (none: for ever).
void readAll(int fd, char* data, std::size_t size, std::optional<std::chrono::steady_clock::time_point> deadline) {
  while (size > 0) {
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      pollfd waiting{fd, POLLIN, 0};
      const int ready = left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) throw ChannelTimeout("no whole message within the bound");
    }
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ChannelClosed("the other process is gone");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

Channel::~Channel() { ::close(fd_); }

void Channel::send(const Value& message) {
  std::string bytes(sizeof(std::uint64_t), '\0');  // the length, once the message is written after it
  encodeInto(bytes, message);
  const std::uint64_t length = bytes.size() - sizeof(std::uint64_t);
  std::memcpy(bytes.data(), &length, sizeof length);
  if (!writeAll(fd_, bytes.data(), bytes.size())) throw ChannelClosed("the other process is gone");
}

Value Channel::receive() {
  // The whole message within the bound, not only its first byte: half a message then silence is a
  // hang like any other.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (boundMilliseconds_ > 0)
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMilliseconds_);
  std::uint64_t length = 0;
  readAll(fd_, reinterpret_cast<char*>(&length), sizeof length, deadline);
  if (length > kMaxMessage) throw ChannelClosed("not a message: " + std::to_string(length) + " bytes long");
  // Room is made as the bytes come, never for what the length merely claims.
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  std::string bytes;
  while (bytes.size() < length) {
    const std::size_t had = bytes.size();
    bytes.resize(had + std::min<std::uint64_t>(kPiece, length - had));
    readAll(fd_, bytes.data() + had, bytes.size() - had, deadline);
  }
  auto value = decodeValue(bytes);
  if (!value || value->dictionary() == nullptr) throw ChannelClosed("not a message");
  return std::move(*value);
}

void Channel::answer(const Dictionary& message) {
  const bool told = find(message, "tell") != nullptr;
  const Value* call = find(message, told ? "tell" : "call");
  const Value* arguments = find(message, "arguments");
  const auto* number = call != nullptr ? std::get_if<std::int64_t>(&call->storage()) : nullptr;
  if (number == nullptr || *number < 0 || arguments == nullptr || arguments->array() == nullptr)
    throw ChannelClosed("not a message");
  Value result = handler_ ? handler_(static_cast<std::size_t>(*number), *arguments->array()) : Value();
  if (!told) send(Value(Dictionary{{"answer", std::move(result)}}));
}

Value Channel::call(std::size_t call, Array arguments) {
  send(Value(Dictionary{{"call", Value(static_cast<std::int64_t>(call))}, {"arguments", Value(std::move(arguments))}}));
  for (;;) {
    Value message = receive();
    const Dictionary& fields = *message.dictionary();
    if (const Value* result = find(fields, "answer")) return *result;
    answer(fields);
  }
}

void Channel::tell(std::size_t call, Array arguments) {
  send(Value(Dictionary{{"tell", Value(static_cast<std::int64_t>(call))}, {"arguments", Value(std::move(arguments))}}));
}

void Channel::serve() {
  for (;;) {
    Value message;
    try {
      message = receive();
    } catch (const ChannelClosed&) {
      return;
    }
    answer(*message.dictionary());
  }
}

}  // namespace orvane::sim
