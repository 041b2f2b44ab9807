// NSLog's formatting of the few conversions the extension's log lines use.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace orvane::platform {

// ANSI colour on and off, the two C-string arguments around every log line's text.
inline constexpr std::string_view kColorOn = "\x1b[1;35m";
inline constexpr std::string_view kColorOff = "\x1b[0m";

// Each "%s" or "%@" takes the next argument as given (objects already described, see describe());
// "%%" is a percent sign. A conversion without an argument prints "(null)".
std::string formatLog(std::string_view format, std::initializer_list<std::string_view> args);

}  // namespace orvane::platform
