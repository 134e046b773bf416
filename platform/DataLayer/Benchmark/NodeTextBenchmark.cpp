// Parses and writes node text of 10^4, 10^5 and 10^6 nodes with the node
// store and, on the same documents, with pugixml; prints the best round's
// time, MB/s, nodes/s and minor page faults, and heap bytes per node, side by
// side.
//
// Usage: NodeTextBenchmark [--rounds=N] [--store-only] [node counts...]
// (7 rounds unless told; --store-only leaves pugixml out, for profiling)
#include "Kestrova/DataLayer.h"

#include <malloc.h>
#include <sys/resource.h>

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Check(DxnResult result, const char* what) {
  if (result != DXN_S_OK) {
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(result));
    std::exit(1);
  }
}

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

void SetText(IDXNode* node, const char16_t* name, const std::string& value) {
  const std::u16string text = Utf16(value);
  Check(DxnSetAttribute(node, name, DXN_TYPE_TEXT, text.c_str(), static_cast<uint32_t>((text.size() + 1) * 2)),
        "DxnSetAttribute");
}

// A configuration-like tree: sections of 2-12 children nested four to six
// levels, each node with 3 to 6 attributes of the common types.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(uint32_t seed) : m_random(seed) {}

  IDXNode* Build(size_t nodeCount) {
    IDXNode* root = nullptr;
    Check(DxnCreateNode(u"Configuration", u"Root", &root), "DxnCreateNode");
    m_remaining = nodeCount - 1;
    Decorate(root, 0);
    std::vector<std::pair<IDXNode*, int>> frontier{{root, 0}};
    // Breadth-first, so that every size has the same shape near the top.
    for (size_t next = 0; m_remaining > 0; ++next) {
      if (next == frontier.size()) next = 0;
      auto [parent, level] = frontier[next];
      const int children = std::uniform_int_distribution<int>(2, 12)(m_random);
      for (int index = 0; index < children && m_remaining > 0; ++index) {
        IDXNode* child = nullptr;
        const bool section = level < 5;
        const std::u16string name = Utf16((section ? "Section" : "Item") + std::to_string(index));
        Check(DxnCreateNode(name.c_str(), section ? u"Section" : u"Setting", &child), "DxnCreateNode");
        Decorate(child, level + 1);
        Check(DxnAddChild(parent, child), "DxnAddChild");
        --m_remaining;
        if (section) {
          frontier.emplace_back(child, level + 1);
        } else {
          DxnCloseNodeHandle(child);
        }
      }
    }
    for (size_t index = 1; index < frontier.size(); ++index) DxnCloseNodeHandle(frontier[index].first);
    return root;
  }

 private:
  void Decorate(IDXNode* node, int level) {
    const int count = std::uniform_int_distribution<int>(3, 6)(m_random);
    static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "server", "policy", "update", "agent"};
    auto word = [&] { return std::string(kWords[m_random() % 8]); };
    SetText(node, u"DisplayName", word() + " " + word() + " " + std::to_string(m_random() % 1000));
    const int64_t modified = 1700000000 + static_cast<int64_t>(m_random() % 100000000);
    Check(DxnSetAttribute(node, u"Modified", DXN_TYPE_INT64, &modified, 8), "DxnSetAttribute");
    const uint8_t enabled = m_random() % 2;
    Check(DxnSetAttribute(node, u"Enabled", DXN_TYPE_BOOL, &enabled, 1), "DxnSetAttribute");
    if (count > 3) SetText(node, u"Description", "Level " + std::to_string(level) + " & settings <" + word() + ">");
    if (count > 4) {
      const int32_t weight = static_cast<int32_t>(m_random() % 100000) - 50000;
      Check(DxnSetAttribute(node, u"Weight", DXN_TYPE_INT32, &weight, 4), "DxnSetAttribute");
    }
    if (count > 5) {
      std::u16string list = Utf16(word()) + u'\0' + Utf16(word()) + u'\0' + Utf16(word()) + u'\0';
      Check(DxnSetAttribute(node, u"Tags", DXN_TYPE_TEXT_LIST, list.data(), static_cast<uint32_t>(list.size() * 2)),
            "DxnSetAttribute");
    }
  }

  std::mt19937 m_random;
  size_t m_remaining = 0;
};

