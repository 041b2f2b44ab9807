#include "cli/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace orvane::cli::http {

namespace {

using Clock = std::chrono::steady_clock;

// How long a connection being closed is read from and what is read thrown away, so that an
// answer given before the request's end reaches the client instead of being lost to a reset.
constexpr std::chrono::milliseconds kLingerTime{2000};

bool isTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return false;
  return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

bool isToken(std::string_view s) { return !s.empty() && std::ranges::all_of(s, isTokenChar); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == y; });
}

std::string_view trimmed(std::string_view s) {
  const std::size_t start = s.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return s.substr(start, s.find_last_not_of(" \t") - start + 1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoded (and '+' as a space in the query); nothing when an escape is malformed or gives a NUL.
std::optional<std::string> decoded(std::string_view s, bool plusIsSpace) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      if (i + 2 >= s.size()) return std::nullopt;
      const int high = hexDigit(s[i + 1]);
      const int low = hexDigit(s[i + 2]);
      if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += plusIsSpace && s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

// The target's path and query; false when it is not a path of this server or not well formed.
bool readTarget(std::string_view target, Request& request) {
  if (target.empty() || target.front() != '/') return false;
  const std::size_t mark = target.find('?');
  auto path = decoded(target.substr(0, mark), false);
  if (!path) return false;
  request.path = std::move(*path);
  if (mark == std::string_view::npos) return true;
  std::string_view query = target.substr(mark + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    auto name = decoded(pair.substr(0, eq), true);
    auto value = decoded(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1), true);
    if (!name || !value) return false;
    request.query.emplace_back(std::move(*name), std::move(*value));
  }
  return true;
}

// The request line: METHOD SP target SP HTTP/1.x.
std::optional<Refusal> readRequestLine(std::string_view line, Request& request) {
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
    return Refusal{400, "not a request line"};
  }
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (!isToken(method)) return Refusal{400, "not a method"};
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return version.starts_with("HTTP/") ? Refusal{505, "HTTP/1.1 only"} : Refusal{400, "not a request line"};
  }
  if (std::ranges::any_of(target, [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }) ||
      !readTarget(target, request)) {
    return Refusal{400, "not a path of this server"};
  }
  request.method = method;
  request.keepAlive = version == "HTTP/1.1";
  return std::nullopt;
}

// What the headers say of the body and the connection.
std::optional<Refusal> readFraming(Request& request, const Limits& limits) {
  std::optional<std::string_view> length;
  for (const auto& [name, value] : request.headers) {
    if (name == "transfer-encoding") return Refusal{411, "a body is sent with its length"};
    if (name == "content-length") {
      if (length && *length != value) return Refusal{400, "two lengths"};
      length = value;
    }
  }
  if (length) {
    const auto [end, ec] = std::from_chars(length->data(), length->data() + length->size(), request.bodyLength);
    if (ec != std::errc() || end != length->data() + length->size() || length->empty()) {
      return Refusal{ec == std::errc::result_out_of_range ? 413 : 400, "not a length"};
    }
    if (request.bodyLength > limits.body) return Refusal{413, "the body is too large"};
  }
  if (auto connection = request.header("connection")) {
    for (std::string_view rest = *connection; !rest.empty();) {
      const std::size_t comma = rest.find(',');
      const std::string_view option = trimmed(rest.substr(0, comma));
      if (sameWord(option, "close")) request.keepAlive = false;
      rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
  }
  if (auto expect = request.header("expect")) {
    if (!sameWord(trimmed(*expect), "100-continue")) return Refusal{417, "only 100-continue is expected"};
    request.expectsContinue = true;
  }
  return std::nullopt;
}

const char* reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 417:
      return "Expectation Failed";
    case 421:
      return "Misdirected Request";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return status < 500 ? "Client Error" : "Server Error";
  }
}

}  // namespace

std::optional<std::string_view> Request::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (n == name) return v;
  }
  return std::nullopt;
}

