// The text rules of property lists that the trace and the command's outputs share with the
// codec: UTF-8 and the XML spelling of dates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::sim::formats {

bool isValidUtf8(std::string_view s);
// The length of the valid UTF-8 sequence that starts at s[at] (1 for an ASCII byte); 0 when the
// bytes there are not one.
std::size_t utf8SequenceAt(std::string_view s, std::size_t at);

// A finite real in the fewest decimal digits that read back as the same double ("0.1", "1e+300",
// "3"): the digits the text form, XML and JSON each spell their own way around.
std::string shortestDecimal(double d);

// The escapes the text form of strings and JSON share: \" \\ \n \t \r appended for their byte;
// false, with nothing appended, for any other byte.
inline bool appendSharedEscape(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\t':
      out += "\\t";
      return true;
    case '\r':
      out += "\\r";
      return true;
    default:
      return false;
  }
}
// Appends the UTF-8 form of a code point (which must be a Unicode scalar value).
void appendUtf8(std::string& out, std::uint32_t codePoint);

// A date as XML spells it, "2001-01-01T00:00:00Z" (shorter forms such as "2001Z" read too), in
// seconds since 2001-01-01; a fraction is dropped when writing, as the platform's writer drops it.
std::optional<double> parseXmlDate(std::string_view text);
std::optional<std::string> formatXmlDate(double seconds);

// Dates as the XML form spells them: whole seconds since 2001-01-01, years 1 to 9999.
inline constexpr double kFirstXmlDate = -63113904000.0;  // 0001-01-01T00:00:00Z
inline constexpr double kLastXmlDate = 252423993599.0;   // 9999-12-31T23:59:59Z

}  // namespace orvane::sim::formats
