// NSLog's formatting of the few conversions the extension's log lines use.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace orvane::platform {

// Each "%s" or "%@" takes the next argument as given (objects already described, see describe());
// "%%" is a percent sign. A conversion without an argument prints "(null)".
std::string formatLog(std::string_view format, std::initializer_list<std::string_view> args);

}  // namespace orvane::platform
