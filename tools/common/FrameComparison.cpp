#include "FrameComparison.h"

#include "FrameTreePrinter.h"
#include "Utf8Text.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace KestrovaTools {

namespace {

constexpr size_t kNoFrame = static_cast<size_t>(-1);
constexpr std::wstring_view kNameAttribute = L"Name";
constexpr std::wstring_view kValueAttribute = L"Value";

using Attributes = std::vector<std::pair<std::wstring, AttributeValue>>;

// One node as read from the store, once: all comparisons then run on memory.
struct Frame {
  std::wstring nodeName;
  std::wstring nodeType;
  Attributes attributes;
  std::vector<size_t> children;  // indexes into the side's frames
  size_t parent = kNoFrame;
  uint32_t position = 0;  // among the parent's children
  uint64_t id = 0;        // equal ids: equal subtrees (both sides share the ids)
};

// Gives each distinct subtree one number: its key holds the node's own
// content and the numbers of its children, so equal frames are found by
// comparing (and sorting) numbers.
class SubtreeIds {
 public:
  uint64_t Of(const Frame& frame, const std::vector<Frame>& frames) {
    std::string key;
    AppendText(key, frame.nodeName);
    AppendText(key, frame.nodeType);
    AppendNumber(key, frame.attributes.size());
    for (const auto& [name, value] : frame.attributes) {
      AppendText(key, name);
      AppendNumber(key, value.type);
      AppendNumber(key, value.bytes.size());
      key.append(reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size());
    }
    AppendNumber(key, frame.children.size());
    for (const size_t child : frame.children) AppendNumber(key, frames[child].id);
    return m_ids.try_emplace(std::move(key), m_ids.size() + 1).first->second;
  }

 private:
  static void AppendNumber(std::string& key, uint64_t number) {
    key.append(reinterpret_cast<const char*>(&number), sizeof(number));
  }
  static void AppendText(std::string& key, std::wstring_view text) {
    AppendNumber(key, text.size());
    key.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  }

  std::unordered_map<std::string, uint64_t> m_ids;
};

// The frames of one container. Read without recursion, so deep nesting costs
// no stack.
class Side {
 public:
  Side(const NodeHandle& container, SubtreeIds& ids) : m_container(container) {
    const uint32_t count = container.ChildCount();
    for (uint32_t index = 0; index < count; ++index) m_top.push_back(Read(container.Child(index), index, ids));
  }

  const Frame& operator[](size_t index) const { return m_frames[index]; }
  const std::vector<size_t>& Top() const { return m_top; }

  // The frame's line of the tree format, read again from the store by its
  // path (only for the one frame a difference names).
  std::string Line(size_t index) const {
    std::vector<uint32_t> path;
    for (size_t at = index; at != kNoFrame; at = m_frames[at].parent) path.push_back(m_frames[at].position);
    NodeHandle node = m_container.Child(path.back());
    for (auto step = path.rbegin() + 1; step != path.rend(); ++step) node = node.Child(*step);
    return FrameLine(node);
  }

 private:
  size_t Read(NodeHandle top, uint32_t position, SubtreeIds& ids) {
    struct Open {
      NodeHandle handle;
      size_t index;
      uint32_t next;
      uint32_t count;
    };
    std::vector<Open> open;
    const auto start = [&](NodeHandle node, size_t parent, uint32_t at) {
      Frame frame;
      frame.nodeName = node.Name();
      frame.nodeType = node.Type();
      for (std::wstring& name : node.AttributeNames()) {
        AttributeValue value = node.Attribute(name);
        frame.attributes.emplace_back(std::move(name), std::move(value));
      }
      frame.parent = parent;
      frame.position = at;
      const size_t index = m_frames.size();
      m_frames.push_back(std::move(frame));
      if (parent != kNoFrame) m_frames[parent].children.push_back(index);
      const uint32_t count = node.ChildCount();
      open.push_back({std::move(node), index, 0, count});
    };
    const size_t first = m_frames.size();
    start(std::move(top), kNoFrame, position);
    while (!open.empty()) {
      Open& last = open.back();
      if (last.next < last.count) {
        const uint32_t at = last.next++;
        const size_t parent = last.index;
        start(last.handle.Child(at), parent, at);  // may move `last`
        continue;
      }
      // Children first: their ids make the parent's.
      Frame& frame = m_frames[last.index];
      frame.id = ids.Of(frame, m_frames);
      open.pop_back();
    }
    return first;
  }

