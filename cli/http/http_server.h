// A small HTTP/1.1 server for the live device: one thread, non-blocking sockets, and a bound on
// everything a client can make it hold (connections, the request line, the headers, the body, the
// time a request may take to arrive and an answer to leave). A slow or silent client holds one
// connection of a few, never a thread; a request that cannot be answered is answered with its
// status and its connection closed, so that nothing of it is read as the next request.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orvane::cli::http {

// Descriptors a process this one forks without exec (the real runtime's processes) must not hold:
// a socket held there would keep a client waiting for a close the server made, a lock held there
// would outlive its owner. They are closed in the child as it starts (pthread_atfork). The server
// keeps its own sockets here; the program may add its own.
void closeInForkedChildren(int fd);
void keepInForkedChildren(int fd);  // it is closed, or belongs to a child no more

struct Limits {
  std::size_t requestLine = 8192;  // the method, the target and the version
  std::size_t headBytes = 16384;   // the request line and every header, with their line ends
  std::size_t headers = 64;
  std::size_t body = 16384;
  std::size_t connections = 64;                 // past this, one is given up for a new one
  std::chrono::milliseconds requestTime{5000};  // from a request's first byte to its last
  std::chrono::milliseconds answerTime{10000};  // for an answer to be taken by the client
  std::chrono::milliseconds idleTime{30000};    // a kept-alive connection with nothing asked
  std::size_t streams = 8;                      // answers that go on; past this the one sent to longest ago is closed
  std::size_t streamBacklog = 65536;            // bytes a stream's client has not taken; past this it is closed
};

struct Request {
  std::string method;
  std::string path;  // without the query, percent-decoded
  std::vector<std::pair<std::string, std::string>> query;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, values trimmed
  std::string body;
  bool keepAlive = true;
  bool http11 = true;  // HTTP/1.1 (else 1.0): only such a client is sent 100 Continue
  bool expectsContinue = false;
  std::size_t bodyLength = 0;
  // It came through the local door (a Unix socket whose peer was this server's own user), not
  // the network's.
  bool local = false;

  // The value of the first header of that (lower-case) name, or of the query's parameter.
  [[nodiscard]] std::optional<std::string_view> header(std::string_view name) const;
  [[nodiscard]] std::optional<std::string_view> param(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool close = false;  // the connection ends after this answer
  // The answer goes on: its head (without a length) and body now, then whatever `Server::push`
  // sends, until either side closes (server-sent events).
  bool stream = false;

  static Response text(int status, std::string body);
};

// The head of a request read from the start of `input`: the request (without its body) and how
// many bytes the head took; a refusal (a status, after which the connection is closed); or
// nothing yet, when the head has not all arrived and may still be within the limits.
struct NeedMore {};
struct Refusal {
  int status;
  std::string why;
};
struct Head {
  Request request;
  std::size_t length;
};
std::variant<NeedMore, Refusal, Head> parseHead(std::string_view input, const Limits& limits);

// The answer's bytes on the wire.
std::string serialize(const Response& response);

// What the screen says of a request whose head has arrived: refused, with the answer (the connection
// is then closed, the request's body never read); or let through, and whether it proved its client
// (gave the token). A connection on which a request proved its client is the user's: it is never
// given up for one that has not.
struct Screening {
  std::optional<Response> refusal = std::nullopt;
  bool proven = false;
};

class Server {
 public:
  // `screen` sees each request once its head is read, before its body. `handle` answers a request
  // that passed.
  using Screen = std::function<Screening(const Request&)>;
  using Handle = std::function<Response(const Request&)>;

  Server(Limits limits, Screen screen, Handle handle);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1:`port` (0: a free port) as well; the port, or 0 when it cannot be had
  // (one server a port: the address is never shared with another listener). May be called while
  // the server serves (from a handler): the door opens at the next wake.
  int listen(int port);
  // Listens on a Unix socket at `path` as well, made with mode 0600, whose every connection is
  // asked its peer's user and closed at once unless that is `owner`; its requests are `local`.
  // The system's errno when it cannot (0: it listens). The path must not exist.
  int listenLocal(const std::string& path, unsigned owner);
  // Closes the network door that listen() gave `port` (the connections it took stay).
  void closeDoor(int port);
  // Serves until `stop` (a descriptor) becomes readable, or a handler calls finish().
  void serve(int stop);
  // serve() returns once the answers of this wake are given.
  void finish() { finished_ = true; }
  // Sends `data` on every answer that goes on (see `Response::stream`).
  void push(std::string_view data);

 private:
  struct Connection;
  struct Listener {
    int fd;
    int port;  // 0 for the local door
  };
  void accept(const Listener& listener);
  // Makes room for `newcomer` (read once already) when the server holds too many: false when
  // nothing may give way to it, and it is to be closed instead.
  bool makeRoomFor(const Connection& newcomer);
  void read(Connection& c);
  void write(Connection& c);
  void advance(Connection& c);
  void answer(Connection& c, const Response& response);
  [[nodiscard]] std::chrono::steady_clock::time_point deadline(const Connection& c) const;
  void expire(Connection& c);

  Limits limits_;
  Screen screen_;
  Handle handle_;
  std::vector<Listener> listeners_;
  unsigned owner_ = 0;  // the local door's user
  bool finished_ = false;
  std::vector<Connection> connections_;
};

}  // namespace orvane::cli::http
