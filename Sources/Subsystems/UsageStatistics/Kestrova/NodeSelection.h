// Runs a callable on every node a selection path reaches, in evaluation order.
#pragma once

#include "SourceEvaluation.h"

#include <utility>

namespace UsageStatistics {

template <typename OnSelected>
void ForEachSelectedNode(const DXNodePtr& source, std::wstring_view selectionPath, OnSelected&& onSelected) {
  class Selector final : public ISourceVisitor {
   public:
    explicit Selector(OnSelected& callback) : m_callback(callback) {}
    void OnNode(const DXNodePtr& node) override { m_callback(node); }
    void OnValue(const std::wstring&) override {}

   private:
    OnSelected& m_callback;
  } selector(onSelected);
  EvaluateSource(source, selectionPath, selector);
}

}  // namespace UsageStatistics
