// Where the time of one activity frame goes: the parts of frame building
// and of the source reads behind it, each timed on its own (best of several
// rounds, warm heap), with the rules engine linked in and the node store
// reached through DataLayer.dll as in the module. With "MaxSeverity" INFO,
// as a production run has it.
//
// The source node is one user of the rule set benchmark: attributes, two
// devices, two memberships and a profile of 12 settings.
#include "RawNode.h"
#include "Stopwatch.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/CompiledSource.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/SourceEvaluation.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/UsageActivityEntryFactory.h"
#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace ResolutionBenchmark;
using namespace UsageStatistics;

volatile uint64_t g_sink = 0;

double BestNs(int iterations, const std::function<void()>& body, int rounds = 7) {
  double best = 1e300;
  for (int round = 0; round < rounds; ++round) {
    const Stopwatch stopwatch;
    for (int i = 0; i < iterations; ++i) body();
    best = std::min(best, stopwatch.ElapsedSeconds() * 1e9 / iterations);
  }
  return best;
}

RawNode BuildUser() {
  RawNode user = RawNode::Create(L"user17", L"User");
  user.SetText(L"Id", L"u-17");
  user.SetText(L"Enabled", L"1");
  user.SetText(L"Role", L"User");
  user.SetText(L"DisplayName", L"User number 17");
  const RawNode devices = user.AddChild(L"Devices");
  for (int d = 0; d < 2; ++d) {
    const RawNode device = devices.AddChild((L"device" + std::to_wstring(d)).c_str(), L"Device");
    device.SetText(L"Id", L"d-17-" + std::to_wstring(d));
    device.SetText(L"Os", d == 0 ? L"Windows" : L"Linux");
  }
  const RawNode memberships = user.AddChild(L"Memberships");
  memberships.AddChild(L"m0", L"Membership").SetText(L"Group", L"Staff");
  memberships.AddChild(L"m1", L"Membership").SetText(L"Group", L"Sales");
  const RawNode profile = user.AddChild(L"Profile", L"Profile");
  for (int s = 0; s < 12; ++s) {
    profile.AddChild((L"setting" + std::to_wstring(s)).c_str(), L"Setting").SetText(L"Value", std::to_wstring(s));
  }
  return user;
}

DXNodePtr Rule(const wchar_t* type, const wchar_t* nameSource, const wchar_t* valueSource, int itemType = -1) {
  DXNodePtr rule = DXNodePtr::Create(nullptr, type);
  rule.SetString(L"NameSource", nameSource);
  if (valueSource != nullptr) rule.SetString(L"ValueSource", valueSource);
  if (itemType >= 0) {
    const int32_t value = itemType;
    if (DxnSetAttribute(rule.Get(), L"ActivityItemType", DXN_TYPE_INT32, &value, sizeof(value)) < 0) std::exit(1);
  }
  return rule;
}

// A text read into a stack buffer, as a hand-written reader does it.
class RawText {
 public:
  bool ReadAttribute(IDXNode* node, const wchar_t* name) {
    static constexpr uint16_t kText = DXN_TYPE_TEXT;
    m_bytes = sizeof(m_data);
    if (DxnGetAttribute(node, name, &kText, m_data, &m_bytes, nullptr) >= 0) return true;
    m_data[0] = L'\0';  // absent reads as the empty text
    return false;
  }
  void ReadName(IDXNode* node) {
    m_bytes = sizeof(m_data) / sizeof(wchar_t);
    Check(DxnGetNodeName(node, DXN_NAME_FORM_NAME, m_data, &m_bytes), "DxnGetNodeName");
    m_bytes *= sizeof(wchar_t);
  }
  bool Equals(const wchar_t* text) const { return std::wcscmp(m_data, text) == 0; }
  std::wstring Value() const { return std::wstring(m_data, m_bytes / sizeof(wchar_t) - 1); }

 private:
  wchar_t m_data[128];
  uint32_t m_bytes = 0;
};

