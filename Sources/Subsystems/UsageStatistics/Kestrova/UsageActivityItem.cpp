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
  FramePerValue(TerminatedText name, ActivityFrameList& frames) : m_name(name), m_frames(frames) {}
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { m_frames.push_back(MakeActivityItem(m_name, value)); }
  // The engine's views end before a NUL.
  void OnValue(std::wstring_view value) override {
    m_frames.push_back(MakeActivityItem(m_name, TerminatedText::Promised(value)));
  }

 private:
  TerminatedText m_name;
  ActivityFrameList& m_frames;
};

// The values packed as a list attribute holds them: each followed by a NUL.
class PackedValues final : public ISourceVisitor {
 public:
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { OnValue(std::wstring_view(value)); }
  void OnValue(std::wstring_view value) override {
    m_packed.Append(value);
    m_packed.Append(L'\0');
  }
  std::wstring_view Packed() const noexcept { return m_packed.View(); }

 private:
  TextBuffer m_packed;
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
  TextBuffer nameValue;
  const TerminatedText name = m_nameSource.FirstValue(source, nameValue);
  switch (m_itemType) {
    case kFirstValue: {
      TextBuffer value;
      frames.push_back(MakeActivityItem(name, m_valueSource.FirstValue(source, value)));
      break;
    }
    case kValueList: {
      DXNodePtr frame = MakeActivityFrame(name);
      PackedValues values;
      m_valueSource.Evaluate(source, values);
      frame.SetPackedStringList(kFrameValue, values.Packed());
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
