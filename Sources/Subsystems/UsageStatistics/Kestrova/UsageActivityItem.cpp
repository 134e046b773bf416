#include "UsageActivityItem.h"

#include "CompiledSource.h"

#include "node/NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/FunctionTracer.h"
#include "node/NodeDump.h"

namespace UsageStatistics {

namespace {

// Makes one frame per value; ignores nodes.
class FramePerValue final : public ISourceVisitor {
 public:
  FramePerValue(const std::wstring& name, ActivityFrameList& frames) : m_name(name), m_frames(frames) {}
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { m_frames.push_back(MakeActivityItem(m_name, value)); }
  void OnValue(std::wstring&& value) override { m_frames.push_back(MakeActivityItem(m_name, value)); }

 private:
  const std::wstring& m_name;
  ActivityFrameList& m_frames;
};

}  // namespace

CUsageActivityItem::CUsageActivityItem(const DXNodePtr& configuration)
    : m_nameSource(configuration.GetString(L"NameSource")), m_valueSource(configuration.GetString(L"ValueSource")) {
  // Absent or untyped: the first-value item.
  if (configuration.HasAttribute(L"ActivityItemType") &&
      configuration.GetAttributeType(L"ActivityItemType") != DXNodePtr::kTypeNone &&
      !configuration.TryGetInt32(L"ActivityItemType", m_itemType)) {
    ThrowHr(NodeErrors::kNotFound);
  }
}

void CUsageActivityItem::AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CUsageActivityItem::ResolveActivityEntry");
  KLOG_DBG2(L"Resolving config node " << source);
  std::wstring nameValue;
  const std::wstring& name = m_nameSource.FirstValue(source, nameValue);
  switch (m_itemType) {
    case kFirstValue:
      frames.push_back(MakeActivityItem(name, m_valueSource.FirstValue(source)));
      break;
    case kValueList: {
      DXNodePtr frame = MakeActivityFrame(name);
      frame.SetStringList(kFrameValue, m_valueSource.AllValues(source));
      frames.push_back(std::move(frame));
      break;
    }
    case kFramePerValue: {
      FramePerValue visitor(name, frames);
      m_valueSource.Evaluate(source, visitor);
      break;
    }
    default:
      KLOG_ERR(L"Invalid activity frame type: " << m_itemType);
      ThrowHr(NodeErrors::kInvalidData);
  }
}

}  // namespace UsageStatistics
