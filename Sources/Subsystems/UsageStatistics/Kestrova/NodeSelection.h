// Runs a callable on every node a selection path reaches, in evaluation order.
#pragma once

#include "CompiledSource.h"

#include <utility>

namespace UsageStatistics {

template <typename OnSelected>
void ForEachSelectedNode(const DXNodePtr& source, const CompiledSource& selectionPath, OnSelected&& onSelected) {
  class Selector final : public ISourceVisitor {
   public:
    explicit Selector(OnSelected& callback) : m_callback(callback) {}
    void OnNode(const DXNodePtr& node) override { m_callback(node); }
    void OnValue(const std::wstring&) override {}
    void OnValue(std::wstring_view) override {}

   private:
    OnSelected& m_callback;
  } selector(onSelected);
  selectionPath.Evaluate(source, selector);
}

}  // namespace UsageStatistics
