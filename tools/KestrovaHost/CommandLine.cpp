#include "CommandLine.h"

#include "ToolError.h"

#include <array>

namespace KestrovaHost {

using KestrovaTools::kExitUsage;
using KestrovaTools::ToolError;

namespace {

uint32_t ParseMilliseconds(const std::wstring& text) {
  uint64_t value = 0;
  bool valid = !text.empty() && text.size() <= 9;
  for (const wchar_t c : text) valid = valid && c >= L'0' && c <= L'9';
  if (valid) {
    for (const wchar_t c : text) value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (!valid || value > CommandLine::kMaxSettleMs) {
    throw ToolError(kExitUsage, L"--settle needs a number of milliseconds from 0 to " +
                                    std::to_wstring(CommandLine::kMaxSettleMs) + L", not '" + text + L"'");
  }
  return static_cast<uint32_t>(value);
}

// The options that take a value, and where it goes.
struct ValueOption {
  const wchar_t* name;
  std::optional<std::wstring> CommandLine::*target;
};

constexpr std::array kFileOptions{
    ValueOption{L"--store", &CommandLine::storePath},
    ValueOption{L"--settings", &CommandLine::settingsPath},
    ValueOption{L"--changes", &CommandLine::changesPath},
    ValueOption{L"--frames-out", &CommandLine::framesOutPath},
    ValueOption{L"--save-store", &CommandLine::saveStorePath},
    ValueOption{L"--show-pending", &CommandLine::showPendingPath},
    ValueOption{L"--check-settings", &CommandLine::checkSettingsPath},
};

// Splits "--name=value"; returns the name alone otherwise.
std::wstring OptionName(const std::wstring& argument) {
  const size_t equals = argument.find(L'=');
  return equals == std::wstring::npos ? argument : argument.substr(0, equals);
}

}  // namespace

const wchar_t* CommandLine::UsageText() {
  return L"usage: kestrova-host [--store FILE] [--settings FILE] [--changes FILE] [--frames-out FILE]\n"
         L"                     [--save-store FILE] [--settle MS] [--service-fails] [--quiet]\n"
         L"       kestrova-host --show-pending FILE\n"
         L"       kestrova-host --check-settings FILE [--strict]\n"
         L"       kestrova-host --test FILE... [--update] [--junit FILE] [--settle MS]\n"
         L"  With no option, runs the embedded demo: a store, maintainer settings and a change script.\n"
         L"  --store FILE        the configuration store to start from (node text); only read\n"
         L"  --settings FILE     node text file; its first node is the maintainer's settings node\n"
         L"  --changes FILE      node text file; its first node's children are the change steps\n"
         L"                      (Write, Delete, Notify, Wait); without it, no steps run unless\n"
         L"                      the whole demo runs\n"
         L"  --frames-out FILE   write the frames the service received as node text\n"
         L"  --save-store FILE   save the store as it stands after shutdown\n"
         L"  --settle MS         wait after the last step before Shutdown (default 3000)\n"
         L"  --service-fails     the usage-statistics service refuses every request (0x80004005)\n"
         L"  --quiet             print the summary only, not the delivered frames\n"
         L"  --show-pending FILE print the frames waiting in a transient storage file and its\n"
         L"                      checkpoints, in the order a start restores them\n"
         L"  --check-settings FILE  check a maintainer settings node (the file's first node) and the\n"
         L"                      rules of its entries without loading the module: one line per\n"
         L"                      problem or warning; exit 0 without problems, 1 with problems\n"
         L"  --strict            with --check-settings: warnings fail the check too\n"
         L"  --test FILE...      run the scenarios of each test file (node text, first node of type\n"
         L"                      \"HostTests\") and compare the frames the service receives with the\n"
         L"                      expected ones; the last line is N passed, M failed\n"
         L"  --update            with --test: record the received frames as the expected ones of\n"
         L"                      every failing or new scenario, keeping the rest of each file\n"
         L"  --junit FILE        with --test: also write a JUnit XML report to FILE\n"
         L"                      (with --test, --settle is the wait of scenarios without \"SettleMs\")\n"
         L"exit status: 0 success, 1 the module failed Configure or Shutdown (or the host failed),\n"
         L"             2 usage error or an unreadable or malformed input file;\n"
         L"  with --test: 0 every scenario passed (or, with --update, was recorded), 1 one failed,\n"
         L"             2 usage error or a test file or input that cannot be read or is malformed\n";
}

CommandLine CommandLine::Parse(const std::vector<std::wstring>& arguments) {
  CommandLine commandLine;
  bool settleGiven = false;
  bool anyRunOption = false;
  bool anyTestOption = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      commandLine.helpRequested = true;
      return commandLine;
    }
    const std::wstring name = OptionName(argument);
    const bool inlineValue = name.size() != argument.size();
    const auto takeValue = [&]() -> std::wstring {
      if (inlineValue) return argument.substr(name.size() + 1);
      if (i + 1 == arguments.size()) throw ToolError(kExitUsage, name + L" needs a value");
      return arguments[++i];
    };