// The children of a named child of node, one handle at a time.
template <typename Visit>
void ForEachChildOf(IDXNode* node, const wchar_t* name, Visit&& visit) {
  RawNode parent;
  if (DxnGetChildByName(node, name, parent.Put()) < 0) return;
  uint32_t count = 0;
  Check(DxnGetChildCount(parent.Get(), &count), "DxnGetChildCount");
  for (uint32_t index = 0; index < count; ++index) {
    RawNode child;
    Check(DxnGetChildByIndex(parent.Get(), index, child.Put()), "DxnGetChildByIndex");
    visit(child.Get());
  }
}

struct SourceRead {
  const wchar_t* source;
  std::function<std::vector<std::wstring>()> raw;
};

std::vector<SourceRead> SourceReads(IDXNode* user) {
  const auto attribute = [user](const wchar_t* name) {
    return [user, name] {
      std::vector<std::wstring> values;
      RawText text;
      if (text.ReadAttribute(user, name)) values.push_back(text.Value());
      return values;
    };
  };
  const auto eachChildAttribute = [user](const wchar_t* list, const wchar_t* name) {
    return [user, list, name] {
      std::vector<std::wstring> values;
      ForEachChildOf(user, list, [&](IDXNode* child) {
        RawText text;
        if (text.ReadAttribute(child, name)) values.push_back(text.Value());
      });
      return values;
    };
  };
  return {
      {L"Enabled", [] { return std::vector<std::wstring>{L"Enabled"}; }},
      {L"@Role", attribute(L"Role")},
      {L"<name>",
       [user] {
         RawText text;
         text.ReadName(user);
         return std::vector<std::wstring>{text.Value()};
       }},
      {L"@DisplayName", attribute(L"DisplayName")},
      {L"\\Memberships\\*\\@Group", eachChildAttribute(L"Memberships", L"Group")},
      {L"\\Devices\\*\\@Os", eachChildAttribute(L"Devices", L"Os")},
      {L"\\Profile\\*",
       [user] {
         ForEachChildOf(user, L"Profile", [](IDXNode*) {});
         return std::vector<std::wstring>{};
       }},
      {L"\\Memberships\\*\\[@Group=='Staff']\\<name>",
       [user] {
         std::vector<std::wstring> values;
         ForEachChildOf(user, L"Memberships", [&](IDXNode* membership) {
           RawText group;
           group.ReadAttribute(membership, L"Group");
           if (!group.Equals(L"Staff")) return;
           RawText name;
           name.ReadName(membership);
           values.push_back(name.Value());
         });
         return values;
       }},
  };
}

void Row(const char* what, double ns) { std::printf("  %-66s %8.0f ns\n", what, ns); }

}  // namespace

