// The source language of activity rules: a source is a literal value or a
// backslash path walked from a source node to nodes or text values.
#pragma once

#include "node/DXNodePtr.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace UsageStatistics {

// Receives the results of one evaluation, in evaluation order. The engine
// hands each value over as an rvalue: a visitor that keeps values overrides
// the rvalue form and takes the text instead of copying it.
class ISourceVisitor {
 public:
  virtual void OnNode(const DXNodePtr& node) = 0;
  virtual void OnValue(const std::wstring& value) = 0;
  virtual void OnValue(std::wstring&& value) { OnValue(static_cast<const std::wstring&>(value)); }
  virtual ~ISourceVisitor() = default;
};

// Keeps the values, ignores the nodes.
class ValuesCollector final : public ISourceVisitor {
 public:
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { m_values.push_back(value); }
  void OnValue(std::wstring&& value) override { m_values.push_back(std::move(value)); }
  const std::vector<std::wstring>& Values() const noexcept { return m_values; }
  std::vector<std::wstring>& Values() noexcept { return m_values; }

 private:
  std::vector<std::wstring> m_values;
};

// Keeps the first value only, ignores the nodes: what ResolveFirstValue asks for.
class FirstValueCollector final : public ISourceVisitor {
 public:
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override {
    if (!m_found) Take(std::wstring(value));
  }
  void OnValue(std::wstring&& value) override {
    if (!m_found) Take(std::move(value));
  }
  bool Found() const noexcept { return m_found; }
  // The first value, or the empty text when there was none.
  std::wstring& Value() noexcept { return m_value; }

 private:
  void Take(std::wstring&& value) {
    m_value = std::move(value);
    m_found = true;
  }
  std::wstring m_value;
  bool m_found = false;
};

// The parsed form of a bracketed path element: [left=='value'] or [left!='value'].
struct PathPredicate {
  enum class Operator { Equal, NotEqual };
  std::wstring leftPath;
  std::wstring value;
  Operator op = Operator::Equal;

  // Raises 0x8007000D for a malformed filter text.
  static PathPredicate Parse(std::wstring_view inner);
};

// True for a non-empty text that does not start with a backslash and is a
// plain child-name element.
bool IsLiteralSource(std::wstring_view source);

// Elements of a source path, as many as the configuration store's paths may
// have; the walk recurses once per wildcard element.
inline constexpr size_t kMaxSourcePathElements = 256;

// A literal yields itself as one value; anything else is walked as a path.
// A path of more than kMaxSourcePathElements elements raises 0x8007000D.
void EvaluateSource(const DXNodePtr& node, std::wstring_view source, ISourceVisitor& visitor);

// Walks the path from the element at position (0 for the whole path).
void WalkPath(const DXNodePtr& node, std::wstring_view path, size_t position, ISourceVisitor& visitor);

// Takes the element at position and moves position past it; false at the end.
bool NextPathElement(std::wstring_view path, size_t& position, std::wstring_view& element);

// The first value, or the empty text when there is none.
std::wstring ResolveFirstValue(const DXNodePtr& node, std::wstring_view source);
std::vector<std::wstring> ResolveAllValues(const DXNodePtr& node, std::wstring_view source);

}  // namespace UsageStatistics