std::optional<std::string_view> Request::param(std::string_view name) const {
  for (const auto& [n, v] : query) {
    if (n == name) return v;
  }
  return std::nullopt;
}

Response Response::text(int status, std::string body) {
  Response r;
  r.status = status;
  r.body = std::move(body) + "\n";
  return r;
}

std::variant<NeedMore, Refusal, Head> parseHead(std::string_view input, const Limits& limits) {
  // Empty lines before a request are passed over (a client may end a body with one); they count
  // towards the head's bound.
  std::size_t at = 0;
  while (at < input.size() && (input[at] == '\r' || input[at] == '\n')) ++at;
  Request request;
  bool first = true;
  for (;;) {
    const std::size_t end = input.find('\n', at);
    if (end == std::string_view::npos) {
      if (first && input.size() - at > limits.requestLine) return Refusal{414, "the request line is too long"};
      if (input.size() > limits.headBytes) return Refusal{431, "the headers are too large"};
      return NeedMore{};
    }
    if (end + 1 > limits.headBytes) return Refusal{431, "the headers are too large"};
    std::string_view line = input.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    at = end + 1;
    if (first) {
      if (line.size() > limits.requestLine) return Refusal{414, "the request line is too long"};
      if (auto refusal = readRequestLine(line, request)) return *refusal;
      first = false;
      continue;
    }
    if (line.empty()) break;
    if (request.headers.size() >= limits.headers) return Refusal{431, "too many headers"};
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return Refusal{400, "not a header"};
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (std::ranges::any_of(value,
                            [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f; })) {
      return Refusal{400, "not a header"};
    }
    std::string name(line.substr(0, colon));
    std::ranges::transform(name, name.begin(), lower);
    request.headers.emplace_back(std::move(name), std::string(value));
  }
  if (auto refusal = readFraming(request, limits)) return *refusal;
  return Head{std::move(request), at};
}

std::string serialize(const Response& response) {
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
  out += "Content-Type: " + response.contentType + "\r\n";
  if (!response.stream) out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  if (response.close || response.stream) out += "Connection: close\r\n";
  for (const auto& [name, value] : response.headers) out.append(name).append(": ").append(value).append("\r\n");
  out += "\r\n";
  out += response.body;
  return out;
}

struct Server::Connection {
  enum class State { kReading, kWriting, kStreaming, kLingering, kClosed };
  int fd = -1;
  State state = State::kReading;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  std::optional<Request> pending;  // a head read, its body awaited
  bool begun = false;              // a request has begun to arrive
  bool peerDone = false;           // the client sends no more
  bool closeAfter = false;
  bool answered = false;    // an answer has been sent on this connection
  bool streaming = false;   // the answer goes on (Response::stream)
  Clock::time_point since;  // of the request, the answer, the idleness or the lingering

  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    state = State::kClosed;
  }
};

Server::Server(Limits limits, Screen screen, Handle handle)
    : limits_(limits), screen_(std::move(screen)), handle_(std::move(handle)) {}

Server::~Server() {
  for (Connection& c : connections_) c.close();
  if (listener_ >= 0) ::close(listener_);
}

int Server::listen(int port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return 0;
  // SO_REUSEADDR lets a new server take a port whose last connections are still closing; it never
  // lets two listen on it at once (that would be SO_REUSEPORT, which this server does not set).
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (port < 0 || port > 65535 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(listener_);
    listener_ = -1;
    return 0;
  }
  return ntohs(address.sin_port);
}

Clock::time_point Server::deadline(const Connection& c) const {
  switch (c.state) {
    case Connection::State::kReading:
      return c.since + (c.begun ? limits_.requestTime : limits_.idleTime);
    case Connection::State::kWriting:
      return c.since + limits_.answerTime;
    case Connection::State::kLingering:
      return c.since + kLingerTime;
    case Connection::State::kStreaming:  // only while the client has not taken what was sent
      return c.out.empty() ? Clock::time_point::max() : c.since + limits_.answerTime;
    case Connection::State::kClosed:
      break;
  }
  return Clock::time_point::max();
}

