#include "FrameLedger.h"

namespace Reliability {

std::wstring FrameLedger::KeyOf(const DXNodePtr& frame) {
  std::wstring changeType = L"?";
  std::wstring sequence = L"?";
  frame.ForEachChild([&](const DXNodePtr& item) {
    const std::wstring name = item.GetString(L"Name", L"");
    if (name == L"ChangeType") changeType = item.GetString(L"Value", L"");
    if (name == L"Seq") sequence = item.GetString(L"Value", L"");
  });
  return changeType + L":" + sequence;
}

size_t FrameLedger::MissingCount() const {
  size_t missing = 0;
  for (const std::wstring& key : m_produced) {
    if (!m_delivered.contains(key) && !m_pending.contains(key)) ++missing;
  }
  return missing;
}

std::wstring FrameLedger::Check() const {
  std::wstring problems;
  const auto add = [&](const std::wstring& text) { problems += (problems.empty() ? L"" : L"; ") + text; };
  for (const auto& [key, count] : m_delivered) {
    if (!m_produced.contains(key)) add(L"invented " + key);
    if (count > 1) add(L"delivered twice " + key);
    if (m_pending.contains(key)) add(L"delivered and pending " + key);
  }
  for (const auto& [key, count] : m_pending) {
    if (!m_produced.contains(key)) add(L"invented pending " + key);
    if (count > 1) add(L"pending twice " + key);
  }
  const size_t missing = MissingCount();
  if (m_anyMissingReason.empty() && missing != m_dropped) {
    add(L"missing " + std::to_wstring(missing) + L" but " + std::to_wstring(m_dropped) + L" dropped by the send limit");
  }
  return problems;
}

}  // namespace Reliability
