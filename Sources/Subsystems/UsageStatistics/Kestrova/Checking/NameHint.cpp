#include "NameHint.h"

#include <algorithm>
#include <cwctype>

namespace UsageStatistics::Checking {

size_t NameHint::Distance(std::wstring_view a, std::wstring_view b) {
  // Optimal string alignment distance over three rows.
  std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const bool same = std::towlower(a[i - 1]) == std::towlower(b[j - 1]);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && std::towlower(a[i - 1]) == std::towlower(b[j - 2]) &&
          std::towlower(a[i - 2]) == std::towlower(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[b.size()];
}

std::wstring NameHint::Suggest(std::wstring_view name, const std::vector<std::wstring_view>& candidates) {
  // Short names are too easily close to anything.
  const size_t allowed = name.size() < 4 ? 0 : name.size() < 8 ? 1 : 2;
  std::wstring_view best;
  size_t bestDistance = allowed + 1;
  for (const std::wstring_view candidate : candidates) {
    if (candidate == name) continue;
    const size_t distance = Distance(name, candidate);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  if (best.empty()) return {};
  return L" (did you mean \"" + std::wstring(best) + L"\"?)";
}

}  // namespace UsageStatistics::Checking
