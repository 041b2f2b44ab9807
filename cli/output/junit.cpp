#include "cli/output/junit.h"

#include <cstdio>
#include <ctime>

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

JunitReport::JunitReport() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  timestamp_ = text;
}

void JunitReport::add(const std::string& file, int status, int expectations, const std::vector<std::string>& failures,
                      double s, std::string output) {
  cases_.push_back(Case{file, status, expectations, failures, s, std::move(output)});
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
         std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" time=\"" + seconds(total) +
         "\" timestamp=\"" + timestamp_ + "\">\n";
  for (const Case& c : cases_) {
    out += "    <testcase classname=\"scenario\" name=\"" + xmlText(c.file) + "\" time=\"" + seconds(c.seconds) + "\"";
    if (c.status == 0 && c.output.empty()) {
      out += "/>\n";
      continue;
    }
    out += ">\n";
    if (c.status != 0) {
      std::string details;
      for (const std::string& f : c.failures) details += f + "\n";
      const std::string element = c.status == 1 ? "failure" : "error";
      const std::string message = c.failures.empty() ? "failed" : c.failures.front();
      out.append("      <").append(element).append(" message=\"").append(xmlText(message)).append("\">");
      out.append(xmlText(details)).append("</").append(element).append(">\n");
    }
    if (!c.output.empty()) out.append("      <system-out>").append(xmlText(c.output)).append("</system-out>\n");
    out += "    </testcase>\n";
  }
  return out + "  </testsuite>\n</testsuites>\n";
}

}  // namespace orvane::cli