int main() {
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"INFO");
  LogManager::Instance().RefreshSettings();
  const RawNode rawUser = BuildUser();
  const DXNodePtr user(rawUser.Get(), DXNodePtr::Handle::Duplicate);
  const DXNodePtr parent = DXNodePtr::Create(nullptr, kActivityFrameType);
  constexpr int kIterations = 20'000;

  std::printf("parts of one frame, best of 7 rounds of %d, MaxSeverity INFO\n", kIterations);
  std::printf(" frame nodes:\n");
  Row("raw: create node, set Name and Value, add to a parent, close", BestNs(kIterations, [&] {
        IDXNode* frame = nullptr;
        DxnCreateNode(nullptr, kActivityFrameType, &frame);
        DxnSetAttribute(frame, kFrameName, DXN_TYPE_TEXT, L"DeviceOs", 18);
        DxnSetAttribute(frame, kFrameValue, DXN_TYPE_TEXT, L"Windows", 16);
        DxnAddChild(parent.Get(), frame);
        DxnCloseNodeHandle(frame);
      }));
  // The parent collects the frames of the rounds above and below; it is emptied between parts.
  const std::wstring name = L"DeviceOs";
  const std::wstring value = L"Windows";
  Row("MakeActivityItem + AddChild + close", BestNs(kIterations, [&] {
        const DXNodePtr frame = MakeActivityItem(name, value);
        parent.AddChild(frame);
      }));
  Row("DXNodePtr::Create alone (create + close)", BestNs(kIterations, [&] {
        g_sink = g_sink + static_cast<bool>(DXNodePtr::Create(nullptr, kActivityFrameType));
      }));
  Row("ActivityFrameList with one frame moved in (vector alloc)", BestNs(kIterations, [&] {
        ActivityFrameList frames;
        frames.push_back(DXNodePtr());
        g_sink = g_sink + frames.size();
      }));

  std::printf(
      " source reads on the user: compiled once as a rule compiles it, all values; a raw store\n"
      " equivalent of the same path collecting the same values; and the text read anew each time:\n");
  std::printf("  %-44s %10s %10s %7s %12s\n", "source", "compiled", "raw", "ratio", "text anew");
  for (const SourceRead& read : SourceReads(rawUser.Get())) {
    const CompiledSource compiled(read.source);
    if (compiled.AllValues(user) != read.raw()) {
      std::fprintf(stderr, "the raw equivalent of %ls yields other values\n", read.source);
      return 1;
    }
    // Alternating rounds, best of each.
    double compiledNs = 1e300;
    double rawNs = 1e300;
    for (int round = 0; round < 7; ++round) {
      compiledNs =
          std::min(compiledNs, BestNs(
                                   kIterations, [&] { g_sink = g_sink + compiled.AllValues(user).size(); }, 1));
      rawNs = std::min(rawNs, BestNs(
                                  kIterations, [&] { g_sink = g_sink + read.raw().size(); }, 1));
    }
    const double textNs = BestNs(kIterations, [&] { g_sink = g_sink + ResolveAllValues(user, read.source).size(); });
    std::printf("  %-44ls %7.0f ns %7.0f ns %7.2f %9.0f ns\n", read.source, compiledNs, rawNs, compiledNs / rawNs,
                textNs);
  }

  std::printf(" logging at INFO (all disabled):\n");
  Row("KTRACE_SCOPE(DBG) + KLOG_DBG2 of an entry", BestNs(kIterations * 10, [&] {
        KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItem::ResolveActivityEntry");
        KLOG_DBG2(L"Resolving config node " << user);
      }));

  std::printf(" whole entries on the user (ResolveActivityEntry, frames closed after):\n");
  const struct {
    const char* what;
    DXNodePtr rule;
  } entries[] = {
      {"item type 0: literal name, @Role", Rule(L"UsageActivityItem", L"Role", L"@Role", 0)},
      {"item type 0: attribute absent", Rule(L"UsageActivityItem", L"Missing", L"@Missing", 0)},
      {"item type 1: \\Memberships\\*\\@Group", Rule(L"UsageActivityItem", L"Groups", L"\\Memberships\\*\\@Group", 1)},
      {"item type 2: \\Devices\\*\\@Os (2 frames)", Rule(L"UsageActivityItem", L"DeviceOs", L"\\Devices\\*\\@Os", 2)},
      {"counter: \\Devices\\*\\<name>", Rule(L"UsageActivityItemCounter", L"Devices", L"\\Devices\\*\\<name>")},
  };
  for (const auto& entry : entries) {
    const ActivityEntryPtr resolved = MakeActivityEntry(entry.rule);
    Row(entry.what, BestNs(kIterations, [&] { g_sink = g_sink + resolved->ResolveActivityEntry(user).size(); }));
  }
  DXNodePtr group = DXNodePtr::Create(nullptr, L"UsageActivityItemsGroup");
  group.SetString(L"NameSource", L"Profile");
  group.SetString(L"ConfigPath", L"\\Profile\\*");
  group.AddChild(Rule(L"UsageActivityItem", L"<name>", L"@Value"));
  const ActivityEntryPtr profile = MakeActivityEntry(group);
  const double profileNs =
      BestNs(kIterations / 4, [&] { g_sink = g_sink + profile->ResolveActivityEntry(user).size(); });
  Row("group over \\Profile\\* with one item (13 frames)", profileNs);
  Row("  the same per frame", profileNs / 13);
  return 0;
}
