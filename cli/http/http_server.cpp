#include "cli/http/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>

namespace orvane::cli::http {

namespace {

using Clock = std::chrono::steady_clock;

// How long a connection being closed is read from and what is read thrown away, so that an
// answer given before the request's end reaches the client instead of being lost to a reset.
constexpr std::chrono::milliseconds kLingerTime{2000};

// What the kernel may hold of a connection's answer that its client has not taken (the kernel
// doubles it, for its own bookkeeping): past it the server holds the rest, where its bounds see it.
constexpr int kSendBuffer = 32 * 1024;

// The descriptors closed in a forked child. The child has one thread, the one that forked: the
// set is read there as the forking thread left it.
std::set<int>& forkClosed() {
  static std::set<int> fds;
  return fds;
}

void closeForkClosed() {
  for (const int fd : forkClosed()) ::close(fd);
  forkClosed().clear();
}

}  // namespace

void closeInForkedChildren(int fd) {
  static std::once_flag registered;
  std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, closeForkClosed); });
  if (fd >= 0) forkClosed().insert(fd);
}

void keepInForkedChildren(int fd) { forkClosed().erase(fd); }

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
  bool answered = false;     // an answer has been sent on this connection
  bool streaming = false;    // the answer goes on (Response::stream)
  bool proven = false;       // a request on it gave the token: the user's
  bool headArrived = false;  // a request's head has arrived and is not yet answered
  bool local = false;        // taken at the local door
  Clock::time_point since;   // of the request, the answer, the idleness or the lingering

  void close() {
    if (fd >= 0) {
      keepInForkedChildren(fd);
      ::close(fd);
    }
    fd = -1;
    state = State::kClosed;
  }
  // A close on one of the server's bounds: what the client has not taken is thrown away with the
  // connection (a reset), rather than left queued in the kernel against a client that never reads.
  void abort() {
    if (fd >= 0) {
      const linger now{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    close();
  }
};

Server::Server(Limits limits, Screen screen, Handle handle)
    : limits_(limits), screen_(std::move(screen)), handle_(std::move(handle)) {}

Server::~Server() {
  for (Connection& c : connections_) c.close();
  for (const Listener& l : listeners_) {
    keepInForkedChildren(l.fd);
    ::close(l.fd);
  }
}

int Server::listen(int port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) return 0;
  // SO_REUSEADDR lets a new server take a port whose last connections are still closing; it never
  // lets two listen on it at once (that would be SO_REUSEPORT, which this server does not set).
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (port < 0 || port > 65535 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, SOMAXCONN) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(listener);
    return 0;
  }
  closeInForkedChildren(listener);
  listeners_.push_back({listener, ntohs(address.sin_port)});
  return listeners_.back().port;
}

int Server::listenLocal(const std::string& path, unsigned owner) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  path.copy(address.sun_path, path.size());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) return errno;
  // Made 0600 from the start: no moment in which another user could connect.
  const mode_t before = ::umask(0177);
  const bool bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const int error = errno;
  ::umask(before);
  if (!bound || ::listen(listener, SOMAXCONN) != 0) {
    const int why = bound ? errno : error;
    ::close(listener);
    if (bound) ::unlink(path.c_str());
    return why;
  }
  owner_ = owner;
  closeInForkedChildren(listener);
  listeners_.push_back({listener, 0});
  return 0;
}

void Server::closeDoor(int port) {
  std::erase_if(listeners_, [port](const Listener& l) {
    if (l.port != port || port == 0) return false;
    keepInForkedChildren(l.fd);
    ::close(l.fd);
    return true;
  });
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
    c.abort();
  }
}