void Server::expire(Connection& c) {
  if (c.state == Connection::State::kReading && c.begun) {
    Response late = Response::text(408, "the request took too long to arrive");
    late.close = true;
    answer(c, late);
  } else {
    c.close();
  }
}

// The connection given up for a new one: one being closed, then one that has never sent a byte
// (the longest idle first), then the request that has been arriving longest, then a kept-alive
// connection that has been answered before (a client that has shown it is one), then the answer
// that has been waiting longest.
void Server::evictOne() {
  const auto rank = [](const Connection& c) {
    switch (c.state) {
      case Connection::State::kLingering:
        return 0;
      case Connection::State::kReading:
        if (c.begun) return 2;
        return c.answered ? 3 : 1;
      case Connection::State::kStreaming:
        return 3;
      default:
        return 4;
    }
  };
  const auto victim = std::ranges::min_element(connections_, [&rank](const Connection& a, const Connection& b) {
    return std::pair(rank(a), a.since) < std::pair(rank(b), b.since);
  });
  if (victim != connections_.end()) victim->close();
  std::erase_if(connections_, [](const Connection& c) { return c.state == Connection::State::kClosed; });
}

void Server::accept() {
  // A few at a time, so that a connection taken is read from before a flood of new ones can
  // push it out.
  for (std::size_t i = 0; i < std::max<std::size_t>(1, limits_.connections / 4); ++i) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // an answer is not held back
    if (connections_.size() >= limits_.connections) evictOne();
    Connection c;
    c.fd = fd;
    c.since = Clock::now();
    connections_.push_back(std::move(c));
  }
}

void Server::read(Connection& c) {
  const std::size_t cap = limits_.headBytes + limits_.body;
  char buffer[16384];
  while (c.state == Connection::State::kReading || c.state == Connection::State::kLingering ||
         c.state == Connection::State::kStreaming) {
    const bool keep = c.state == Connection::State::kReading;
    const std::size_t room = keep ? std::min(sizeof buffer, cap - std::min(cap, c.in.size())) : sizeof buffer;
    if (room == 0) break;
    const ssize_t n = ::recv(c.fd, buffer, room, 0);
    if (n > 0) {
      if (!keep) continue;
      if (!c.begun) {
        c.begun = true;
        c.since = Clock::now();
      }
      c.in.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !keep) {
      c.close();
      return;
    }
    c.peerDone = true;
    break;
  }
  if (c.state == Connection::State::kReading) advance(c);
}

void Server::write(Connection& c) {
  while (c.sent < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    c.close();
    return;
  }
  c.out.clear();
  c.sent = 0;
  c.answered = true;
  c.since = Clock::now();
  if (c.streaming) {
    c.state = Connection::State::kStreaming;
    return;
  }
  if (c.closeAfter) {
    // Whatever else the client sends is read and dropped until it closes, so that the answer is
    // not lost to a reset; the next request on this connection is never read from those bytes.
    c.in.clear();
    if (c.peerDone) {
      c.close();
      return;
    }
    ::shutdown(c.fd, SHUT_WR);
    c.state = Connection::State::kLingering;
    return;
  }
  c.state = Connection::State::kReading;
  c.begun = !c.in.empty();
}

void Server::answer(Connection& c, const Response& response) {
  if (response.stream) {
    // A few answers go on at once: the one sent to longest ago gives way.
    std::vector<Connection*> streams;
    for (Connection& other : connections_) {
      if (other.streaming && other.state != Connection::State::kClosed) streams.push_back(&other);
    }
    if (streams.size() >= limits_.streams) {
      (*std::ranges::min_element(streams, {}, [](const Connection* s) { return s->since; }))->close();
    }
  }
  c.out = serialize(response);
  c.sent = 0;
  c.streaming = response.stream;
  c.closeAfter = response.close;
  c.state = Connection::State::kWriting;
  c.since = Clock::now();
  write(c);
}

