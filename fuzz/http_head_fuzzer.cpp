// The live server's reading of a request head, on any bytes, under its own limits and under tight
// ones that fuzz-sized inputs reach. A head is never accepted past its bounds (its bytes, its
// request line, its count of headers) nor longer than the input; the server never waits for more
// once the bound is reached; what follows an accepted head never changes it; and nothing is read
// past the input (the input is a buffer of its own size, which the address sanitizer guards).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/http/http_server.h"

namespace {

using namespace orvane::cli::http;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "http_head_fuzzer: %s\n", what);
  std::abort();
}

Limits tight() {
  Limits limits;
  limits.requestLine = 48;
  limits.headBytes = 160;
  limits.headers = 4;
  limits.body = 64;
  return limits;
}

void check(std::string_view input, const Limits& limits) {
  const auto result = parseHead(input, limits);
  if (std::holds_alternative<NeedMore>(result)) {
    if (input.size() > limits.headBytes) broken("waits for more past the head's bound");
    return;
  }
  const Head* head = std::get_if<Head>(&result);
  if (head == nullptr) return;
  if (head->length > input.size()) broken("a head longer than its input");
  if (head->length > limits.headBytes) broken("a head past its bound");
  if (head->request.headers.size() > limits.headers) broken("more headers than the bound");
  if (head->request.bodyLength > limits.body) broken("a body past its bound");
  if (head->request.path.empty() || head->request.path.front() != '/') broken("a path that is not one");
  // The head ends where it says: the same bytes followed by anything read to the same head.
  const std::string longer = std::string(input) + "GET / HTTP/1.1\r\n";
  const auto again = parseHead(longer, limits);
  const Head* same = std::get_if<Head>(&again);
  if (same == nullptr || same->length != head->length || same->request.headers != head->request.headers) {
    broken("what follows a head changed it");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A buffer of exactly the input's size: a read past it is a heap overflow the sanitizer reports.
  const std::vector<char> bytes(data, data + size);
  const std::string_view input(bytes.data(), bytes.size());
  check(input, Limits());
  check(input, tight());
  return 0;
}
