// Bounds how deep activity rules may nest. Rules and conditions are built,
// resolved and destroyed recursively, so a rule set nested deeper than any
// frame may be must fail cleanly instead of exhausting the thread's stack.
// Each rule or condition under construction holds a guard on its thread.
#pragma once

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"

#include <cstdint>

namespace UsageStatistics {

class CRuleNestingGuard {
 public:
  // Levels of rules and conditions inside each other; frames nest as deep as
  // their rules, and a usage-statistics service takes frames 64 deep.
  static constexpr uint32_t kMaxDepth = 64;

  // Raises 0x8007000D when the rule being built would lie deeper than kMaxDepth.
  CRuleNestingGuard() {
    if (Depth() >= kMaxDepth) {
      ThrowHr(ReportError(NodeErrors::kInvalidData, L" Activity rules nested deeper than 64 levels."));
    }
    ++Depth();
  }
  ~CRuleNestingGuard() { --Depth(); }
  CRuleNestingGuard(const CRuleNestingGuard&) = delete;
  CRuleNestingGuard& operator=(const CRuleNestingGuard&) = delete;

 private:
  static uint32_t& Depth() noexcept {
    static thread_local uint32_t depth = 0;
    return depth;
  }
};

}  // namespace UsageStatistics
