// A JUnit XML report, the form CI systems read: one <testsuite> per test
// file, one <testcase> per case, a failing case with its <failure>, a case
// or file that could not be run with its <error>.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace KestrovaTools {

struct JUnitCase {
  enum class Outcome { Passed, Failed, Error };
  std::string name;  // UTF-8
  Outcome outcome = Outcome::Passed;
  std::string message;  // the first line: the failure attribute
  std::string details;  // the whole report: the element's text
  double seconds = 0;
};

struct JUnitSuite {
  std::string name;  // UTF-8: the test file as given
  std::vector<JUnitCase> cases;
  double seconds = 0;
};

class JUnitReport {
 public:
  // The document, UTF-8; texts that XML 1.0 cannot hold (control
  // characters, U+FFFE, U+FFFF) are written as \uXXXX.
  static std::string Document(const std::string& toolName, const std::vector<JUnitSuite>& suites);
};

}  // namespace KestrovaTools
