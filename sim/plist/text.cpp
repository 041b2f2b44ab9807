// The text rules of property lists that the trace and the command's outputs share with the
// codec: UTF-8, and the XML spelling of dates on the proleptic Gregorian calendar.
#include "sim/plist/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace orvane::sim::formats {

std::string shortestDecimal(double d) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, ec == std::errc() ? end : buf);
}

namespace {

// Days from 0001-01-01 to a date of the proleptic Gregorian calendar, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;  // days since 1970-01-01
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};
Civil civilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

constexpr std::int64_t kDays1970To2001 = 11323;

}  // namespace

// "YYYY[-MM[-DD[THH[:MM[:SS]]]]]Z", as the platform's and Python's readers accept it.
std::optional<double> parseXmlDate(std::string_view s) {
  int parts[6] = {0, 1, 1, 0, 0, 0};
  const char separators[6] = {0, '-', '-', 'T', ':', ':'};
  std::size_t i = 0;
  int n = 0;
  for (; n < 6; ++n) {
    if (n > 0) {
      if (i >= s.size() || s[i] != separators[n]) break;
      ++i;
    }
    const std::size_t digits = n == 0 ? 4 : 2;
    if (i + digits > s.size()) return std::nullopt;
    int v = 0;
    for (std::size_t k = 0; k < digits; ++k) {
      const char c = s[i + k];
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + (c - '0');
    }
    parts[n] = v;
    i += digits;
  }
  if (n == 0 || i + 1 != s.size() || s[i] != 'Z') return std::nullopt;
  const int year = parts[0];
  const auto month = static_cast<unsigned>(parts[1]);
  const auto day = static_cast<unsigned>(parts[2]);
  if (year < 1 || month < 1 || month > 12 || day < 1 || parts[3] > 23 || parts[4] > 59 || parts[5] > 59) {
    return std::nullopt;
  }
  static constexpr unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kMonthDays[month - 1] || (month == 2 && day == 29 && !leap)) return std::nullopt;
  const std::int64_t days = daysFromCivil(year, month, day) - kDays1970To2001;
  return static_cast<double>(days * 86400 + std::int64_t{parts[3]} * 3600 + std::int64_t{parts[4]} * 60 + parts[5]);
}

std::optional<std::string> formatXmlDate(double seconds) {
  if (!(seconds >= kFirstXmlDate && std::floor(seconds) <= kLastXmlDate)) return std::nullopt;
  // The XML form has whole seconds: a fraction is dropped, as the platform's writer drops it.
  const auto whole = static_cast<std::int64_t>(std::floor(seconds));
  std::int64_t days = whole / 86400;
  std::int64_t rest = whole % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const Civil c = civilFromDays(days + kDays1970To2001);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(c.year), c.month,
                c.day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return std::string(buf);
}

bool isValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0u) == 0xC0) {
      extra = 1;
      cp = c & 0x1Fu;
    } else if ((c & 0xF0u) == 0xE0) {
      extra = 2;
      cp = c & 0x0Fu;
    } else if ((c & 0xF8u) == 0xF0) {
      extra = 3;
      cp = c & 0x07u;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;  // cut short
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0u) != 0x80) return false;
      cp = (cp << 6u) | (cc & 0x3Fu);
    }
    // Overlong forms, surrogates and values past Unicode are not text.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::size_t utf8SequenceAt(std::string_view s, std::size_t at) {
  const auto c = static_cast<unsigned char>(s[at]);
  const std::size_t length = c < 0x80              ? 1
                             : (c & 0xE0u) == 0xC0 ? 2
                             : (c & 0xF0u) == 0xE0 ? 3
                             : (c & 0xF8u) == 0xF0 ? 4
                                                   : 0;
  if (length <= 1) return length;
  return at + length <= s.size() && isValidUtf8(s.substr(at, length)) ? length : 0;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0u | (cp >> 6u));
    out += static_cast<char>(0x80u | (cp & 0x3Fu));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0u | (cp >> 12u));
    out += static_cast<char>(0x80u | ((cp >> 6u) & 0x3Fu));
    out += static_cast<char>(0x80u | (cp & 0x3Fu));
  } else {
    out += static_cast<char>(0xF0u | (cp >> 18u));
    out += static_cast<char>(0x80u | ((cp >> 12u) & 0x3Fu));
    out += static_cast<char>(0x80u | ((cp >> 6u) & 0x3Fu));
    out += static_cast<char>(0x80u | (cp & 0x3Fu));
  }
}

}  // namespace orvane::sim::formats
