#include "cli/devices/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace orvane::cli::devices {

namespace {

using Clock = std::chrono::steady_clock;

// A connection to the door; -1 with `error` said when there is none.
int connectTo(const std::string& socket, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket.size() >= sizeof address.sun_path) {
    error = socket + ": the path is too long for a socket";
    return -1;
  }
  socket.copy(address.sun_path, socket.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = "cannot reach the device at " + socket + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string requestText(std::string_view method, const std::string& target, const std::string& body) {
  std::string out = std::string(method) + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
  if (method == "POST") {
    out += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return out + "\r\n" + body;
}

// The status and headers of an answer's head (up to its blank line); false when it is not one.
bool readHead(std::string_view head, Answer& answer) {
  const std::size_t lineEnd = head.find("\r\n");
  const std::string_view status = head.substr(0, lineEnd);
  if (!status.starts_with("HTTP/1.") || status.size() < 12) return false;
  const std::string_view code = status.substr(9, 3);
  if (std::from_chars(code.data(), code.data() + code.size(), answer.status).ptr != code.data() + code.size()) {
    return false;
  }
  std::size_t at = lineEnd + 2;
  while (at < head.size()) {
    std::size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view line = head.substr(at, end - at);
    if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
      std::string name(line.substr(0, colon));
      for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      answer.headers.emplace_back(std::move(name), std::string(value));
    }
    at = end + 2;
  }
  return answer.status > 0;
}

}  // namespace

Answer request(const std::string& socket, std::string_view method, const std::string& target, const std::string& body,
               std::chrono::milliseconds wait, int stop) {
  Answer answer;
  const int fd = connectTo(socket, answer.error);
  if (fd < 0) return answer;
  std::string in;
  if (!sendAll(fd, requestText(method, target, body))) {
    answer.error = "the device closed its door before the request was sent";
  } else {
    // The device closes the connection once it has answered.
    const auto deadline = Clock::now() + wait;
    char buffer[65536];
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
      const int ready = left <= 0 ? 0 : ::poll(p, stop >= 0 ? 2 : 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        answer.error = "the device did not answer in time";
        break;
      }
      if (stop >= 0 && p[1].revents != 0) {
        answer.error = "stopped";
        break;
      }
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      in.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  const std::size_t headEnd = in.find("\r\n\r\n");
  if (answer.error.empty() &&
      (headEnd == std::string::npos || !readHead(std::string_view(in).substr(0, headEnd), answer))) {
    answer.error = "the device's answer was cut short";
  }
  if (!answer.error.empty()) {
    answer.status = 0;
    return answer;
  }
  answer.body = in.substr(headEnd + 4);
  return answer;
}

bool follow(const std::string& socket, const std::string& target, const std::function<bool(const std::string&)>& onData,
            int stop, std::string& error) {
  const int fd = connectTo(socket, error);
  if (fd < 0) return false;
  if (!sendAll(fd, requestText("GET", target, ""))) {
    ::close(fd);
    error = "the device closed its door";
    return false;
  }
  std::string in;
  bool headRead = false;
  char buffer[4096];
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(p, stop >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (stop >= 0 && p[1].revents != 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.append(buffer, static_cast<std::size_t>(n));
    if (!headRead) {
      const std::size_t headEnd = in.find("\r\n\r\n");
      if (headEnd == std::string::npos) continue;
      Answer answer;
      if (!readHead(std::string_view(in).substr(0, headEnd), answer) || answer.status != 200) {
        error = "the device refused the stream (" + std::to_string(answer.status) + ")";
        ::close(fd);
        return false;
      }
      in.erase(0, headEnd + 4);
      headRead = true;
    }
    std::size_t end = 0;
    bool going = true;
    while (going && (end = in.find('\n')) != std::string::npos) {
      const std::string line = in.substr(0, end);
      in.erase(0, end + 1);
      if (line.starts_with("data: ")) going = onData(line.substr(6));
    }
    if (!going) break;
  }
  ::close(fd);
  return headRead;
}

namespace {

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Four hex digits at `at`; nothing when they are not.
std::optional<std::uint32_t> hex4(std::string_view s, std::size_t at) {
  if (at + 4 > s.size()) return std::nullopt;
  std::uint32_t code = 0;
  const auto [end, ec] = std::from_chars(s.data() + at, s.data() + at + 4, code, 16);
  if (ec != std::errc() || end != s.data() + at + 4) return std::nullopt;
  return code;
}

// The JSON string that opens at `at` (a '"'), read into `text`; where it ends (its closing '"'),
// or npos when it does not end.
std::size_t readString(std::string_view s, std::size_t at, std::string& text) {
  for (std::size_t j = at + 1; j < s.size(); ++j) {
    if (s[j] == '"') return j;
    if (s[j] != '\\') {
      text += s[j];
      continue;
    }
    if (++j >= s.size()) break;
    switch (s[j]) {
      case 'n':
        text += '\n';
        break;
      case 't':
        text += '\t';
        break;
      case 'r':
        text += '\r';
        break;
      case 'b':
        text += '\b';
        break;
      case 'f':
        text += '\f';
        break;
      case 'u': {
        std::optional<std::uint32_t> code = hex4(s, j + 1);
        if (!code) return std::string_view::npos;
        j += 4;
        if (*code >= 0xD800 && *code < 0xDC00 && s.substr(j + 1, 2) == "\\u") {
          if (const auto low = hex4(s, j + 3); low && *low >= 0xDC00 && *low < 0xE000) {
            code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
            j += 6;
          }
        }
        appendUtf8(text, *code);
        break;
      }
      default:
        text += s[j];
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::optional<std::string> jsonMember(std::string_view object, std::string_view key) {
  // The device's answers are objects it wrote itself: the member is found at depth 1.
  int depth = 0;
  bool expectKey = false;
  for (std::size_t i = 0; i < object.size(); ++i) {
    const char c = object[i];
    if (c == '{' || c == '[') {
      ++depth;
      expectKey = c == '{' && depth == 1;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 1) {
      expectKey = true;
    } else if (c == '"') {
      std::string text;
      const std::size_t end = readString(object, i, text);
      if (end == std::string_view::npos) return std::nullopt;
      i = end;
      if (!expectKey || depth != 1) continue;
      expectKey = false;
      std::size_t k = object.find_first_not_of(' ', end + 1);
      if (text != key || k == std::string_view::npos || object[k] != ':') continue;
      k = object.find_first_not_of(' ', k + 1);
      if (k == std::string_view::npos) return std::nullopt;
      if (object[k] == '"') {
        std::string value;
        if (readString(object, k, value) == std::string_view::npos) return std::nullopt;
        return value;
      }
      if (object[k] != '[' && object[k] != '{')
        return std::string(object.substr(k, object.find_first_of(",}]", k) - k));
      // An array or an object: its JSON, whole.
      int inner = 0;
      for (std::size_t j = k; j < object.size(); ++j) {
        std::string skipped;
        if (object[j] == '"') j = readString(object, j, skipped);
        if (j == std::string_view::npos) return std::nullopt;
        inner += object[j] == '[' || object[j] == '{' ? 1 : object[j] == ']' || object[j] == '}' ? -1 : 0;
        if (inner == 0) return std::string(object.substr(k, j + 1 - k));
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::vector<std::string> jsonItems(std::string_view array) {
  std::vector<std::string> items;
  if (array.empty() || array.front() != '[') return items;
  int depth = 0;
  std::size_t start = 1;
  for (std::size_t j = 0; j < array.size(); ++j) {
    std::string skipped;
    if (array[j] == '"') j = readString(array, j, skipped);
    if (j == std::string_view::npos) return {};
    const char c = array[j];
    if (c == '[' || c == '{') ++depth;
    const bool end = (c == ']' || c == '}') && --depth == 0;
    if ((c == ',' && depth == 1) || end) {
      const std::string_view item = array.substr(start, j - start);
      if (item.find_first_not_of(' ') != std::string_view::npos) items.emplace_back(item);
      start = j + 1;
    }
    if (end) break;
  }
  return items;
}

std::optional<std::string> jsonText(std::string_view json) {
  std::string text;
  if (json.empty() || json.front() != '"' || readString(json, 0, text) != json.size() - 1) return std::nullopt;
  return text;
}

std::string queryValue(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '_' ||
        u == '.' || u == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

}  // namespace orvane::cli::devices