// Takes each whole request from what has arrived, in order, and answers it; one answer is sent
// before the next request is read, so that pipelined requests are answered in their order.
void Server::advance(Connection& c) {
  while (c.state == Connection::State::kReading) {
    if (!c.pending) {
      if (c.in.empty()) {
        c.begun = false;
        if (c.peerDone) c.close();
        return;
      }
      auto head = parseHead(c.in, limits_);
      if (std::holds_alternative<NeedMore>(head)) {
        if (c.peerDone) c.close();
        return;
      }
      if (const auto* refusal = std::get_if<Refusal>(&head)) {
        Response r = Response::text(refusal->status, refusal->why);
        r.close = true;
        answer(c, r);
        return;
      }
      Head& read = std::get<Head>(head);
      c.in.erase(0, read.length);
      if (std::optional<Response> refused = screen_(read.request)) {
        refused->close = true;  // its body, if any, is never read as a request
        answer(c, *refused);
        return;
      }
      c.pending = std::move(read.request);
      if (c.pending->expectsContinue && c.pending->bodyLength > c.in.size()) {
        constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        ::send(c.fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL);  // a client not told sends anyway
      }
    }
    if (c.in.size() < c.pending->bodyLength) {
      if (c.peerDone) c.close();
      return;
    }
    Request request = std::move(*c.pending);
    c.pending.reset();
    request.body = c.in.substr(0, request.bodyLength);
    c.in.erase(0, request.bodyLength);
    Response response = handle_(request);
    if (!request.keepAlive) response.close = true;
    answer(c, response);
  }
}

void Server::push(std::string_view data) {
  for (Connection& c : connections_) {
    if (!c.streaming || (c.state != Connection::State::kStreaming && c.state != Connection::State::kWriting)) continue;
    if (c.out.size() - c.sent + data.size() > limits_.streamBacklog) {
      c.close();  // a client that does not take what it is sent is not sent more
      continue;
    }
    if (c.out.empty()) c.since = Clock::now();
    c.out.append(data);
    write(c);
  }
}

void Server::serve(int stop) {
  std::vector<pollfd> polled;
  for (;;) {
    polled.clear();
    polled.push_back({stop, POLLIN, 0});
    polled.push_back({listener_, POLLIN, 0});
    auto next = Clock::time_point::max();
    for (const Connection& c : connections_) {
      short events = 0;
      if (c.state == Connection::State::kWriting) events = POLLOUT;
      if (c.state == Connection::State::kLingering) events = POLLIN;
      if (c.state == Connection::State::kStreaming) events = static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT));
      // A connection whose buffer is full is not read from until a request is taken from it.
      if (c.state == Connection::State::kReading && c.in.size() < limits_.headBytes + limits_.body) events = POLLIN;
      polled.push_back({c.fd, events, 0});
      next = std::min(next, deadline(c));
    }
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
    }
    if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) return;
    if (polled[0].revents != 0) return;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      Connection& c = connections_[i];
      const short events = polled[i + 2].revents;
      if (events == 0) continue;
      if (c.state == Connection::State::kWriting) {
        write(c);
        if (c.state == Connection::State::kReading) advance(c);
      } else if (c.state == Connection::State::kStreaming && (events & POLLOUT) != 0) {
        write(c);
      } else if (c.state != Connection::State::kClosed) {
        read(c);
      }
    }
    const auto now = Clock::now();
    for (Connection& c : connections_) {
      if (c.state != Connection::State::kClosed && now >= deadline(c)) expire(c);
    }
    std::erase_if(connections_, [](const Connection& c) { return c.state == Connection::State::kClosed; });
    if ((polled[1].revents & POLLIN) != 0) accept();
  }
}

}  // namespace orvane::cli::http
