// A realistic rule set run by the items resolver of Kestrova.dll, created by
// class id as a host does: time per resolution and frames per second, first
// with "MaxSeverity" INFO, then with the default DBG, with the log lines and
// bytes each resolution writes.
//
//   RuleSetBenchmark.exe [users] [rounds] [DBG rounds]
//
// The anchors: a raw walk over the source nodes, and the same frames built by
// hand with raw store calls (RawRuleSetFrames.h), checked to be the same.
//
// The tree: a section with users (5,000 by default, about 98,000 nodes),
// each with attributes, a device list (0 to 3 devices), group memberships (1
// to 3), and a profile of 12 settings; and a list of 500 policies. The rules: counters over all users
// (one with a filter), a set per user holding items of the three kinds, a
// counter, a nested group over the profile and a conditional entry with or,
// and and case conditions, and a group over the policies under a condition.
#include "RawNode.h"
#include "RawRuleSetFrames.h"
#include "Stopwatch.h"

#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace ResolutionBenchmark;

constexpr int kProfileSettings = 12;
constexpr int kPolicies = 500;

const wchar_t* const kOses[] = {L"Windows", L"Android", L"iOS", L"Linux"};
const wchar_t* const kGroups[] = {L"Staff", L"Admins", L"Sales", L"Support"};

uint64_t g_nodes = 0;

RawNode Child(const RawNode& parent, const std::wstring& name, const wchar_t* type = nullptr) {
  ++g_nodes;
  return parent.AddChild(name.c_str(), type);
}

RawNode BuildSource(int userCount) {
  RawNode root = RawNode::Create(L"Settings", L"Section");
  g_nodes = 1;
  root.SetText(L"Mode", L"Full");
  const RawNode users = Child(root, L"Users", L"UserList");
  for (int u = 0; u < userCount; ++u) {
    const RawNode user = Child(users, L"user" + std::to_wstring(u), L"User");
    user.SetText(L"Id", L"u-" + std::to_wstring(u));
    if (u % 7 != 0) user.SetText(L"Enabled", u % 5 == 0 ? L"0" : L"1");
    user.SetText(L"Role", u % 50 == 0 ? L"Admin" : L"User");
    user.SetText(L"DisplayName", L"User number " + std::to_wstring(u));
    const RawNode devices = Child(user, L"Devices");
    for (int d = 0; d < u % 4; ++d) {
      const RawNode device = Child(devices, L"device" + std::to_wstring(d), L"Device");
      device.SetText(L"Id", L"d-" + std::to_wstring(u) + L"-" + std::to_wstring(d));
      device.SetText(L"Os", kOses[(u + d) % 4]);
    }
    const RawNode memberships = Child(user, L"Memberships");
    for (int g = 0; g <= u % 3; ++g) {
      Child(memberships, L"m" + std::to_wstring(g), L"Membership").SetText(L"Group", kGroups[(u + g) % 4]);
    }
    const RawNode profile = Child(user, L"Profile", L"Profile");
    for (int s = 0; s < kProfileSettings; ++s) {
      const RawNode setting = Child(profile, L"setting" + std::to_wstring(s), L"Setting");
      setting.SetText(L"Value", std::to_wstring((u * 31 + s) % 100));
    }
  }
  const RawNode policies = Child(root, L"Policies", L"PolicyList");
  for (int p = 0; p < kPolicies; ++p) {
    Child(policies, L"policy" + std::to_wstring(p), L"Policy").SetText(L"Enabled", p % 3 == 0 ? L"0" : L"1");
  }
  return root;
}

// Rule nodes, written like their node text.
RawNode Entry(const RawNode& parent, const wchar_t* type, const wchar_t* nameSource,
              const wchar_t* valueSource = nullptr, int itemType = -1) {
  RawNode entry = parent.AddChild(nullptr, type);
  if (nameSource != nullptr) entry.SetText(L"NameSource", nameSource);
  if (valueSource != nullptr) entry.SetText(L"ValueSource", valueSource);
  if (itemType >= 0) entry.SetInt32(L"ActivityItemType", itemType);
  return entry;
}

void Case(const RawNode& parent, const wchar_t* path1, const wchar_t* path2, bool negate = false) {
  const RawNode condition = parent.AddChild(L"Condition", L"CaseCondition");
  condition.SetText(L"CaseValuePath1", path1);
  condition.SetText(L"CaseValuePath2", path2);
  if (negate) condition.SetBool(L"Not", true);
}

