// The results of a run as JUnit XML, which CI systems read: one test suite, one test case per
// scenario file, its failures as one failure element.
#pragma once

#include <string>
#include <vector>

namespace orvane::cli {

class JunitReport {
 public:
  // The run starts now: the suite's timestamp.
  JunitReport();
  // status: 0 held, 1 an expectation failed, 2 the file could not be run to its end; `output`, the
  // file's trace (JUnit's captured output).
  void add(const std::string& file, int status, int expectations, const std::vector<std::string>& failures,
           double seconds, std::string output = "");
  std::string xml(double seconds) const;

 public:
  struct Case {
    std::string file;
    int status;
    int expectations;
    std::vector<std::string> failures;
    double seconds;
    std::string output;
  };
  const std::vector<Case>& cases() const { return cases_; }

 private:
  std::string timestamp_;
  std::vector<Case> cases_;
};

// Text as XML character data or an attribute value: markup escaped, characters XML cannot hold
// (control characters, bytes that are not UTF-8) as U+FFFD.
std::string xmlText(const std::string& text);

}  // namespace orvane::cli
