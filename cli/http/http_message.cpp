// The messages of the live server: a request's head read within its bounds, and an answer's bytes.
#include <algorithm>
#include <charconv>

#include "cli/http/http_server.h"

namespace orvane::cli::http {

namespace {

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
  request.http11 = version == "HTTP/1.1";
  request.keepAlive = request.http11;
  return std::nullopt;
}

// What the headers say of the body and the connection. An HTTP/1.1 request names one host, no
// more and no fewer (RFC 9112, 3.2).
std::optional<Refusal> readFraming(Request& request, const Limits& limits) {
  std::optional<std::string_view> length;
  int hosts = 0;
  for (const auto& [name, value] : request.headers) {
    if (name == "transfer-encoding") return Refusal{411, "a body is sent with its length"};
    if (name == "host") ++hosts;
    if (name == "content-length") {
      if (length && *length != value) return Refusal{400, "two lengths"};
      length = value;
    }
  }
  if (hosts > 1) return Refusal{400, "two hosts"};
  if (hosts == 0 && request.http11) return Refusal{400, "no host"};
  if (length) {
    const auto [end, ec] = std::from_chars(length->data(), length->data() + length->size(), request.bodyLength);
    if (ec != std::errc() || end != length->data() + length->size() || length->empty()) {
      return Refusal{ec == std::errc::result_out_of_range ? 413 : 400, "not a length"};
    }
    if (request.bodyLength > limits.body) return Refusal{413, "the body is too large"};
  }
  // Every Connection header's options, each a comma-separated list.
  for (const auto& [name, value] : request.headers) {
    if (name != "connection") continue;
    for (std::string_view rest = value; !rest.empty();) {
      const std::size_t comma = rest.find(',');
      const std::string_view option = trimmed(rest.substr(0, comma));
      if (sameWord(option, "close")) request.keepAlive = false;
      rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
  }
  if (auto expect = request.header("expect")) {
    if (!sameWord(trimmed(*expect), "100-continue")) return Refusal{417, "only 100-continue is expected"};
    // An HTTP/1.0 client is never sent 100 Continue (RFC 9110, 10.1.1): it sends its body anyway.
    request.expectsContinue = request.http11;
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
  // Nothing this server answers is to be kept or read as another type, a refusal no more than a page.
  out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
  if (!response.stream) out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  if (response.close || response.stream) out += "Connection: close\r\n";
  for (const auto& [name, value] : response.headers) out.append(name).append(": ").append(value).append("\r\n");
  out += "\r\n";
  out += response.body;
  return out;
}

}  // namespace orvane::cli::http
