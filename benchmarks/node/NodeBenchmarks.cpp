// Measures what the node model costs its callers:
//  - DXNodePtr typed reads (GetString, TryGetInt64, GetChild by name) beside
//    the raw DataLayer calls they wrap, per call;
//  - the diagnostic dump of a tree of 10^4 nodes: without a masker, with a
//    masker whose attribute is absent, present on one node, and on every node.
#include "node/DXNodePtr.h"
#include "node/HiddenAttributeMasker.h"
#include "node/NodeDump.h"
#include "node/NodeSerialization.h"

#include <Kestrova/DataLayer.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

namespace {

int64_t Now() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Nanoseconds(int64_t ticks) {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(ticks) * 1e9 / static_cast<double>(frequency.QuadPart);
}

// The best of several runs, in nanoseconds per iteration.
double BestPerIteration(int64_t iterations, const std::function<void(int64_t)>& run, int runs = 5) {
  double best = 1e300;
  for (int attempt = 0; attempt < runs; ++attempt) {
    const int64_t start = Now();
    run(iterations);
    best = std::min(best, Nanoseconds(Now() - start) / static_cast<double>(iterations));
  }
  return best;
}

volatile int64_t g_sink = 0;

void Check(HRESULT hr) {
  if (FAILED(hr)) {
    std::printf("store call failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    ::ExitProcess(1);
  }
}

void TypedReads() {
  constexpr int64_t kIterations = 1'000'000;
  const DXNodePtr node = DXNodePtr::Create(L"Settings", L"Item");
  node.SetString(L"DisplayName", L"A typical setting value");  // 23 characters
  node.SetInt64(L"Period", 86400);
  for (int index = 0; index < 10; ++index) {
    node.AddChild(DXNodePtr::Create((L"Child" + std::to_wstring(index)).c_str(), L"Item"));
  }
  IDXNode* const raw = node.Get();

  std::printf("Typed reads, best of 5 runs of %lld calls (ns per call):\n", static_cast<long long>(kIterations));

  const double wrappedString = BestPerIteration(kIterations, [&](int64_t count) {
    for (int64_t i = 0; i < count; ++i) g_sink = g_sink + static_cast<int64_t>(node.GetString(L"DisplayName").size());
  });
  const double rawString = BestPerIteration(kIterations, [&](int64_t count) {
    const uint16_t type = DXN_TYPE_TEXT;
    wchar_t buffer[128];
    for (int64_t i = 0; i < count; ++i) {
      uint32_t size = sizeof(buffer);
      Check(DxnGetAttribute(raw, L"DisplayName", &type, buffer, &size, nullptr));
      g_sink = g_sink + size;
    }
  });
  const double rawStringToText = BestPerIteration(kIterations, [&](int64_t count) {
    const uint16_t type = DXN_TYPE_TEXT;
    wchar_t buffer[128];
    for (int64_t i = 0; i < count; ++i) {
      uint32_t size = sizeof(buffer);
      Check(DxnGetAttribute(raw, L"DisplayName", &type, buffer, &size, nullptr));
      const std::wstring text(buffer, size / sizeof(wchar_t) - 1);
      g_sink = g_sink + static_cast<int64_t>(text.size());
    }
  });
  std::printf("  GetString            %8.1f   raw DxnGetAttribute %8.1f   raw + std::wstring %8.1f   overhead %+.1f\n",
              wrappedString, rawString, rawStringToText, wrappedString - rawString);

  const double wrappedInt64 = BestPerIteration(kIterations, [&](int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      int64_t value = 0;
      node.TryGetInt64(L"Period", value);
      g_sink = g_sink + value;
    }
  });
  const double rawInt64 = BestPerIteration(kIterations, [&](int64_t count) {
    const uint16_t type = DXN_TYPE_INT64;
    for (int64_t i = 0; i < count; ++i) {
      int64_t value = 0;
      uint32_t size = sizeof(value);
      Check(DxnGetAttribute(raw, L"Period", &type, &value, &size, nullptr));
      g_sink = g_sink + value;
    }
  });
  std::printf("  TryGetInt64          %8.1f   raw DxnGetAttribute %8.1f   overhead %+.1f\n", wrappedInt64, rawInt64,
              wrappedInt64 - rawInt64);

  const double wrappedChild = BestPerIteration(kIterations, [&](int64_t count) {
    for (int64_t i = 0; i < count; ++i) g_sink = g_sink + (node.GetChild(L"Child7") ? 1 : 0);
  });
  const double rawChild = BestPerIteration(kIterations, [&](int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      IDXNode* child = nullptr;
      Check(DxnGetChildByName(raw, L"Child7", &child));
      g_sink = g_sink + (child != nullptr ? 1 : 0);
      DxnCloseNodeHandle(child);
    }
  });
  std::printf("  GetChild(name)       %8.1f   raw DxnGetChildByName + DxnCloseNodeHandle %8.1f   overhead %+.1f\n",
              wrappedChild, rawChild, wrappedChild - rawChild);
}