DxnResult AppendTo(const void* data, uint32_t count, void* context) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), count);
  return DXN_S_OK;
}

// Into a string whose capacity is kept between rounds, as pugixml's below.
void WriteNodeText(IDXNode* root, std::string& text) {
  text.clear();
  DxnSerializationContext* context = nullptr;
  Check(DxnStartSerialization(DXNSerializationType_NodeText, DXN_SERIALIZE_FORMATTED, &AppendTo, &text, &context),
        "DxnStartSerialization");
  Check(DxnSerializeNodes(context, &root, 1, DXN_DEPTH_SUBTREE), "DxnSerializeNodes");
  Check(DxnFinalizeSerialization(context), "DxnFinalizeSerialization");
  DxnCloseSerializationContext(context);
}

std::string WriteNodeText(IDXNode* root) {
  std::string text;
  WriteNodeText(root, text);
  return text;
}

struct MemorySource {
  const std::string* text;
  size_t offset;
};

DxnResult ReadFrom(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* context) {
  auto* source = static_cast<MemorySource*>(context);
  const size_t count = std::min<size_t>(capacity, source->text->size() - source->offset);
  std::memcpy(buffer, source->text->data() + source->offset, count);
  source->offset += count;
  *bytesRead = static_cast<uint32_t>(count);
  return DXN_S_OK;
}

std::vector<IDXNode*> ReadNodeText(const std::string& text) {
  MemorySource source{&text, 0};
  DxnDeserializationContext* context = nullptr;
  Check(DxnStartDeserialization(DXNSerializationType_NodeText, 0, &ReadFrom, &source, &context),
        "DxnStartDeserialization");
  std::vector<IDXNode*> nodes;
  IDXNode* batch[10];
  uint32_t count = 0;
  do {
    Check(DxnDeserializeNodes(context, batch, 10, &count), "DxnDeserializeNodes");
    nodes.insert(nodes.end(), batch, batch + count);
  } while (count == 10);
  DxnCloseDeserializationContext(context);
  return nodes;
}

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

// Heap bytes in use, large blocks (which glibc maps separately) included.
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Every block comes from the one heap, which is never given back to the
// system: after the warm-up round both libraries run on memory that is
// already mapped, instead of paying page faults on memory freed and fetched
// again each round (the faults each round still takes are reported).
void KeepTheHeapWarm() {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  mallopt(M_TOP_PAD, 64 << 20);
}

// --store-only: the node store's rounds alone, for profiling.
bool g_storeOnly = false;

long MinorFaults() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

struct Measure {
  double best = 1e30;
  long faults = 0;  // minor page faults of the best round
  long maxFaults = 0;
};

template <typename Run>
void Time(Measure& measure, Run&& run) {
  const long faultsBefore = MinorFaults();
  const auto start = Clock::now();
  run();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long faults = MinorFaults() - faultsBefore;
  if (seconds < measure.best) {
    measure.best = seconds;
    measure.faults = faults;
  }
  measure.maxFaults = std::max(measure.maxFaults, faults);
}

// One warm-up round, then rounds in which both libraries run back to back,
// the first of the two alternating, so that both see the same heap and the
// same machine load.
template <typename Store, typename Pugi>
void Alternate(int rounds, Measure& store, Measure& pugi, Store&& runStore, Pugi&& runPugi) {
  runStore();
  if (!g_storeOnly) runPugi();
  for (int round = 0; round < rounds; ++round) {
    if (g_storeOnly) {
      Time(store, runStore);
    } else if (round % 2 == 0) {
      Time(store, runStore);
      Time(pugi, runPugi);
    } else {
      Time(pugi, runPugi);
      Time(store, runStore);
    }
  }
}

void Report(const char* what, const char* library, size_t bytes, size_t nodes, const Measure& measure) {
  const double seconds = measure.best;
  std::printf("  %-6s %-9s %9.2f ms %8.1f MB/s %6.2f M nodes/s %7.1f ns/node %9ld faults (most %ld)\n", what, library,
              seconds * 1e3, bytes / seconds / 1e6, nodes / seconds / 1e6, seconds * 1e9 / nodes, measure.faults,
              measure.maxFaults);
}

