#include "cli/http/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace orvane::cli::http {
namespace {

int statusOf(const std::variant<NeedMore, Refusal, Head>& parsed) {
  if (const auto* refusal = std::get_if<Refusal>(&parsed)) return refusal->status;
  return std::holds_alternative<Head>(parsed) ? 200 : 0;
}

TEST(HttpHead, ReadsTheRequestItsQueryAndItsHeaders) {
  const std::string input =
      "\r\nPOST /api/act%2Fx?since=12&token=a%20b+c&flag HTTP/1.1\r\nHost: 127.0.0.1:80\r\n"
      "X-Orvane-Token:  t0k \t\r\ncontent-length: 3\nConnection: keep-alive, Close\r\n\r\nabcGET";
  const auto parsed = parseHead(input, Limits{});
  ASSERT_TRUE(std::holds_alternative<Head>(parsed));
  const Head& head = std::get<Head>(parsed);
  EXPECT_EQ(input.substr(head.length), "abcGET") << "the head ends at its blank line, the body is not in it";
  EXPECT_EQ(head.request.method, "POST");
  EXPECT_EQ(head.request.path, "/api/act/x");
  EXPECT_EQ(head.request.param("since"), "12");
  EXPECT_EQ(head.request.param("token"), "a b c");
  EXPECT_EQ(head.request.param("flag"), "");
  EXPECT_EQ(head.request.header("x-orvane-token"), "t0k");
  EXPECT_EQ(head.request.bodyLength, 3U);
  EXPECT_FALSE(head.request.keepAlive);
  EXPECT_FALSE(head.request.header("cookie").has_value());
}

TEST(HttpHead, WaitsForTheHeadWhileItMayStillBeWithinTheLimits) {
  const std::string whole = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(statusOf(parseHead(whole.substr(0, n), Limits{})), 0) << n;
  }
  EXPECT_EQ(statusOf(parseHead(whole, Limits{})), 200);
}

TEST(HttpHead, RefusesWhatIsTooLargeAsSoonAsItIsTooLarge) {
  Limits limits;
  limits.requestLine = 64;
  limits.headBytes = 256;
  limits.headers = 4;
  limits.body = 100;
  // A request line past its bound is refused before its end arrives, and so is a head.
  EXPECT_EQ(statusOf(parseHead("GET /" + std::string(64, 'a'), limits)), 414);
  EXPECT_EQ(statusOf(parseHead("GET / HTTP/1.1\r\nHost: h\r\nX: " + std::string(300, 'a'), limits)), 431);
  std::string many = "GET / HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 5; ++i) many += "X: 1\r\n";
  EXPECT_EQ(statusOf(parseHead(many + "\r\n", limits)), 431);
  // Blank lines before a request count towards the head.
  EXPECT_EQ(statusOf(parseHead(std::string(300, '\n'), limits)), 431);
  // The body's bound holds however it is framed: a length past it, or no length at all.
  EXPECT_EQ(statusOf(parseHead("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 101\r\n\r\n", limits)), 413);
  EXPECT_EQ(
      statusOf(parseHead("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 99999999999999999999999\r\n\r\n", limits)),
      413);
  EXPECT_EQ(statusOf(parseHead("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n", limits)), 411);
  EXPECT_EQ(statusOf(parseHead("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\n", limits)), 200);
}

TEST(HttpHead, RefusesWhatIsNotWellFormed) {
  for (const char* bad :
       {"GET /\r\n\r\n", "GET  / HTTP/1.1\r\nHost: h\r\n\r\n", "GET http://x/ HTTP/1.1\r\nHost: h\r\n\r\n",
        "GET /a b HTTP/1.1\r\nHost: h\r\n\r\n", "G(T / HTTP/1.1\r\nHost: h\r\n\r\n",
        "GET /%zz HTTP/1.1\r\nHost: h\r\n\r\n", "GET /%00 HTTP/1.1\r\nHost: h\r\n\r\n",
        "GET /%4 HTTP/1.1\r\nHost: h\r\n\r\n", "GET / HTTP/1.1\r\nHost: h\r\nNo colon\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: h\r\nX : 1\r\n\r\n", "GET / HTTP/1.1\r\nHost: h\r\n folded: 1\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: h\r\nX: a\rb\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1x\r\n\r\n"}) {
    EXPECT_EQ(statusOf(parseHead(bad, Limits{})), 400) << bad;
  }
  EXPECT_EQ(statusOf(parseHead("GET / HTTP/2.0\r\n\r\n", Limits{})), 505);
  EXPECT_EQ(statusOf(parseHead("GET / HTTP/1.1\r\nHost: h\r\nExpect: 200-ok\r\n\r\n", Limits{})), 417);
  // The same length twice is one length.
  EXPECT_EQ(
      statusOf(parseHead("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n", Limits{})),
      200);
}