RawNode BuildRules() {
  RawNode rules = RawNode::Create(L"Rules");
  Entry(rules, L"UsageActivityItemCounter", L"UserCount", L"\\Users\\*\\<name>");
  Entry(rules, L"UsageActivityItemCounter", L"AdminCount", L"\\Users\\*\\[@Role=='Admin']\\<name>");
  Entry(rules, L"UsageActivityItemCounter", L"DeviceCount", L"\\Users\\*\\Devices\\*\\@Id");

  const RawNode perUser = Entry(rules, L"UsageActivityItemsSet", L"<name>");
  perUser.SetText(L"ConfigPath", L"\\Users\\*");
  perUser.SetBool(L"IsAllowEmpty", true);
  Entry(perUser, L"UsageActivityItem", L"Enabled", L"@Enabled");
  Entry(perUser, L"UsageActivityItem", L"Role", L"@Role", 0);
  Entry(perUser, L"UsageActivityItem", L"Groups", L"\\Memberships\\*\\@Group", 1);
  Entry(perUser, L"UsageActivityItem", L"DeviceOs", L"\\Devices\\*\\@Os", 2);
  Entry(perUser, L"UsageActivityItemCounter", L"Devices", L"\\Devices\\*\\<name>");
  const RawNode profile = Entry(perUser, L"UsageActivityItemsGroup", L"Profile");
  profile.SetText(L"ConfigPath", L"\\Profile\\*");
  Entry(profile, L"UsageActivityItem", L"<name>", L"@Value");
  const RawNode privileged = Entry(perUser, L"If", nullptr);
  {
    const RawNode either = privileged.AddChild(L"Condition", L"OrCondition");
    Case(either, L"@Role", L"Admin");
    const RawNode both = either.AddChild(nullptr, L"AndCondition");
    Case(both, L"@Enabled", L"1");
    Case(both, L"\\Memberships\\*\\@Group", L"Staff");
    Entry(privileged.AddChild(L"Then"), L"UsageActivityItem", L"Privileged", L"yes");
    Entry(privileged.AddChild(L"Else"), L"UsageActivityItem", L"Privileged", L"no");
  }

  const RawNode fullMode = Entry(rules, L"If", nullptr);
  Case(fullMode, L"@Mode", L"Full");
  const RawNode policies = Entry(fullMode.AddChild(L"Then"), L"UsageActivityItemsGroup", L"Policies");
  policies.SetText(L"ConfigPath", L"\\Policies\\*");
  Entry(policies, L"UsageActivityItem", L"<name>", L"@Enabled");
  fullMode.AddChild(L"Else");
  return rules;
}

uint64_t CountFrames(IDXNode* node) {
  uint32_t count = 0;
  Check(DxnGetChildCount(node, &count), "DxnGetChildCount");
  uint64_t frames = count;
  for (uint32_t index = 0; index < count; ++index) {
    RawNode child;
    Check(DxnGetChildByIndex(node, index, child.Put()), "DxnGetChildByIndex");
    frames += CountFrames(child.Get());
  }
  return frames;
}

// The anchor: a depth-first walk over every source node with the raw store
// calls, reading the text "Id" where there is one. It measures the machine
// (and its load) in the same run as the resolutions.
uint64_t RawWalk(IDXNode* node) {
  static constexpr uint16_t kText = DXN_TYPE_TEXT;
  wchar_t buffer[64];
  uint32_t size = sizeof(buffer);
  uint64_t found = DxnGetAttribute(node, L"Id", &kText, buffer, &size, nullptr) >= 0 ? 1 : 0;
  uint32_t count = 0;
  Check(DxnGetChildCount(node, &count), "DxnGetChildCount");
  for (uint32_t index = 0; index < count; ++index) {
    RawNode child;
    Check(DxnGetChildByIndex(node, index, child.Put()), "DxnGetChildByIndex");
    found += RawWalk(child.Get());
  }
  return found;
}

// A tree in node text, for comparing two trees byte for byte.
std::string NodeText(IDXNode* node) {
  std::string text;
  DxnSerializationContext* context = nullptr;
  const auto append = [](const void* data, uint32_t byteCount, void* target) -> DxnResult {
    static_cast<std::string*>(target)->append(static_cast<const char*>(data), byteCount);
    return 0;
  };
  Check(DxnStartSerialization(DXNSerializationType_NodeText, DXN_SERIALIZE_FORMATTED, append, &text, &context),
        "DxnStartSerialization");
  Check(DxnSerializeNodes(context, &node, 1, DXN_DEPTH_SUBTREE), "DxnSerializeNodes");
  Check(DxnFinalizeSerialization(context), "DxnFinalizeSerialization");
  Check(DxnCloseSerializationContext(context), "DxnCloseSerializationContext");
  return text;
}

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

