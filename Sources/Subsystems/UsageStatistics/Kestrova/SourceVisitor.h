// What an evaluation of a source hands over: the nodes a path ends at and
// the text values it reads, in evaluation order.
#pragma once

#include "node/DXNodePtr.h"
#include "node/TextBuffer.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace UsageStatistics {

// Receives the results of one evaluation, in evaluation order. The engine
// hands every value over as a view of a buffer of its own that lives for the
// call, with a NUL after its last character (TerminatedText::Promised may
// say so): a visitor that does not keep the text (counts it, compares it,
// copies it into a frame) overrides that form and no string is made; by
// default the string is made and handed to the string forms, and a visitor
// that keeps values takes it through the rvalue form without a copy. A value
// read into a buffer of its own comes through the buffer form, whose storage
// a visitor may take over.
class ISourceVisitor {
 public:
  virtual void OnNode(const DXNodePtr& node) = 0;
  virtual void OnValue(const std::wstring& value) = 0;
  virtual void OnValue(std::wstring&& value) { OnValue(static_cast<const std::wstring&>(value)); }
  virtual void OnValue(std::wstring_view value) { OnValue(std::wstring(value)); }
  virtual void OnValue(TextBuffer& value) { OnValue(value.View()); }
  virtual ~ISourceVisitor() = default;
};

// Keeps the values, ignores the nodes.
class ValuesCollector final : public ISourceVisitor {
 public:
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { m_values.push_back(value); }
  void OnValue(std::wstring&& value) override { m_values.push_back(std::move(value)); }
  void OnValue(std::wstring_view value) override { m_values.emplace_back(value); }
  void OnValue(TextBuffer& value) override {
    std::wstring text;
    value.MoveTo(text);
    m_values.push_back(std::move(text));
  }
  const std::vector<std::wstring>& Values() const noexcept { return m_values; }
  std::vector<std::wstring>& Values() noexcept { return m_values; }

 private:
  std::vector<std::wstring> m_values;
};

// Keeps the first value only, in the caller's buffer, ignores the nodes:
// what a first value asks for.
class FirstValueCollector final : public ISourceVisitor {
 public:
  // The value goes into target, which the collector empties first.
  explicit FirstValueCollector(TextBuffer& target) noexcept : m_value(target) { m_value.Clear(); }
  FirstValueCollector(const FirstValueCollector&) = delete;
  FirstValueCollector& operator=(const FirstValueCollector&) = delete;

  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { Take(value); }
  void OnValue(std::wstring&& value) override { Take(value); }
  void OnValue(std::wstring_view value) override { Take(value); }
  void OnValue(TextBuffer& value) override {
    if (m_found) return;
    m_value.TakeFrom(value);
    m_found = true;
  }
  bool Found() const noexcept { return m_found; }
  // The first value, or the empty text when there was none.
  std::wstring_view Value() const noexcept { return m_value.View(); }

 private:
  void Take(std::wstring_view value) {
    if (m_found) return;
    m_value.Assign(value);
    m_found = true;
  }
  TextBuffer& m_value;
  bool m_found = false;
};

}  // namespace UsageStatistics