  const NodeHandle& m_container;
  std::vector<Frame> m_frames;
  std::vector<size_t> m_top;
};

const AttributeValue* FindAttribute(const Frame& frame, std::wstring_view name) {
  for (const auto& [attribute, value] : frame.attributes)
    if (attribute == name) return &value;
  return nullptr;
}

bool SameValue(const AttributeValue& left, const AttributeValue& right) {
  return left.type == right.type && left.bytes == right.bytes;
}

bool IsText(const AttributeValue* value) {
  return value != nullptr && (value->type == DXN_TYPE_TEXT || value->type == DXN_TYPE_TEXT_LEGACY);
}

bool IsText(const AttributeValue* value, std::wstring_view text) {
  if (!IsText(value) || value->bytes.size() != (text.size() + 1) * sizeof(wchar_t)) return false;
  return std::memcmp(value->bytes.data(), text.data(), text.size() * sizeof(wchar_t)) == 0 &&
         value->bytes[value->bytes.size() - 1] == 0 && value->bytes[value->bytes.size() - 2] == 0;
}

// The Name a frame goes by, as the tree format shows it (text Names only).
const AttributeValue* NameOf(const Frame& frame) {
  const AttributeValue* name = FindAttribute(frame, kNameAttribute);
  return IsText(name) ? name : nullptr;
}

std::string ShownName(const Frame& frame) {
  const AttributeValue* name = NameOf(frame);
  return name != nullptr ? ValueText(*name) : "(no Name)";
}

bool SameName(const Frame& left, const Frame& right) {
  const AttributeValue* a = NameOf(left);
  const AttributeValue* b = NameOf(right);
  return a == nullptr || b == nullptr ? a == b : SameValue(*a, *b);
}

// Type names as node text writes them.
std::string TypeName(uint16_t type) {
  switch (type) {
    case DXN_TYPE_TEXT:
      return "text";
    case DXN_TYPE_INT32:
      return "int32";
    case DXN_TYPE_INT64:
      return "int64";
    case DXN_TYPE_BOOL:
      return "bool";
    case DXN_TYPE_BINARY:
      return "binary";
    case DXN_TYPE_TEXT_LIST:
      return "textlist";
    case DXN_TYPE_NONE:
      return "none";
    default:
      return std::to_string(type);
  }
}

std::string ValuePair(const AttributeValue& expected, const AttributeValue& actual) {
  if (expected.type != actual.type) {
    return "expected " + TypeName(expected.type) + " " + ValueText(expected) + ", actual " + TypeName(actual.type) +
           " " + ValueText(actual);
  }
  std::string expectedText = ValueText(expected);
  std::string actualText = ValueText(actual);
  // Texts that hide a difference (a bool byte other than 1) say so.
  const char* note = expectedText == actualText ? " (other bytes)" : "";
  return "expected " + expectedText + ", actual " + actualText + note;
}

std::string Position(size_t index) { return std::to_string(index + 1); }

// Where two lists of frames first differ: one frame on one side only, or a pair
// of frames that stand for each other and differ.
struct ListDifference {
  enum Kind { kNone, kMissing, kExtra, kPair } kind = kNone;
  size_t position = 0;  // in the list of the side it names (both for a pair)
  bool reordered = false;
};

class Comparison {
 public:
  Comparison(const NodeHandle& expected, const NodeHandle& actual, const FrameOrder& order)
      : m_expected(expected, m_ids), m_actual(actual, m_ids), m_order(order) {}

  std::optional<std::string> Exact() const { return TopLevel(0, 0); }
  std::optional<std::string> GroupsInAnyOrder() const;

 private:
  // Exact order from expected frame `from` and actual frame `from` on.
  std::optional<std::string> TopLevel(size_t expectedFrom, size_t actualFrom) const;
  ListDifference Lists(const std::vector<size_t>& expected, const std::vector<size_t>& actual) const;
  std::string PairDifference(size_t expected, size_t actual, std::string where, std::string note) const;
  std::string AttributeDifference(const Frame& expected, const Frame& actual) const;
  bool GroupKey(size_t frame, std::pair<int, std::vector<uint8_t>>& key) const;