IUsageActivityItemsResolver* CreateResolver() {
  const HMODULE module = ::LoadLibraryW((ExecutableDirectory() + L"Kestrova.dll").c_str());
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load Kestrova.dll: error %lu\n", ::GetLastError());
    std::exit(1);
  }
  const auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
      reinterpret_cast<void*>(::GetProcAddress(module, "GetComponentsModuleObject")));
  IComponentsModule* componentsModule = nullptr;
  IUsageActivityItemsResolver* resolver = nullptr;
  if (getModuleObject == nullptr || FAILED(getModuleObject(reinterpret_cast<void**>(&componentsModule))) ||
      FAILED(componentsModule->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver,
                                              reinterpret_cast<void**>(&resolver)))) {
    std::fprintf(stderr, "cannot create the items resolver\n");
    std::exit(1);
  }
  return resolver;  // the module stays loaded until the process ends
}

// The module's log file in a directory of this run's own.
class LogFile {
 public:
  explicit LogFile(std::wstring directory) : m_directory(std::move(directory)) {}

  const std::wstring& Directory() const { return m_directory; }
  uint64_t Size() const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Path().c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  // Lines (CR LF in UTF-16) in the bytes from offset on.
  uint64_t LinesFrom(uint64_t offset) const {
    const HANDLE file =
        ::CreateFileW(Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    std::vector<wchar_t> buffer(1 << 20);
    uint64_t lines = 0;
    wchar_t previous = 0;
    DWORD read = 0;
    while (::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &read, nullptr) &&
           read != 0) {
      for (DWORD i = 0; i < read / sizeof(wchar_t); ++i) {
        if (previous == L'\r' && buffer[i] == L'\n') ++lines;
        previous = buffer[i];
      }
    }
    ::CloseHandle(file);
    return lines;
  }
  void Remove() const {
    ::DeleteFileW(Path().c_str());
    ::RemoveDirectoryW(m_directory.c_str());
  }

 private:
  std::wstring Path() const { return m_directory + L"\\Kestrova.log"; }
  std::wstring m_directory;
};

struct Round {
  double resolveSeconds;
  double anchorSeconds;
  double rawFramesSeconds;
  double sharedSeconds;
  uint64_t logBytes;
  uint64_t logLines;
};

struct Phase {
  const char* severity;
  std::vector<Round> rounds;
  uint64_t frames = 0;
};

double Best(const std::vector<Round>& rounds, double Round::*field) {
  double best = 1e300;
  for (const Round& round : rounds) best = std::min(best, round.*field);
  return best;
}

double MedianOf(const std::vector<Round>& rounds, double Round::*field) {
  std::vector<double> values;
  for (const Round& round : rounds) values.push_back(round.*field);
  return Median(values);
}

// One phase: a warm-up resolution, then rounds that alternate the anchor
// walk and a resolution, each resolution followed by closing its container
// so that every round starts from the same heap state.
Phase RunPhase(const char* severity, int rounds, IUsageActivityItemsResolver* resolver, const RawNode& source,
               const LogFile& log) {
  Phase phase{severity, {}, 0};
  for (int run = 0; run <= rounds; ++run) {
    const Stopwatch anchorWatch;
    const uint64_t ids = RawWalk(source.Get());
    const double anchorSeconds = anchorWatch.ElapsedSeconds();
    if (ids == 0) std::exit(1);

    RawNode rawFrames;
    const Stopwatch rawFramesWatch;
    rawFrames = RawRuleSetFrames::Build(source.Get(), RawRuleSetFrames::Reads::AsRulesState);
    const double rawFramesSeconds = rawFramesWatch.ElapsedSeconds();
    rawFrames = RawNode();
    const Stopwatch sharedWatch;
    rawFrames = RawRuleSetFrames::Build(source.Get(), RawRuleSetFrames::Reads::Shared);
    const double sharedSeconds = sharedWatch.ElapsedSeconds();
    rawFrames = RawNode();

    const uint64_t logBefore = log.Size();
    RawNode container;
    const Stopwatch resolveWatch;
    if (const HRESULT hr = resolver->ResolveActivityItems(source.Get(), container.Put()); FAILED(hr)) {
      std::fprintf(stderr, "ResolveActivityItems failed: 0x%08X\n", static_cast<unsigned>(hr));
      std::exit(1);
    }
    const double resolveSeconds = resolveWatch.ElapsedSeconds();
    const uint64_t logAfter = log.Size();
    phase.frames = CountFrames(container.Get());
    container = RawNode();
    if (run == 0) continue;  // the warm-up is not counted
    phase.rounds.push_back({resolveSeconds, anchorSeconds, rawFramesSeconds, sharedSeconds, logAfter - logBefore,
                            logAfter > logBefore ? log.LinesFrom(logBefore) : 0});
  }
  return phase;
}