// Room for a new connection, once it has been read. What may give way: never a connection that is
// the user's (proven; unless its client has closed it), an answer that goes on, or a request whose
// head has arrived; of the others,
// one being closed first, then a kept-alive connection idle since its last answer (a client that
// has taken what it asked for), then one that has never sent a byte, then a request still arriving;
// the longest in that state first. A newcomer that has proven nothing gives way to none of the
// user's own; one that has proven its client may take the place of the user's idle connection.
bool Server::makeRoomFor(const Connection& newcomer) {
  const auto rank = [](const Connection& c) -> int {
    if (c.streaming || c.headArrived) return -1;
    if (c.proven) {
      // The user's idle connection that its client has already closed (the server has not read its
      // end yet) holds nobody: it goes first. Only these are looked at, so a flood costs no more.
      char byte = 0;
      const bool idle = c.state == Connection::State::kReading && !c.begun;
      return idle && ::recv(c.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0 ? 0 : -1;
    }
    switch (c.state) {
      case Connection::State::kLingering:
        return 0;
      case Connection::State::kReading:
        if (c.begun) return 3;
        return c.answered ? 1 : 2;
      default:
        return -1;
    }
  };
  Connection* victim = nullptr;
  int victimRank = 0;
  for (Connection& c : connections_) {
    if (&c == &newcomer || c.state == Connection::State::kClosed) continue;
    const int r = rank(c);
    if (r >= 0 && (victim == nullptr || std::pair(r, c.since) < std::pair(victimRank, victim->since))) {
      victim = &c;
      victimRank = r;
    }
  }
  if (victim == nullptr && newcomer.proven) {
    for (Connection& c : connections_) {
      const bool idle = c.state == Connection::State::kReading && !c.begun && !c.streaming && !c.headArrived;
      if (&c != &newcomer && idle && (victim == nullptr || c.since < victim->since)) victim = &c;
    }
  }
  if (victim == nullptr) return false;
  victim->abort();
  return true;
}

void Server::accept(const Listener& listener) {
  // Each is read as it is taken, so that what it has sent ranks it before another can push it out;
  // and many are taken at a time, so that under a flood of new connections the kernel's queue of
  // them drains, and a client's connection waits behind the flood for a moment, not for seconds.
  for (std::size_t i = 0; i < std::max<std::size_t>(1, limits_.connections * 4); ++i) {
    const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const bool local = listener.port == 0;
    if (local) {
      // The local door is its user's alone: the kernel says who the peer is.
      ucred peer{};
      socklen_t size = sizeof peer;
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != owner_) {
        ::close(fd);
        continue;
      }
    } else {
      const int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // an answer is not held back
    }
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    closeInForkedChildren(fd);
    Connection c;
    c.fd = fd;
    c.local = local;
    c.since = Clock::now();
    connections_.push_back(std::move(c));
    Connection& taken = connections_.back();
    read(taken);
    std::size_t open = 0;
    for (const Connection& each : connections_) open += each.state != Connection::State::kClosed ? 1 : 0;
    if (open > limits_.connections && taken.state != Connection::State::kClosed && !makeRoomFor(taken)) taken.abort();
    std::erase_if(connections_, [](const Connection& each) { return each.state == Connection::State::kClosed; });
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
  c.headArrived = false;
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
      (*std::ranges::min_element(streams, {}, [](const Connection* s) { return s->since; }))->abort();
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
      read.request.local = c.local;
      Screening screening = screen_(read.request);
      if (screening.refusal) {
        screening.refusal->close = true;  // its body, if any, is never read as a request
        answer(c, *screening.refusal);
        return;
      }
      c.proven = c.proven || screening.proven;
      c.headArrived = true;
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
      c.abort();  // a client that does not take what it is sent is not sent more
      continue;
    }
    if (c.out.empty()) c.since = Clock::now();
    c.out.append(data);
    write(c);
  }
}

void Server::serve(int stop) {
  std::vector<pollfd> polled;
  while (!finished_) {
    polled.clear();
    polled.push_back({stop, POLLIN, 0});
    // A handler may open or close a door while these are looked at: the doors polled are these.
    const std::vector<Listener> doors = listeners_;
    for (const Listener& door : doors) polled.push_back({door.fd, POLLIN, 0});
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
      const short events = polled[i + 1 + doors.size()].revents;
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
    for (std::size_t i = 0; i < doors.size(); ++i) {
      const bool open = std::ranges::any_of(listeners_, [&](const Listener& l) { return l.fd == doors[i].fd; });
      if (open && (polled[1 + i].revents & POLLIN) != 0) accept(doors[i]);
    }
  }
}

}  // namespace orvane::cli::http
