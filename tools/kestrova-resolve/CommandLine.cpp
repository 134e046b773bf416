#include "CommandLine.h"

#include "ToolError.h"

namespace KestrovaResolve {

using KestrovaTools::kExitUsage;
using KestrovaTools::ToolError;

namespace {

OutputFormat ParseFormat(const std::wstring& value) {
  if (value == L"tree") return OutputFormat::Tree;
  if (value == L"xml") return OutputFormat::Xml;
  throw ToolError(kExitUsage, L"unknown format '" + value + L"' (expected tree or xml)");
}

}  // namespace

const wchar_t* CommandLine::UsageText() {
  return L"usage: kestrova-resolve RULES SOURCE [--format tree|xml]\n"
         L"       kestrova-resolve --check RULES [--strict]\n"
         L"       kestrova-resolve --test FILE... [--update] [--junit FILE]\n"
         L"  RULES   node text file; its first node lists the activity entries as children\n"
         L"  SOURCE  node text file; its first node is the source node\n"
         L"  --format tree  the frames as an indented list (default)\n"
         L"  --format xml   the frame container as node text\n"
         L"  --check   check RULES without running them: every problem the module would fail on,\n"
         L"            at Initialize or when a resolution reaches it, and warnings, one line each:\n"
         L"            PATH: SETTING-OR-NODE: error 0xHRESULT: TEXT  or  ...: warning: TEXT\n"
         L"  --strict  with --check: warnings fail the check too\n"
         L"  --test    run the cases of each test file (node text, first node of type \"RuleTests\")\n"
         L"            and compare their frames with the expected ones; the last line is\n"
         L"            N passed, M failed\n"
         L"  --update  with --test: record the actual frames as the expected ones of every\n"
         L"            failing or new case, keeping the rest of each file as it is\n"
         L"  --junit FILE  with --test: also write a JUnit XML report to FILE\n"
         L"exit status: 0 success, 1 the module returned a failure, 2 usage or input file error;\n"
         L"  with --check: 0 no problem (warnings alone), 1 problems (or warnings with --strict),\n"
         L"  2 usage or input file error;\n"
         L"  with --test: 0 every case passed (or, with --update, was recorded), 1 a case failed,\n"
         L"  2 usage error or a test file or input that cannot be read or is malformed\n";
}

CommandLine CommandLine::Parse(const std::vector<std::wstring>& arguments) {
  CommandLine commandLine;
  std::vector<std::wstring> files;
  bool formatGiven = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      commandLine.helpRequested = true;
      return commandLine;
    }
    if (argument == L"--check" || argument == L"--strict" || argument == L"--test" || argument == L"--update") {
      bool& flag = argument == L"--check"    ? commandLine.check
                   : argument == L"--strict" ? commandLine.strict
                   : argument == L"--test"   ? commandLine.test
                                             : commandLine.testOptions.update;
      if (flag) throw ToolError(kExitUsage, argument + L" given more than once");
      flag = true;
      continue;
    }
    if (argument == L"--junit" || argument.starts_with(L"--junit=")) {
      if (commandLine.testOptions.junitPath) throw ToolError(kExitUsage, L"--junit given more than once");
      if (argument == L"--junit" && i + 1 == arguments.size())
        throw ToolError(kExitUsage, L"--junit needs a file name");
      commandLine.testOptions.junitPath = argument == L"--junit" ? arguments[++i] : argument.substr(8);
      if (commandLine.testOptions.junitPath->empty()) throw ToolError(kExitUsage, L"--junit needs a file name");
      continue;
    }
    std::wstring formatValue;
    if (argument == L"--format") {
      if (i + 1 == arguments.size()) throw ToolError(kExitUsage, L"--format needs a value: tree or xml");
      formatValue = arguments[++i];
    } else if (argument.starts_with(L"--format=")) {
      formatValue = argument.substr(9);
    } else if (argument.size() > 1 && argument.front() == L'-') {
      throw ToolError(kExitUsage, L"unknown option '" + argument + L"'");
    } else {
      files.push_back(argument);
      continue;
    }
    if (formatGiven) throw ToolError(kExitUsage, L"--format given more than once");
    formatGiven = true;
    commandLine.format = ParseFormat(formatValue);
  }
  const bool testOption = commandLine.testOptions.update || commandLine.testOptions.junitPath;
  if (commandLine.test) {
    if (commandLine.check) throw ToolError(kExitUsage, L"--check does not go with --test");
    if (commandLine.strict) throw ToolError(kExitUsage, L"--strict goes with --check only");
    if (formatGiven) throw ToolError(kExitUsage, L"--format does not go with --test");
    if (files.empty()) throw ToolError(kExitUsage, L"--test needs at least one test FILE");
    commandLine.testOptions.files = std::move(files);
    return commandLine;
  }
  if (testOption) {
    throw ToolError(kExitUsage, std::wstring(commandLine.testOptions.update ? L"--update" : L"--junit") +
                                    L" goes with --test only");
  }
  if (commandLine.check) {
    if (formatGiven) throw ToolError(kExitUsage, L"--format does not go with --check");
    if (files.size() != 1) {
      throw ToolError(kExitUsage, files.empty() ? L"--check needs a RULES file"
                                                : L"--check takes one RULES file, not '" + files[1] + L"'");
    }
    commandLine.rulesPath = files[0];
    return commandLine;
  }
  if (commandLine.strict) throw ToolError(kExitUsage, L"--strict goes with --check only");
  if (files.size() != 2) {
    throw ToolError(kExitUsage, files.size() < 2 ? L"RULES and SOURCE files are required"
                                                 : L"too many arguments: '" + files[2] + L"'");
  }
  commandLine.rulesPath = files[0];
  commandLine.sourcePath = files[1];
  return commandLine;
}

}  // namespace KestrovaResolve
