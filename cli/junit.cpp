#include "cli/junit.h"

#include <cstdio>

#include "sim/plist/text.h"

namespace orvane::cli {

namespace {
std::string seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", s);
  return buf;
}
}  // namespace

std::string xmlText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = sim::formats::utf8SequenceAt(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    // Control characters other than tab and line ends, U+FFFE and U+FFFF are no XML 1.0 characters.
    const bool control = length == 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r';
    const bool nonCharacter = length == 3 && c == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                              static_cast<unsigned char>(text[i + 2]) >= 0xBE;
    if (control || nonCharacter) {
      out += "\xEF\xBF\xBD";
    } else if (length > 1) {
      out += text.substr(i, length);
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += static_cast<char>(c);
    }
    i += length;
  }
  return out;
}

void JunitReport::add(const std::string& file, int status, int expectations, const std::vector<std::string>& failures,
                      double s) {
  cases_.push_back(Case{file, status, expectations, failures, s});
}

std::string JunitReport::xml(double total) const {
  int failures = 0;
  int errors = 0;
  for (const Case& c : cases_) {
    failures += c.status == 1 ? 1 : 0;
    errors += c.status == 2 ? 1 : 0;
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
  out += "  <testsuite name=\"orvane-sim\" tests=\"" + std::to_string(cases_.size()) + "\" failures=\"" +
         std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" time=\"" + seconds(total) + "\">\n";
  for (const Case& c : cases_) {
    out += "    <testcase classname=\"scenario\" name=\"" + xmlText(c.file) + "\" time=\"" + seconds(c.seconds) + "\"";
    if (c.status == 0) {
      out += "/>\n";
      continue;
    }
    std::string details;
    for (const std::string& f : c.failures) details += f + "\n";
    const std::string element = c.status == 1 ? "failure" : "error";
    const std::string message = c.failures.empty() ? "failed" : c.failures.front();
    out.append(">\n      <").append(element).append(" message=\"").append(xmlText(message)).append("\">");
    out.append(xmlText(details)).append("</").append(element).append(">\n    </testcase>\n");
  }
  return out + "  </testsuite>\n</testsuites>\n";
}

}  // namespace orvane::cli