void RunSize(size_t nodeCount, int rounds) {
  DocumentBuilder builder(12345);
  IDXNode* tree = builder.Build(nodeCount);
  const std::string text = WriteNodeText(tree);
  std::printf("%zu nodes, %.1f MB of node text (best of %d rounds after a warm-up round)\n", nodeCount,
              text.size() / 1e6, rounds);

  // Parsing: the store builds its trees from the text handed over through
  // its read callback (one copy into the store); pugixml its DOM from its
  // own copy of the same text (load_buffer copies as well). Tearing the
  // result down is part of each round.
  Measure parseStore, parsePugi;
  Alternate(
      rounds, parseStore, parsePugi,
      [&] {
        for (IDXNode* node : ReadNodeText(text)) DxnCloseNodeHandle(node);
      },
      [&] {
        pugi::xml_document document;
        if (!document.load_buffer(text.data(), text.size())) std::exit(1);
      });
  Report("parse", "DataLayer", text.size(), nodeCount, parseStore);
  Report("parse", "pugixml", text.size(), nodeCount, parsePugi);

  // Writing: the store from its tree; pugixml from its DOM, indented the
  // same; both into a string whose capacity is kept between rounds.
  pugi::xml_document document;
  document.load_buffer(text.data(), text.size());
  std::string written;
  StringWriter pugiText;
  Measure writeStore, writePugi;
  Alternate(
      rounds, writeStore, writePugi, [&] { WriteNodeText(tree, written); },
      [&] {
        pugiText.text.clear();
        document.save(pugiText, "  ", pugi::format_indent | pugi::format_no_declaration);
      });
  if (written != text) std::exit(2);
  Report("write", "DataLayer", text.size(), nodeCount, writeStore);
  Report("write", "pugixml", pugiText.text.size(), nodeCount, writePugi);
  std::printf("  time DataLayer/pugixml: parse %.2f, write %.2f\n", parseStore.best / parsePugi.best,
              writeStore.best / writePugi.best);
  document.reset();

  // Memory held per node once the text is parsed (the input text excluded
  // for the store; pugixml parses in place and keeps its copy of the text).
  const size_t before = HeapInUse();
  std::vector<IDXNode*> nodes = ReadNodeText(text);
  const size_t store = HeapInUse() - before;
  for (IDXNode* node : nodes) DxnCloseNodeHandle(node);
  const size_t beforePugi = HeapInUse();
  {
    pugi::xml_document parsed;
    parsed.load_buffer(text.data(), text.size());
    const size_t pugi = HeapInUse() - beforePugi;
    std::printf("  memory per node: DataLayer %.0f B, pugixml %.0f B (text %.0f B per node)\n\n",
                static_cast<double>(store) / nodeCount, static_cast<double>(pugi) / nodeCount,
                static_cast<double>(text.size()) / nodeCount);
  }
  DxnCloseNodeHandle(tree);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes = {10000, 100000, 1000000};
  int rounds = 7;
  std::vector<size_t> given;
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--store-only") == 0) {
      g_storeOnly = true;
    } else if (std::strncmp(argv[index], "--rounds=", 9) == 0) {
      rounds = std::max(1, std::atoi(argv[index] + 9));
    } else {
      given.push_back(std::strtoull(argv[index], nullptr, 10));
    }
  }
  if (!given.empty()) sizes = given;
  KeepTheHeapWarm();
  std::printf("Node text benchmark: DataLayer against pugixml %d.%d on the same documents\n", PUGIXML_VERSION / 1000,
              PUGIXML_VERSION % 1000 / 10);
  std::printf(
      "Heap: glibc malloc without mmap (M_MMAP_MAX 0) and never trimmed (M_TRIM_THRESHOLD INT_MAX),\n"
      "so rounds after the warm-up reuse mapped memory; the two libraries alternate within each round.\n"
      "Faults: minor page faults of the best round (and the most in any round).\n\n");
  for (const size_t size : sizes) RunSize(size, rounds);
  return 0;
}