  SubtreeIds m_ids;
  Side m_expected;
  Side m_actual;
  const FrameOrder& m_order;
};

std::optional<std::string> Comparison::TopLevel(size_t expectedFrom, size_t actualFrom) const {
  const std::vector<size_t> expected(m_expected.Top().begin() + expectedFrom, m_expected.Top().end());
  const std::vector<size_t> actual(m_actual.Top().begin() + actualFrom, m_actual.Top().end());
  const ListDifference difference = Lists(expected, actual);
  switch (difference.kind) {
    case ListDifference::kNone:
      return std::nullopt;
    case ListDifference::kMissing:
      return "frame " + Position(expectedFrom + difference.position) + ": expected " +
             m_expected.Line(expected[difference.position]) + ", not received";
    case ListDifference::kExtra:
      return "frame " + Position(actualFrom + difference.position) +
             ": not expected: " + m_actual.Line(actual[difference.position]);
    case ListDifference::kPair:
      break;
  }
  const size_t frame = expected[difference.position];
  return PairDifference(frame, actual[difference.position],
                        "frame " + Position(expectedFrom + difference.position) + " " + ShownName(m_expected[frame]),
                        difference.reordered ? " (the same frames in another order)" : "");
}

ListDifference Comparison::Lists(const std::vector<size_t>& expected, const std::vector<size_t>& actual) const {
  const auto idOf = [](const Side& side) { return [&side](size_t frame) { return side[frame].id; }; };
  std::vector<uint64_t> expectedIds(expected.size());
  std::vector<uint64_t> actualIds(actual.size());
  std::transform(expected.begin(), expected.end(), expectedIds.begin(), idOf(m_expected));
  std::transform(actual.begin(), actual.end(), actualIds.begin(), idOf(m_actual));

  const size_t k = std::mismatch(expectedIds.begin(), expectedIds.end(), actualIds.begin(), actualIds.end()).first -
                   expectedIds.begin();
  if (k == expected.size() && k == actual.size()) return {};
  if (k == actual.size()) return {ListDifference::kMissing, k};
  if (k == expected.size()) return {ListDifference::kExtra, k};

  // Sorted, not std::is_permutation: thousands of frames stay cheap.
  std::vector<uint64_t> expectedRest(expectedIds.begin() + k, expectedIds.end());
  std::vector<uint64_t> actualRest(actualIds.begin() + k, actualIds.end());
  std::sort(expectedRest.begin(), expectedRest.end());
  std::sort(actualRest.begin(), actualRest.end());
  if (expectedRest == actualRest) return {ListDifference::kPair, k, true};
  const Frame& expectedFrame = m_expected[expected[k]];
  const Frame& actualFrame = m_actual[actual[k]];

  // A frame that comes later on the other side tells which one is left out
  // (frames of one Name are common: one per value); when both do (or
  // neither), frames of one Name are compared as they are.
  const auto later = [k](const std::vector<uint64_t>& ids, uint64_t id) {
    return std::find(ids.begin() + k + 1, ids.end(), id) != ids.end();
  };
  const bool actualLater = later(expectedIds, actualFrame.id);
  const bool expectedLater = later(actualIds, expectedFrame.id);
  if (actualLater != expectedLater) return {actualLater ? ListDifference::kMissing : ListDifference::kExtra, k};
  if (SameName(expectedFrame, actualFrame)) return {ListDifference::kPair, k};
  const auto laterName = [k](const Side& side, const std::vector<size_t>& frames, const Frame& frame) {
    return std::any_of(frames.begin() + k + 1, frames.end(),
                       [&](size_t other) { return SameName(side[other], frame); });
  };
  const bool actualNameLater = laterName(m_expected, expected, actualFrame);
  const bool expectedNameLater = laterName(m_actual, actual, expectedFrame);
  if (actualNameLater != expectedNameLater)
    return {actualNameLater ? ListDifference::kMissing : ListDifference::kExtra, k};
  return {ListDifference::kPair, k};
}

std::string Comparison::PairDifference(size_t expected, size_t actual, std::string where, std::string note) const {
  // Down the first differing pair of items until the difference is found.
  for (;;) {
    const Frame& expectedFrame = m_expected[expected];
    const Frame& actualFrame = m_actual[actual];
    if (expectedFrame.nodeName != actualFrame.nodeName) {
      return where + ": node name: expected " + QuotedUtf8(expectedFrame.nodeName) + ", actual " +
             QuotedUtf8(actualFrame.nodeName) + note;
    }
    if (expectedFrame.nodeType != actualFrame.nodeType) {
      return where + ": node type: expected " + QuotedUtf8(expectedFrame.nodeType) + ", actual " +
             QuotedUtf8(actualFrame.nodeType) + note;
    }
    if (std::string text = AttributeDifference(expectedFrame, actualFrame); !text.empty())
      return where + ": " + text + note;

    const ListDifference items = Lists(expectedFrame.children, actualFrame.children);
    const std::string item = "item " + Position(items.position);
    switch (items.kind) {
      case ListDifference::kNone:  // equal ids have equal content; not reached
        return where + ": differs" + note;
      case ListDifference::kMissing:
        return where + ": " + item + " missing: expected " + m_expected.Line(expectedFrame.children[items.position]) +
               note;
      case ListDifference::kExtra:
        return where + ": " + item + " not expected: " + m_actual.Line(actualFrame.children[items.position]) + note;
      case ListDifference::kPair:
        break;
    }
    expected = expectedFrame.children[items.position];
    actual = actualFrame.children[items.position];
    where += " > " + item + " " + ShownName(m_expected[expected]);
    if (items.reordered && note.empty()) note = " (the same items in another order)";
  }
}

std::string Comparison::AttributeDifference(const Frame& expected, const Frame& actual) const {
  const Attributes& left = expected.attributes;
  const Attributes& right = actual.attributes;
  for (size_t index = 0; index < std::max(left.size(), right.size()); ++index) {
    if (index < left.size() && index < right.size() && left[index].first == right[index].first) {
      if (!SameValue(left[index].second, right[index].second))
        return ToUtf8(left[index].first) + ": " + ValuePair(left[index].second, right[index].second);
      continue;
    }
    if (index < left.size() && FindAttribute(actual, left[index].first) == nullptr)
      return ToUtf8(left[index].first) + " missing (expected " + ValueText(left[index].second) + ")";
    if (index < right.size() && FindAttribute(expected, right[index].first) == nullptr)
      return ToUtf8(right[index].first) + " not expected (actual " + ValueText(right[index].second) + ")";
    const auto names = [](const Attributes& attributes) {
      std::string text;
      for (const auto& [name, value] : attributes) text += (text.empty() ? "" : ", ") + ToUtf8(name);
      return text;
    };
    return "attributes in another order: expected " + names(left) + "; actual " + names(right);
  }
  return {};
}

// The run a top-level expected frame belongs to: (1, "") for a snapshot
// frame, (2, ChangeType and ModifiedBy) for a change; false for a frame that
// stands alone, in order. The module appends the two items last, so the last
// items of those names are read.
bool Comparison::GroupKey(size_t frame, std::pair<int, std::vector<uint8_t>>& key) const {
  const AttributeValue* changeType = nullptr;
  const AttributeValue* modifiedBy = nullptr;
  const std::vector<size_t>& items = m_expected[frame].children;
  for (auto child = items.rbegin(); child != items.rend(); ++child) {
    const Frame& item = m_expected[*child];
    const AttributeValue* name = NameOf(item);
    if (changeType == nullptr && IsText(name, L"ChangeType")) changeType = FindAttribute(item, kValueAttribute);
    if (modifiedBy == nullptr && IsText(name, L"ModifiedBy")) modifiedBy = FindAttribute(item, kValueAttribute);
  }
  if (IsText(changeType, L"Snapshot")) {
    key = {1, {}};
    return m_order.snapshotsInAnyOrder;
  }
  if (!IsText(changeType) || !IsText(modifiedBy)) return false;
  const bool openOrder = std::any_of(m_order.subjectsInAnyOrder.begin(), m_order.subjectsInAnyOrder.end(),
                                     [&](const std::wstring& subject) { return IsText(modifiedBy, subject); });
  if (!openOrder) return false;
  key = {2, changeType->bytes};
  key.second.insert(key.second.end(), modifiedBy->bytes.begin(), modifiedBy->bytes.end());
  return true;
}

std::optional<std::string> Comparison::GroupsInAnyOrder() const {
  const std::vector<size_t>& expected = m_expected.Top();
  const std::vector<size_t>& actual = m_actual.Top();
  std::pair<int, std::vector<uint8_t>> key;
  std::pair<int, std::vector<uint8_t>> nextKey;
  for (size_t begin = 0, end = 0; begin < expected.size(); begin = end) {
    end = begin + 1;
    if (GroupKey(expected[begin], key)) {
      while (end < expected.size() && GroupKey(expected[end], nextKey) && nextKey == key) ++end;
    }
    const size_t actualEnd = std::min(end, actual.size());
    // Pairs (id, position) of both sides, sorted: the frames one side has
    // more of than the other are the unmatched ones.
    const auto sorted = [](const Side& side, const std::vector<size_t>& frames, size_t from, size_t to) {
      std::vector<std::pair<uint64_t, size_t>> ids;
      for (size_t position = from; position < to; ++position) ids.emplace_back(side[frames[position]].id, position);
      std::sort(ids.begin(), ids.end());
      return ids;
    };
    const auto expectedIds = sorted(m_expected, expected, begin, end);
    const auto actualIds = sorted(m_actual, actual, begin, actualEnd);
    std::vector<size_t> unmatchedExpected;
    std::vector<size_t> unmatchedActual;
    for (size_t left = 0, right = 0; left < expectedIds.size() || right < actualIds.size();) {
      if (right == actualIds.size() ||
          (left < expectedIds.size() && expectedIds[left].first < actualIds[right].first)) {
        unmatchedExpected.push_back(expectedIds[left++].second);
      } else if (left == expectedIds.size() || actualIds[right].first < expectedIds[left].first) {
        unmatchedActual.push_back(actualIds[right++].second);
      } else {
        ++left;
        ++right;
      }
    }
    if (unmatchedExpected.empty() && unmatchedActual.empty()) continue;
    // A frame that stands alone is compared like in exact order.
    if (end - begin == 1) return TopLevel(begin, begin);

    std::sort(unmatchedExpected.begin(), unmatchedExpected.end());
    std::sort(unmatchedActual.begin(), unmatchedActual.end());
    const std::string range = "frames " + Position(begin) + " to " + Position(end - 1) + " may come in any order)";
    const size_t missing = unmatchedExpected.front();  // there are at most as many actual frames
    const Frame& missingFrame = m_expected[expected[missing]];
    for (const size_t other : unmatchedActual) {
      if (!SameName(missingFrame, m_actual[actual[other]])) continue;
      const std::string compared = other == missing ? " (" : " (compared with received frame " + Position(other) + "; ";
      return PairDifference(expected[missing], actual[other],
                            "frame " + Position(missing) + " " + ShownName(missingFrame), compared + range);
    }
    // A frame found after the run on the other side was moved, not lost: the
    // other one is the stray. Else the earlier one is reported.
    const auto after = [](const Side& side, const std::vector<size_t>& frames, size_t from, uint64_t id) {
      for (size_t position = from; position < frames.size(); ++position)
        if (side[frames[position]].id == id) return position;
      return kNoFrame;
    };
    const size_t receivedAt = after(m_actual, actual, actualEnd, missingFrame.id);
    if (!unmatchedActual.empty()) {
      const size_t extra = unmatchedActual.front();
      const bool extraLater = after(m_expected, expected, end, m_actual[actual[extra]].id) != kNoFrame;
      if (receivedAt != kNoFrame ? !extraLater : !extraLater && extra < missing)
        return "frame " + Position(extra) + ": not expected: " + m_actual.Line(actual[extra]) + " (" + range;
    }
    const std::string received = receivedAt == kNoFrame ? "not received" : "received as frame " + Position(receivedAt);
    return "frame " + Position(missing) + ": expected " + m_expected.Line(expected[missing]) + ", " + received + " (" +
           range;
  }
  if (actual.size() > expected.size()) {
    return "frame " + Position(expected.size()) + ": not expected: " + m_actual.Line(actual[expected.size()]);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> FirstFrameDifference(const NodeHandle& expected, const NodeHandle& actual,
                                                const FrameOrder& order) {
  const Comparison comparison(expected, actual, order);
  return order.IsExact() ? comparison.Exact() : comparison.GroupsInAnyOrder();
}

}  // namespace KestrovaTools