// HTTP/1.1 names one host (RFC 9112, 3.2), every Connection header counts, and only an HTTP/1.1
// client is told to go on with its body (RFC 9110, 10.1.1).
TEST(HttpHead, HoldsToTheStandardsOfHostConnectionAndContinue) {
  EXPECT_EQ(statusOf(parseHead("GET / HTTP/1.1\r\n\r\n", Limits{})), 400);
  EXPECT_EQ(statusOf(parseHead("GET / HTTP/1.1\r\nHost: a\r\nHost: a\r\n\r\n", Limits{})), 400);
  EXPECT_EQ(statusOf(parseHead("GET / HTTP/1.0\r\n\r\n", Limits{})), 200);
  const auto closing =
      parseHead("GET / HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n", Limits{});
  ASSERT_TRUE(std::holds_alternative<Head>(closing));
  EXPECT_FALSE(std::get<Head>(closing).request.keepAlive);
  const auto old = parseHead("POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", Limits{});
  ASSERT_TRUE(std::holds_alternative<Head>(old));
  EXPECT_FALSE(std::get<Head>(old).request.expectsContinue);
  // Every answer, a refusal as much as a page, is neither kept nor sniffed.
  const std::string refusal = serialize(Response::text(400, "no"));
  EXPECT_NE(refusal.find("\r\nCache-Control: no-store\r\n"), std::string::npos);
  EXPECT_NE(refusal.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos);
}

