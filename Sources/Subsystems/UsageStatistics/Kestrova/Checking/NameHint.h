// " (did you mean "X"?)" for a name that is close to a known one: the same
// letters in another case, or a typing slip or two away.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace UsageStatistics::Checking {

class NameHint {
 public:
  // The hint text, or the empty text when no candidate is close.
  static std::wstring Suggest(std::wstring_view name, const std::vector<std::wstring_view>& candidates);

  // Edits (insertions, deletions, replacements, swaps of neighbours) between
  // two names, compared ignoring letter case.
  static size_t Distance(std::wstring_view a, std::wstring_view b);
};

}  // namespace UsageStatistics::Checking