    if (name == L"--test" || name == L"--update") {
      if (inlineValue) throw ToolError(kExitUsage, name + L" takes no value");
      bool& flag = name == L"--test" ? commandLine.test : commandLine.testOptions.update;
      if (flag) throw ToolError(kExitUsage, name + L" given more than once");
      flag = true;
      anyTestOption = anyTestOption || name == L"--update";
      continue;
    }
    if (name == L"--junit") {
      if (commandLine.testOptions.junitPath) throw ToolError(kExitUsage, L"--junit given more than once");
      commandLine.testOptions.junitPath = takeValue();
      if (commandLine.testOptions.junitPath->empty()) throw ToolError(kExitUsage, L"--junit needs a file name");
      anyTestOption = true;
      continue;
    }
    if (name == L"--strict") {
      if (inlineValue) throw ToolError(kExitUsage, name + L" takes no value");
      if (commandLine.strict) throw ToolError(kExitUsage, name + L" given more than once");
      commandLine.strict = true;
      continue;
    }
    if (name == L"--service-fails" || name == L"--quiet") {
      if (inlineValue) throw ToolError(kExitUsage, name + L" takes no value");
      bool& flag = name == L"--quiet" ? commandLine.quiet : commandLine.serviceFails;
      if (flag) throw ToolError(kExitUsage, name + L" given more than once");
      flag = true;
      anyRunOption = true;
      continue;
    }
    if (name == L"--settle") {
      if (settleGiven) throw ToolError(kExitUsage, L"--settle given more than once");
      settleGiven = true;
      anyRunOption = true;
      commandLine.settleMs = ParseMilliseconds(takeValue());
      continue;
    }
    bool known = false;
    for (const ValueOption& option : kFileOptions) {
      if (name != option.name) continue;
      known = true;
      std::optional<std::wstring>& target = commandLine.*option.target;
      if (target) throw ToolError(kExitUsage, name + L" given more than once");
      target = takeValue();
      if (target->empty()) throw ToolError(kExitUsage, name + L" needs a file name");
      if (option.target != &CommandLine::showPendingPath && option.target != &CommandLine::checkSettingsPath)
        anyRunOption = true;
    }
    if (known) continue;
    if (argument.size() > 1 && argument.front() == L'-')
      throw ToolError(kExitUsage, L"unknown option '" + argument + L"'");
    commandLine.testOptions.files.push_back(argument);
  }
  if (!commandLine.test && !commandLine.testOptions.files.empty()) {
    throw ToolError(kExitUsage, L"unexpected argument '" + commandLine.testOptions.files.front() + L"'");
  }
  if (commandLine.test) {
    // The scenarios name their own inputs; only the default wait applies to them all.
    if (commandLine.showPendingPath || commandLine.checkSettingsPath || commandLine.strict || commandLine.storePath ||
        commandLine.settingsPath || commandLine.changesPath || commandLine.framesOutPath || commandLine.saveStorePath ||
        commandLine.serviceFails || commandLine.quiet) {
      throw ToolError(kExitUsage, L"--test takes no other option than --update, --junit and --settle");
    }
    if (commandLine.testOptions.files.empty()) throw ToolError(kExitUsage, L"--test needs at least one test FILE");
    return commandLine;
  }
  if (anyTestOption) {
    throw ToolError(kExitUsage, std::wstring(commandLine.testOptions.update ? L"--update" : L"--junit") +
                                    L" goes with --test only");
  }
  if (commandLine.showPendingPath && (anyRunOption || commandLine.checkSettingsPath || commandLine.strict)) {
    throw ToolError(kExitUsage, L"--show-pending takes no other option");
  }
  if (commandLine.checkSettingsPath && anyRunOption) {
    throw ToolError(kExitUsage, L"--check-settings takes no other option than --strict");
  }
  if (commandLine.strict && !commandLine.checkSettingsPath) {
    throw ToolError(kExitUsage, L"--strict goes with --check-settings only");
  }
  return commandLine;
}

}  // namespace KestrovaHost
