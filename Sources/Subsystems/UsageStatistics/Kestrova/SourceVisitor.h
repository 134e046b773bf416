// What an evaluation of a source hands over: the nodes a path ends at and
// the text values it reads, in evaluation order.
#pragma once

#include "node/DXNodePtr.h"

#include <string>
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

}  // namespace UsageStatistics
