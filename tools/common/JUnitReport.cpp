#include "JUnitReport.h"

#include <cstdint>
#include <cstdio>

namespace KestrovaTools {

namespace {

// Escapes for XML content and double-quoted attribute values alike; a line
// break in an attribute is kept by reference, so the message reads back whole.
std::string Escaped(const std::string& text, bool inAttribute) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += inAttribute ? "&quot;" : "\"";
        continue;
      case '\n':
        out += inAttribute ? "&#10;" : "\n";
        continue;
      case '\r':
        out += "&#13;";
        continue;
      case '\t':
        out += inAttribute ? "&#9;" : "\t";
        continue;
      default:
        break;
    }
    // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are not XML characters either.
    const bool nonCharacter = byte == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                              (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE;
    if (byte < 0x20 || nonCharacter) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X",
                    nonCharacter ? 0xFFFEu | (static_cast<unsigned char>(text[i + 2]) & 1u) : byte);
      out += escape;
      if (nonCharacter) i += 2;
      continue;
    }
    out += static_cast<char>(byte);
  }
  return out;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds < 0 ? 0.0 : seconds);
  return text;
}

struct Counts {
  size_t tests = 0;
  size_t failures = 0;
  size_t errors = 0;
  void Add(const JUnitCase& testCase) {
    ++tests;
    failures += testCase.outcome == JUnitCase::Outcome::Failed;
    errors += testCase.outcome == JUnitCase::Outcome::Error;
  }
  std::string Attributes() const {
    return " tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\" errors=\"" +
           std::to_string(errors) + "\"";
  }
};

}  // namespace

std::string JUnitReport::Document(const std::string& toolName, const std::vector<JUnitSuite>& suites) {
  Counts total;
  double totalSeconds = 0;
  std::string body;
  for (const JUnitSuite& suite : suites) {
    Counts counts;
    for (const JUnitCase& testCase : suite.cases) counts.Add(testCase);
    total.tests += counts.tests;
    total.failures += counts.failures;
    total.errors += counts.errors;
    totalSeconds += suite.seconds;
    body += "  <testsuite name=\"" + Escaped(suite.name, true) + "\"" + counts.Attributes() + " time=\"" +
            Seconds(suite.seconds) + "\">\n";
    for (const JUnitCase& testCase : suite.cases) {
      body += "    <testcase name=\"" + Escaped(testCase.name, true) + "\" classname=\"" + Escaped(suite.name, true) +
              "\" time=\"" + Seconds(testCase.seconds) + "\"";
      if (testCase.outcome == JUnitCase::Outcome::Passed) {
        body += "/>\n";
        continue;
      }
      const char* element = testCase.outcome == JUnitCase::Outcome::Failed ? "failure" : "error";
      body += ">\n      <" + std::string(element) + " message=\"" + Escaped(testCase.message, true) + "\">" +
              Escaped(testCase.details, false) + "</" + element + ">\n    </testcase>\n";
    }
    body += "  </testsuite>\n";
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + Escaped(toolName, true) + "\"" +
         total.Attributes() + " time=\"" + Seconds(totalSeconds) + "\">\n" + body + "</testsuites>\n";
}

}  // namespace KestrovaTools
