#include "platform/nslog.h"

namespace orvane::platform {

std::string formatLog(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  const auto* next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    char conversion = format[++i];
    if (conversion == 's' || conversion == '@') {
      if (next != args.end()) {
        out += *next++;
      } else {
        out += "(null)";
      }
    } else if (conversion == '%') {
      out += '%';
    } else {
      out += '%';
      out += conversion;
    }
  }
  return out;
}

}  // namespace orvane::platform
