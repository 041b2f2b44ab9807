// A client of a booted device's door: HTTP/1.1 over its Unix socket, one request a connection, as
// `curl --unix-socket` speaks it. The routes are the live page's and the device's own (docs/devices.md).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::cli::devices {

struct Answer {
  int status = 0;                                            // 0: no answer came (`error` says why)
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  std::string error;
  // Why it is not a 200: the reason no answer came, or the status and what the device said.
  std::string refusal() const { return status == 0 ? error : std::to_string(status) + " " + body; }
};

// Sends one request to the door at `socket` and reads its whole answer, waiting at most `wait` for
// it (a device busy with a long request answers later); `method` is GET or POST, `target` the path
// and query, `body` text/plain lines. A `stop` descriptor (-1: none) that becomes readable ends the
// wait at once, with no answer: a command's Ctrl-C is never held up by a device that is slow to
// answer.
Answer request(const std::string& socket, std::string_view method, const std::string& target,
               const std::string& body = "", std::chrono::milliseconds wait = std::chrono::minutes(10), int stop = -1);

// Reads the answer to a GET of `target` as it goes on (server-sent events): `onData` is given the
// text after each "data: ", until it returns false, the device closes the stream, or `stop` (a
// descriptor, -1 for none) becomes readable. False when the stream could not be opened.
bool follow(const std::string& socket, const std::string& target, const std::function<bool(const std::string&)>& onData,
            int stop, std::string& error);

// A member of a flat JSON object the device answered with: a string's text, or a number's or a
// literal's spelling; nothing when it is not there.
std::optional<std::string> jsonMember(std::string_view object, std::string_view key);

// The items of a JSON array, each as its JSON (a string still quoted); none for anything else.
std::vector<std::string> jsonItems(std::string_view array);
// A JSON string's text; nothing when `json` is not one string.
std::optional<std::string> jsonText(std::string_view json);

// Text as a query parameter's value (percent-encoded).
std::string queryValue(std::string_view text);

}  // namespace orvane::cli::devices