// 1 root, 100 children, 99 grandchildren each: 10,001 nodes with four
// attributes each; hidden may name one node, every node or none.
enum class Hidden { None, OneNode, EveryNode };

DXNodePtr BuildTree(Hidden hidden) {
  DXNodePtr root = DXNodePtr::Create(L"Root", L"Folder");
  uint32_t made = 1;
  const auto fill = [&](const DXNodePtr& node, uint32_t number) {
    node.SetString(L"DisplayName", L"Node number " + std::to_wstring(number));
    node.SetInt64(L"Value", number);
    node.SetBool(L"Enabled", (number & 1) != 0);
    node.SetStringList(L"Tags", {L"alpha", L"beta"});
    if (hidden == Hidden::EveryNode || (hidden == Hidden::OneNode && number == 5000)) {
      node.SetString(L"Password", L"secret");
    }
  };
  fill(root, 0);
  for (uint32_t child = 0; child < 100; ++child) {
    DXNodePtr folder = DXNodePtr::Create((L"Folder" + std::to_wstring(child)).c_str(), L"Folder");
    fill(folder, made++);
    for (uint32_t leaf = 0; leaf < 99; ++leaf) {
      DXNodePtr item = DXNodePtr::Create((L"Item" + std::to_wstring(leaf)).c_str(), L"Item");
      fill(item, made++);
      folder.AddChild(item);
    }
    root.AddChild(folder);
  }
  return root;
}

void Dumps() {
  constexpr int64_t kDumps = 10;
  std::printf("Dump of a 10,001-node tree, whole subtree, best of 5 runs of %lld dumps (ms per dump):\n",
              static_cast<long long>(kDumps));
  struct Case {
    const char* label;
    const wchar_t* setting;
    Hidden hidden;
  };
  const Case cases[] = {
      {"no hidden attributes configured      ", L"", Hidden::None},
      {"\"*:Password\", absent from the tree   ", L"*:Password", Hidden::None},
      {"\"Item:Password\", absent from the tree", L"Item:Password", Hidden::None},
      {"\"*:Password\", present on one node    ", L"*:Password", Hidden::OneNode},
      {"\"*:Password\", present on every node  ", L"*:Password", Hidden::EveryNode},
  };
  {
    const DXNodePtr tree = BuildTree(Hidden::None);
    IDXNode* const handle = tree.Get();
    size_t bytes = 0;
    const double ns = BestPerIteration(kDumps, [&](int64_t count) {
      for (int64_t i = 0; i < count; ++i) {
        bytes = NodeUtils::SerializeToText(&handle, 1, DXN_SERIALIZE_FORMATTED, DXNodePtr::kWholeSubtree).size();
      }
    });
    std::printf("  (the store's serialization to text alone: %7.2f, %zu bytes)\n", ns / 1e6, bytes);
  }
  for (const Case& test : cases) {
    const DXNodePtr tree = BuildTree(test.hidden);
    const CHiddenAttributeMasker masker(test.setting);
    size_t length = 0;
    const double ns = BestPerIteration(kDumps, [&](int64_t count) {
      for (int64_t i = 0; i < count; ++i) length = NodeUtils::DumpNode(DXNodeRef(tree, true, masker)).size();
    });
    const double maskNs = BestPerIteration(kDumps, [&](int64_t count) {
      for (int64_t i = 0; i < count; ++i) g_sink = g_sink + (masker.MaskedCopy(tree, DXNodePtr::kWholeSubtree) ? 1 : 0);
    });
    std::printf("  %s  dump %7.2f   of which masking %7.2f   (%zu characters)\n", test.label, ns / 1e6, maskNs / 1e6,
                length);
  }
}

}  // namespace

int main() {
  TypedReads();
  Dumps();
  return 0;
}
