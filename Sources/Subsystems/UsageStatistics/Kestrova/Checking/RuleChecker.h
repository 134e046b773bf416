// Walks a rule tree the way the factory builds it and reports every problem
// the engine would fail on, at construction (Initialize) or when a
// resolution reaches it, and the warnings, one finding each, in the order
// the engine reads the tree. Builds nothing and resolves nothing.
#pragma once

#include "CheckReport.h"
#include "RuleVocabulary.h"

#include "node/DXNodePtr.h"

#include <cstdint>
#include <span>
#include <string>

namespace UsageStatistics::Checking {

class RuleChecker {
 public:
  explicit RuleChecker(CheckReport& report) : m_report(report) {}

  // The items resolver's configuration: every child is an entry. Paths
  // start with the node's own label.
  void CheckRuleList(const DXNodePtr& rules);

  // One entry node and its whole tree, found at path.
  void CheckEntry(const DXNodePtr& entry, const std::wstring& path);

  // An entry node read as the given kind whatever its type, as the snapshot
  // entry reads its set; extraSettings are attributes another reader owns.
  void CheckEntryAs(const DXNodePtr& entry, const std::wstring& path, const KindRule& kind,
                    std::span<const wchar_t* const> extraSettings = {});

  // A node's place among its siblings: its name, or its type and index
  // ("If[2]"), or "[2]" without either.
  static std::wstring NodeLabel(const DXNodePtr& node, uint32_t index);
  static std::wstring ChildPath(const std::wstring& parentPath, const DXNodePtr& child, uint32_t index);
  static std::wstring Quoted(std::wstring_view text);

 private:
  // Leaves a level of nesting that EnterNesting entered.
  struct NestingExit {
    explicit NestingExit(uint32_t& nesting) : m_nesting(nesting) {}
    ~NestingExit() { --m_nesting; }
    NestingExit(const NestingExit&) = delete;
    NestingExit& operator=(const NestingExit&) = delete;
    uint32_t& m_nesting;
  };

  // False (and an error) when the node lies deeper than the engine builds.
  bool EnterNesting(const std::wstring& path);
  void CheckNode(const DXNodePtr& node, const std::wstring& path, const KindRule& kind,
                 std::span<const wchar_t* const> extraSettings);
  void CheckSettings(const DXNodePtr& node, const std::wstring& path, const KindRule& kind,
                     std::span<const wchar_t* const> extraSettings);
  void CheckSetSelection(const DXNodePtr& set, const std::wstring& path);
  void CheckEntries(const DXNodePtr& parent, const std::wstring& path);
  void CheckIfParts(const DXNodePtr& node, const std::wstring& path);
  void CheckConditions(const DXNodePtr& node, const std::wstring& path, const KindRule& kind);
  void CheckCondition(const DXNodePtr& condition, const std::wstring& path);
  void WarnIgnoredChildren(const DXNodePtr& node, const std::wstring& path, const KindRule& kind);

  CheckReport& m_report;
  uint32_t m_nesting = 0;  // entries and conditions around the node being checked
};

}  // namespace UsageStatistics::Checking