void Report(const Phase& phase, uint64_t sourceNodes) {
  const double best = Best(phase.rounds, &Round::resolveSeconds);
  const double anchor = Best(phase.rounds, &Round::anchorSeconds);
  const Round& last = phase.rounds.back();
  std::printf("MaxSeverity %s, %zu rounds:\n", phase.severity, phase.rounds.size());
  std::printf("  time per resolution:   best %.1f ms, median %.1f ms\n", best * 1e3,
              MedianOf(phase.rounds, &Round::resolveSeconds) * 1e3);
  std::printf("  frames per second:     %.0f (best round); %.2f us per frame\n",
              static_cast<double>(phase.frames) / best, best * 1e6 / static_cast<double>(phase.frames));
  const double rawFrames = Best(phase.rounds, &Round::rawFramesSeconds);
  std::printf("  anchor (raw walk):     best %.1f ms; resolution / anchor %.1f\n", anchor * 1e3, best / anchor);
  const double shared = Best(phase.rounds, &Round::sharedSeconds);
  std::printf("  raw frames, reads as the rules state them: best %.1f ms, %.2f us per frame; resolution / them %.2f\n",
              rawFrames * 1e3, rawFrames * 1e6 / static_cast<double>(phase.frames), best / rawFrames);
  std::printf("  raw frames, reads shared:                  best %.1f ms, %.2f us per frame; resolution / them %.2f\n",
              shared * 1e3, shared * 1e6 / static_cast<double>(phase.frames), best / shared);
  std::printf("  log per resolution:    %llu lines, %llu bytes\n", static_cast<unsigned long long>(last.logLines),
              static_cast<unsigned long long>(last.logBytes));
  (void)sourceNodes;
}

int ArgumentOr(int argc, char** argv, int index, int fallback) {
  return argc > index ? std::atoi(argv[index]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int users = ArgumentOr(argc, argv, 1, 5'000);
  const int rounds = ArgumentOr(argc, argv, 2, 7);
  const int dbgRounds = ArgumentOr(argc, argv, 3, 2);
  if (users <= 0 || rounds <= 0 || dbgRounds < 0) {
    std::fprintf(stderr, "usage: RuleSetBenchmark.exe [users > 0] [rounds > 0] [DBG rounds >= 0]\n");
    return 2;
  }

  // The module reads its logger settings from the environment; its log goes
  // to a directory of this run's own, removed at the end.
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const LogFile log(std::wstring(temp) + L"kestrova-rules-bench-" + std::to_wstring(::GetCurrentProcessId()));
  ::SetEnvironmentVariableW(L"GS_Logger_Path", log.Directory().c_str());
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"INFO");

  const RawNode source = BuildSource(users);
  const RawNode rules = BuildRules();
  IUsageActivityItemsResolver* resolver = CreateResolver();
  if (const HRESULT hr = resolver->Initialize(rules.Get()); FAILED(hr)) {
    std::fprintf(stderr, "Initialize failed: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }

  {
    // The hand-built frames must be the resolver's, or the anchor measures something else.
    RawNode container;
    if (FAILED(resolver->ResolveActivityItems(source.Get(), container.Put()))) return 1;
    const std::string expected = NodeText(container.Get());
    for (const auto reads : {RawRuleSetFrames::Reads::AsRulesState, RawRuleSetFrames::Reads::Shared}) {
      if (NodeText(RawRuleSetFrames::Build(source.Get(), reads).Get()) != expected) {
        std::fprintf(stderr, "the frames built by hand differ from the resolver's\n");
        return 1;
      }
    }
  }
  std::printf("rule set over %llu source nodes (%d users)\n", static_cast<unsigned long long>(g_nodes), users);
  const Phase info = RunPhase("INFO", rounds, resolver, source, log);
  std::printf("  frames per resolution: %llu\n", static_cast<unsigned long long>(info.frames));
  Report(info, g_nodes);
  std::fflush(stdout);

  if (dbgRounds > 0) {
    // The module re-reads its settings at most every 5 seconds.
    ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");
    ::Sleep(5'100);
    const Phase dbg = RunPhase("DBG (default)", dbgRounds, resolver, source, log);
    Report(dbg, g_nodes);
  }
  resolver->Release();
  log.Remove();
  return 0;
}
