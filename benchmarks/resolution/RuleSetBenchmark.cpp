// A realistic rule set run by the items resolver of Kestrova.dll, created by
// class id as a host does, over a configuration tree of about 10^5 nodes:
// time per resolution and frames per second.
//
// The tree: a section with 5,000 users, each with attributes, a device list
// (0 to 3 devices), group memberships (1 to 3), and a profile of 12
// settings; and a list of 500 policies. The rules: counters over all users
// (one with a filter), a set per user holding items of the three kinds, a
// counter, a nested group over the profile and a conditional entry with or,
// and and case conditions, and a group over the policies under a condition.
#include "RawNode.h"
#include "Stopwatch.h"

#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace ResolutionBenchmark;

constexpr int kUsers = 5'000;
constexpr int kProfileSettings = 12;
constexpr int kPolicies = 500;
constexpr int kRepetitions = 7;

const wchar_t* const kOses[] = {L"Windows", L"Android", L"iOS", L"Linux"};
const wchar_t* const kGroups[] = {L"Staff", L"Admins", L"Sales", L"Support"};

uint64_t g_nodes = 0;

RawNode Child(const RawNode& parent, const std::wstring& name, const wchar_t* type = nullptr) {
  ++g_nodes;
  return parent.AddChild(name.c_str(), type);
}

RawNode BuildSource() {
  RawNode root = RawNode::Create(L"Settings", L"Section");
  g_nodes = 1;
  root.SetText(L"Mode", L"Full");
  const RawNode users = Child(root, L"Users", L"UserList");
  for (int u = 0; u < kUsers; ++u) {
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

}  // namespace

int main() {
  const RawNode source = BuildSource();
  const RawNode rules = BuildRules();
  IUsageActivityItemsResolver* resolver = CreateResolver();
  if (const HRESULT hr = resolver->Initialize(rules.Get()); FAILED(hr)) {
    std::fprintf(stderr, "Initialize failed: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }

  uint64_t frames = 0;
  std::vector<double> resolve;
  std::vector<double> release;
  for (int run = 0; run <= kRepetitions; ++run) {
    RawNode container;
    const Stopwatch resolveWatch;
    if (const HRESULT hr = resolver->ResolveActivityItems(source.Get(), container.Put()); FAILED(hr)) {
      std::fprintf(stderr, "ResolveActivityItems failed: 0x%08X\n", static_cast<unsigned>(hr));
      return 1;
    }
    const double resolveSeconds = resolveWatch.ElapsedSeconds();
    frames = CountFrames(container.Get());
    const Stopwatch releaseWatch;
    container = RawNode();
    // The first run warms up and is not counted.
    if (run == 0) continue;
    resolve.push_back(resolveSeconds);
    release.push_back(releaseWatch.ElapsedSeconds());
  }
  resolver->Release();

  const double seconds = Median(resolve);
  std::printf("rule set over %llu source nodes (%d users), %d runs, medians\n",
              static_cast<unsigned long long>(g_nodes), kUsers, kRepetitions);
  std::printf("  frames per resolution:  %llu\n", static_cast<unsigned long long>(frames));
  std::printf("  time per resolution:    %.1f ms (ResolveActivityItems)\n", seconds * 1e3);
  std::printf("  closing the container:  %.1f ms\n", Median(release) * 1e3);
  std::printf("  frames per second:      %.0f\n", static_cast<double>(frames) / seconds);
  std::printf("  source nodes per second: %.0f\n", static_cast<double>(g_nodes) / seconds);
  return 0;
}