// A connection to the loopback port; `window` makes its receive buffer that small.
int connectTo(int port, int window = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (window > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// A server on a free port in a thread of its own, with small limits, that answers every request
// with its path and body; ended (and joined) when the test ends.
class LiveServer {
 public:
  explicit LiveServer(Limits limits)
      : server_(
            limits,
            [](const Request& r) -> Screening {
              if (r.path == "/refused") return {.refusal = Response::text(403, "refused")};
              return {.proven = r.header("x-token") == "t"};
            },
            [this](const Request& r) {
              ++handled_;
              if (r.path == "/big") return Response::text(200, std::string(1 << 20, 'x'));
              return Response::text(200, r.method + " " + r.path + " " + r.body);
            }) {
    port_ = server_.listen(0);
    EXPECT_EQ(::pipe(stop_), 0);
    thread_ = std::thread([this] { server_.serve(stop_[0]); });
  }
  ~LiveServer() {
    EXPECT_EQ(::write(stop_[1], "x", 1), 1);
    thread_.join();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  [[nodiscard]] int connect(int window = 0) const { return connectTo(port_, window); }
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] int handled() const { return handled_; }

 private:
  Server server_;
  int port_ = 0;
  int stop_[2] = {-1, -1};
  std::atomic<int> handled_ = 0;
  std::thread thread_;
};

void send(int fd, const std::string& text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Everything the server sends until it closes the connection, or until `wait` passes with nothing.
std::string received(int fd, int wait = 3000) {
  std::string out;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, wait) == 1) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

TEST(HttpServer, AnswersPipelinedRequestsInTheirOrder) {
  LiveServer server{Limits{}};
  const int fd = server.connect();
  send(fd,
       "GET /one HTTP/1.1\r\nHost: h\r\n\r\nPOST /two HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabcGET /three "
       "HTTP/1.1\r\nHost: h\r\n"
       "Connection: close\r\n\r\nGET /never HTTP/1.1\r\nHost: h\r\n\r\n");
  const std::string answers = received(fd);
  const std::size_t one = answers.find("GET /one");
  const std::size_t two = answers.find("POST /two abc");
  const std::size_t three = answers.find("GET /three");
  EXPECT_TRUE(one < two && two < three && three != std::string::npos) << answers;
  EXPECT_EQ(answers.find("/never"), std::string::npos) << "nothing is read past a request that closes";
  ::close(fd);
}

TEST(HttpServer, NeverReadsARefusedRequestsBodyAsTheNextRequest) {
  LiveServer server{Limits{}};
  const int fd = server.connect();
  send(fd, "POST /refused HTTP/1.1\r\nHost: h\r\nContent-Length: 22\r\n\r\n");
  const std::string refusal = received(fd, 500);
  EXPECT_TRUE(refusal.starts_with("HTTP/1.1 403 Forbidden\r\n")) << refusal;
  EXPECT_NE(refusal.find("Connection: close\r\n"), std::string::npos);
  send(fd, "GET /body HTTP/1.1\r\nHost: h\r\n\r\n");  // the body, which reads as a request
  EXPECT_EQ(received(fd), "");
  EXPECT_EQ(server.handled(), 0);
  ::close(fd);
}

TEST(HttpServer, GivesARequestAWholeTimeNotATimePerByte) {
  Limits limits;
  limits.requestTime = std::chrono::milliseconds(300);
  LiveServer server{limits};
  const int slow = server.connect();
  const auto start = std::chrono::steady_clock::now();
  std::string answer;
  for (const char c : std::string("GET /slow HTTP/1.1\r\nHost: h\r\n\r\n")) {
    if (::send(slow, &c, 1, MSG_NOSIGNAL) != 1) break;
    answer += received(slow, 100);
    if (!answer.empty()) break;
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 408 ")) << answer;
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(server.handled(), 0);
  ::close(slow);
}

TEST(HttpServer, HoldsAFewConnectionsAndGivesUpTheLongestIdleForANewOne) {
  Limits limits;
  limits.connections = 4;
  LiveServer server{limits};
  std::vector<int> silent;
  silent.reserve(12);
  for (int i = 0; i < 12; ++i) silent.push_back(server.connect());
  // A real request among them is answered, and only the last few silent ones are still held.
  const int fd = server.connect();
  send(fd, "GET /real HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(received(fd, 1000).find("GET /real"), std::string::npos);
  int closed = 0;
  for (const int s : silent) {
    char c = 0;
    pollfd p{s, POLLIN, 0};
    // Given up on a bound: closed with a reset, nothing left queued for it.
    if (::poll(&p, 1, 0) == 1) {
      const ssize_t n = ::recv(s, &c, 1, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) ++closed;
    }
    ::close(s);
  }
  EXPECT_GE(closed, 12 - 3);
  ::close(fd);
}

// The bytes the kernel still holds to send on the connections of the loopback port `port`, as
// /proc/net/tcp counts them (its tx_queue column), whoever holds the socket now.
std::size_t unsentBytes(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  std::size_t held = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (std::stoi(local.substr(local.find(':') + 1), nullptr, 16) != port) continue;
    held += std::stoul(queues.substr(0, queues.find(':')), nullptr, 16);
  }
  return held;
}

// A client that asks and never reads: once the answer's bound has passed, the server has given the
// connection up and nothing of its answers is left queued in the kernel, and the kernel took no
// more than its small send buffer meanwhile.
TEST(HttpServer, LeavesNothingQueuedForAClientItGaveUpOn) {
  Limits limits;
  limits.answerTime = std::chrono::milliseconds(300);
  LiveServer server{limits};
  const int fd = server.connect(4096);
  std::string asks;
  for (int i = 0; i < 8; ++i) asks += "GET /big HTTP/1.1\r\nHost: h\r\n\r\n";
  send(fd, asks);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_LT(unsentBytes(server.port()), std::size_t{256} << 10) << "the kernel holds past the send buffer";
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(unsentBytes(server.port()), 0U);
  ::close(fd);
}

// Clients that never give the token, however many and however busy, never push out the user's own:
// a kept-alive connection a request with the token came on, an answer that goes on, a request
// whose head has arrived. Tokenless clients give way to each other instead.
TEST(HttpServer, ClientsWithoutTheTokenNeverPushOutTheUsersOwn) {
  Limits limits;
  limits.connections = 8;
  int stop[2];
  ASSERT_EQ(::pipe(stop), 0);
  std::atomic<int> posts = 0;
  Server server(
      limits, [](const Request& r) { return Screening{.proven = r.header("x-token") == "t"}; },
      [&posts](const Request& r) {
        if (r.path == "/stream") {
          Response open = Response::text(200, "open");
          open.stream = true;
          return open;
        }
        if (r.method == "POST") ++posts;
        return Response::text(200, r.path + " " + r.body);
      });
  const int port = server.listen(0);
  std::thread thread([&] { server.serve(stop[0]); });
  const int kept = connectTo(port);
  send(kept, "GET /mine HTTP/1.1\r\nHost: h\r\nX-Token: t\r\n\r\n");
  EXPECT_NE(received(kept, 300).find("/mine"), std::string::npos);
  const int stream = connectTo(port);
  send(stream, "GET /stream HTTP/1.1\r\nHost: h\r\nX-Token: t\r\n\r\n");
  EXPECT_NE(received(stream, 300).find("open"), std::string::npos);
  const int press = connectTo(port);
  send(press, "POST /press HTTP/1.1\r\nHost: h\r\nX-Token: t\r\nContent-Length: 4\r\n\r\n");
  // The flood: connections that ask for a file without the token, keep alive, and come again.
  constexpr std::string_view kAsk = "GET /live.js HTTP/1.1\r\nHost: h\r\n\r\n";
  std::vector<int> flood;
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 8; ++i) {
      const int fd = connectTo(port);
      send(fd, std::string(kAsk));
      flood.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (const int fd : flood) ::send(fd, kAsk.data(), kAsk.size(), MSG_NOSIGNAL);  // given up or not
  }
  send(press, "body");
  EXPECT_NE(received(press, 500).find("/press body"), std::string::npos) << "the press whose head had arrived";
  EXPECT_EQ(posts, 1);
  send(kept, "GET /again HTTP/1.1\r\nHost: h\r\nX-Token: t\r\n\r\n");
  EXPECT_NE(received(kept, 300).find("/again"), std::string::npos) << "the user's kept-alive connection";
  char c = 0;
  EXPECT_EQ(::recv(stream, &c, 1, MSG_DONTWAIT), -1) << "the stream is still open";
  EXPECT_EQ(errno, EAGAIN);
  for (const int fd : flood) ::close(fd);
  ::close(kept);
  ::close(stream);
  ::close(press);
  ASSERT_EQ(::write(stop[1], "x", 1), 1);
  thread.join();
  ::close(stop[0]);
  ::close(stop[1]);
}

TEST(HttpServer, AnswersAHeadTooLargeAndDropsTheRestUnread) {
  Limits limits;
  limits.headBytes = 1024;
  LiveServer server{limits};
  const int fd = server.connect();
  std::string bomb = "GET /bomb HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 200; ++i) bomb += "X-Header: value\r\n";
  send(fd, bomb);
  const std::string answer = received(fd, 1000);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 431 ")) << answer;
  EXPECT_EQ(server.handled(), 0);
  ::close(fd);
}

TEST(HttpServer, SendsWhatIsPushedOnAnswersThatGoOnAndDropsClientsThatDoNotTakeIt) {
  Limits limits;
  limits.streams = 2;
  limits.streamBacklog = 1 << 16;
  Server* served = nullptr;
  int stop[2];
  ASSERT_EQ(::pipe(stop), 0);
  Server server(
      limits, [](const Request&) { return Screening{.proven = true}; },
      [&served](const Request& r) {
        if (r.path == "/stream") {
          Response open = Response::text(200, "open");
          open.stream = true;
          return open;
        }
        served->push(r.body);
        return Response::text(200, "pushed");
      });
  served = &server;
  const int port = server.listen(0);
  std::thread thread([&] { server.serve(stop[0]); });
  const auto connect = [port](int window = 0) { return connectTo(port, window); };
  const int first = connect();
  send(first, "GET /stream HTTP/1.1\r\nHost: h\r\n\r\n");
  const std::string head = received(first, 300);
  EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << "an answer that goes on has no length";
  // Two more streams: the oldest (the first) gives way.
  const int second = connect(4096);  // a small window: what it does not take waits at the server
  send(second, "GET /stream HTTP/1.1\r\nHost: h\r\n\r\n");
  const int third = connect();
  send(third, "GET /stream HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(received(second, 300).find("open"), std::string::npos);
  EXPECT_NE(received(third, 300).find("open"), std::string::npos);
  const int pusher = connect();
  send(pusher, "POST /push HTTP/1.1\r\nHost: h\r\nContent-Length: 6\r\n\r\nhello\n");
  EXPECT_NE(received(pusher, 300).find("pushed"), std::string::npos);
  EXPECT_EQ(received(second, 300), "hello\n");
  EXPECT_EQ(received(first, 300), "") << "the first stream was closed";
  // A client that never reads is closed once what waits for it passes the backlog.
  const int chunk = 16000;
  const int pushes = 500;
  for (int i = 0; i < pushes; ++i) {
    send(pusher, "POST /push HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(chunk) + "\r\n\r\n" +
                     std::string(chunk, 'x'));
    std::string answer;
    char reply[4096];
    pollfd q{pusher, POLLIN, 0};
    while (answer.find("pushed") == std::string::npos && ::poll(&q, 1, 2000) == 1) {
      const ssize_t n = ::recv(pusher, reply, sizeof reply, 0);
      if (n <= 0) break;
      answer.append(reply, static_cast<std::size_t>(n));
    }
    received(third, 0);  // the third takes everything; the second takes nothing
  }
  pollfd p{second, POLLIN, 0};
  std::string rest;
  char buffer[65536];
  while (::poll(&p, 1, 500) == 1) {
    const ssize_t n = ::recv(second, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    rest.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_LT(rest.size(), std::size_t{pushes} * chunk) << "the stream that did not read was closed on the way";
  EXPECT_EQ(::write(stop[1], "x", 1), 1);
  thread.join();
  for (const int fd : {first, second, third, pusher, stop[0], stop[1]}) ::close(fd);
}

// The local door: its socket is 0600 from the start, its requests are marked local, and a peer that
// is not its owner is closed at once, unanswered. A process forked while the server runs (as the
// real runtime starts one) holds none of its sockets: once the server is gone, its door refuses.
TEST(HttpServer, TheLocalDoorIsItsOwnersAlone) {
  const std::string path = "/tmp/orvane-door-test-" + std::to_string(::getpid()) + ".sock";
  ::unlink(path.c_str());
  const auto reach = [&path] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
  };
  for (const bool owner : {true, false}) {
    pid_t child = -1;
    {
      int stop[2];
      ASSERT_EQ(::pipe(stop), 0);
      Server server(
          Limits{}, [](const Request&) { return Screening{}; },
          [&child](const Request& r) {
            child = ::fork();
            if (child == 0) {
              ::sleep(2);
              ::_exit(0);
            }
            return Response::text(200, r.local ? "local" : "network");
          });
      ASSERT_EQ(server.listenLocal(path, owner ? ::getuid() : ::getuid() + 1), 0);
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600U);
      EXPECT_EQ(server.listenLocal(path, ::getuid()), EADDRINUSE) << "one door a path";
      std::thread thread([&] { server.serve(stop[0]); });
      const int fd = reach();
      ASSERT_GE(fd, 0);
      // The server may have closed a stranger's connection before the request goes out; then
      // the send itself fails, which is also being answered nothing.
      const std::string request = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
      const ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      if (owner || sent >= 0) {
        ASSERT_EQ(sent, static_cast<ssize_t>(request.size()));
      } else {
        EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
      }
      const std::string answer = received(fd, 1000);
      if (owner) {
        EXPECT_NE(answer.find("\r\n\r\nlocal"), std::string::npos) << answer;
      } else {
        EXPECT_EQ(answer, "") << "another user's client is answered nothing";
      }
      EXPECT_EQ(::write(stop[1], "x", 1), 1);
      thread.join();
      for (const int each : {fd, stop[0], stop[1]}) ::close(each);
    }
    if (owner) {
      const int late = reach();
      EXPECT_LT(late, 0) << "a forked process kept the door open after the server had gone";
      if (late >= 0) ::close(late);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
    ::unlink(path.c_str());
  }
}

}  // namespace
}  // namespace orvane::cli::http
