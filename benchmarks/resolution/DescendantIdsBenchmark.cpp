// The source path \**\@Id through the rules engine (a CompiledSource) against
// a hand-written depth-first walk over the raw node store calls that collects
// the same values, over trees of 10^4, 10^5 and 10^6 nodes.
//
// Trees: node i (i >= 1) hangs under node (i - 1) / 10, so every inner node
// has ten children and the depth grows with log10 of the size. Every node
// has a text attribute "Kind"; nine of ten also carry a text "Id" (the walk
// must skip the others), placed after "Kind" so that lookups do not always
// hit the first attribute.
#include "RawNode.h"
#include "Stopwatch.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/CompiledSource.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace ResolutionBenchmark;

constexpr uint32_t kFanOut = 10;

RawNode BuildTree(uint32_t nodeCount) {
  std::vector<RawNode> nodes;
  nodes.reserve(nodeCount);
  nodes.push_back(RawNode::Create(L"Root", L"Section"));
  for (uint32_t i = 1; i < nodeCount; ++i) {
    const std::wstring name = L"n" + std::to_wstring(i);
    RawNode node = nodes[(i - 1) / kFanOut].AddChild(name.c_str(), L"Item");
    node.SetText(L"Kind", i % 2 == 0 ? L"even" : L"odd");
    if (i % 10 != 0) node.SetText(L"Id", L"id-" + std::to_wstring(i));
    nodes.push_back(std::move(node));
  }
  // The root's handle keeps the whole tree alive; the others go.
  RawNode root = std::move(nodes.front());
  return root;
}

// What \**\@Id yields, written directly against the store: every descendant
// in pre-order, the Id text of those that have one.
class RawIdCollector {
 public:
  std::vector<std::wstring> Collect(IDXNode* start) {
    m_values.clear();
    VisitChildren(start);
    return std::move(m_values);
  }

 private:
  void VisitChildren(IDXNode* node) {
    uint32_t count = 0;
    Check(DxnGetChildCount(node, &count), "DxnGetChildCount");
    for (uint32_t index = 0; index < count; ++index) {
      RawNode child;
      Check(DxnGetChildByIndex(node, index, child.Put()), "DxnGetChildByIndex");
      ReadId(child.Get());
      VisitChildren(child.Get());
    }
  }

  void ReadId(IDXNode* node) {
    static constexpr uint16_t kText = DXN_TYPE_TEXT;
    uint32_t size = static_cast<uint32_t>(m_buffer.size() * sizeof(wchar_t));
    DxnResult result = DxnGetAttribute(node, L"Id", &kText, m_buffer.data(), &size, nullptr);
    if (result == DXN_E_NOT_FOUND) return;
    if (result == DXN_E_INSUFFICIENT_BUFFER) {
      m_buffer.resize(size / sizeof(wchar_t));
      result = DxnGetAttribute(node, L"Id", &kText, m_buffer.data(), &size, nullptr);
    }
    Check(result, "DxnGetAttribute");
    m_values.emplace_back(m_buffer.data(), size / sizeof(wchar_t) - 1);
  }

  std::vector<wchar_t> m_buffer = std::vector<wchar_t>(64);
  std::vector<std::wstring> m_values;
};

struct Measurement {
  uint32_t nodes;
  size_t values;
  double engineSeconds;
  double rawSeconds;
};

Measurement Measure(uint32_t nodeCount, int repetitions) {
  const RawNode root = BuildTree(nodeCount);
  const DXNodePtr start(root.Get(), DXNodePtr::Handle::Duplicate);
  RawIdCollector rawCollector;

  // One run of each first: the results must agree, and caches and the heap
  // are warm. The rounds then alternate the two, so both see the same state.
  const std::vector<std::wstring> expected = rawCollector.Collect(root.Get());
  // Compiled once, as a rule compiles its sources when it is built.
  const UsageStatistics::CompiledSource idsSource(L"\\**\\@Id");
  if (idsSource.AllValues(start) != expected) {
    std::fprintf(stderr, "the engine and the raw walk disagree at %u nodes\n", nodeCount);
    std::exit(1);
  }
  std::vector<double> engine;
  std::vector<double> raw;
  for (int run = 0; run < repetitions; ++run) {
    {
      const Stopwatch stopwatch;
      const auto values = idsSource.AllValues(start);
      engine.push_back(stopwatch.ElapsedSeconds());
      if (values.size() != expected.size()) std::exit(1);
    }
    {
      const Stopwatch stopwatch;
      const auto values = rawCollector.Collect(root.Get());
      raw.push_back(stopwatch.ElapsedSeconds());
      if (values.size() != expected.size()) std::exit(1);
    }
  }
  return {nodeCount, expected.size(), *std::min_element(engine.begin(), engine.end()),
          *std::min_element(raw.begin(), raw.end())};
}

}  // namespace

int main() {
  std::printf("\\**\\@Id: rules engine (a CompiledSource) vs. raw depth-first walk; best of the rounds, alternating\n");
  std::printf("%9s %9s %6s %12s %12s %8s %13s %13s\n", "nodes", "values", "rounds", "engine ms", "raw ms", "ratio",
              "engine ns/n", "raw ns/n");
  std::vector<Measurement> measurements;
  const struct {
    uint32_t nodes;
    int repetitions;
  } sizes[] = {{10'000, 21}, {100'000, 9}, {1'000'000, 5}};
  for (const auto& size : sizes) {
    const Measurement m = Measure(size.nodes, size.repetitions);
    measurements.push_back(m);
    std::printf("%9u %9zu %6d %12.2f %12.2f %8.2f %13.1f %13.1f\n", m.nodes, m.values, size.repetitions,
                m.engineSeconds * 1e3, m.rawSeconds * 1e3, m.engineSeconds / m.rawSeconds,
                m.engineSeconds * 1e9 / m.nodes, m.rawSeconds * 1e9 / m.nodes);
    std::fflush(stdout);
  }
  // Linear growth: the time per node stays flat as the tree grows tenfold.
  const Measurement& first = measurements.front();
  std::printf("time per node relative to %u nodes:", first.nodes);
  for (const Measurement& m : measurements) {
    std::printf("  %u: engine %.2fx raw %.2fx", m.nodes,
                (m.engineSeconds / m.nodes) / (first.engineSeconds / first.nodes),
                (m.rawSeconds / m.nodes) / (first.rawSeconds / first.nodes));
  }
  std::printf("\n");
  return 0;
}
