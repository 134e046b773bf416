#include "ConfigSnapshotEntry.h"

#include "UsageActivityItemsSet.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/FunctionTracer.h"
#include "node/ConfigServerAccess.h"
#include "node/NodeDump.h"
#include "node/NodePaths.h"
#include "node/ValueFormats.h"

#include <limits>
#include <new>
#include <string_view>
#include <vector>

namespace UsageStatistics {

namespace {

constexpr wchar_t kStatusType[] = L"ConfigSnapshotStatus";
constexpr wchar_t kLastSnapshotTime[] = L"LastSnapshotTime";
constexpr wchar_t kLastModifiedBy[] = L"LastModifiedBy";
constexpr wchar_t kUnknownSubject[] = L"Unknown";
constexpr wchar_t kModificationNode[] = L"ConfigModification";
constexpr wchar_t kSnapshotMarker[] = L"Snapshot";
constexpr wchar_t kModifiedByItem[] = L"ModifiedBy";
constexpr wchar_t kChangeTypeItem[] = L"ChangeType";

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;

// A stored time as a time point. Times the clock cannot represent are
// clamped so that they still make the next snapshot due: a far past one
// counts as never, a far future one as the latest time there is.
TimePoint TimePointFromTimeT(int64_t seconds) {
  using Seconds = std::chrono::duration<int64_t>;
  constexpr int64_t kMaxSeconds = std::chrono::duration_cast<Seconds>(TimePoint::duration::max()).count();
  constexpr int64_t kMinSeconds = std::chrono::duration_cast<Seconds>(TimePoint::duration::min()).count();
  if (seconds >= kMaxSeconds) return TimePoint::max();
  if (seconds <= kMinSeconds) return TimePoint{};
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(Seconds(seconds)));
}

int64_t TimeTFromTimePoint(TimePoint time) {
  return std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
}

// Whole seconds from earlier to later (earlier <= later), rounded down,
// without forming a difference that could overflow the clock's duration.
int64_t WholeSecondsBetween(TimePoint earlier, TimePoint later) {
  const auto laterSeconds = std::chrono::floor<std::chrono::seconds>(later.time_since_epoch());
  const auto earlierSeconds = std::chrono::floor<std::chrono::seconds>(earlier.time_since_epoch());
  const auto laterFraction = later.time_since_epoch() - laterSeconds;
  const auto earlierFraction = earlier.time_since_epoch() - earlierSeconds;
  return (laterSeconds.count() - earlierSeconds.count()) - (laterFraction < earlierFraction ? 1 : 0);
}

// The split of a "ConfigPath": the plain leading names, and the rest from
// the first wildcard, reference, filter or empty element on.
NodePaths::BaseAndPattern SplitPattern(const std::wstring& configPath) {
  if (configPath.empty() || configPath.front() != NodePaths::kSeparator) ThrowHr(HrFromWin32(ERROR_INVALID_DATA));
  return NodePaths::SplitAtFirstPattern(configPath);
}

struct ModificationRecord {
  std::wstring_view relativePath;
  uint32_t mask;
  const DXNodePtr& content;
};

// Attributes and type of the content replace those of target; children of
// the content that target lacks are added, the others stay as they are. In
// diff mode a "ConfigModification" child lists the attributes that changed.
void ApplyContent(const DXNodePtr& target, const DXNodePtr& content, bool diffMode) {
  std::vector<uint8_t> scratch;
  if (diffMode) {
    const DXNodePtr changes = DXNodePtr::Create(kModificationNode, nullptr);
    if (!target.GetAttributeNames().empty()) {
      for (const std::wstring& name : content.GetAttributeNames()) {
        if (AttributesEqual(name.c_str(), content, target, 0)) continue;
        const DXNodePtr changed = DXNodePtr::Create(name.c_str(), name.c_str());
        CopyAttribute(name.c_str(), content, L"Value", changed, scratch);
        changes.AddChild(changed);
      }
    }
    target.AddChild(changes);
  }
  target.DeleteAttribute(nullptr, true);
  for (const std::wstring& name : content.GetAttributeNames()) CopyAttribute(name.c_str(), content, target, scratch);
  target.SetType(content.GetType().c_str());
  content.ForEachChild([&](const DXNodePtr& child) {
    if (!target.GetChild(child.GetName(), false)) target.AddChild(child.Clone());
  });
}

// The edit shared by the snapshot and the diff tree: walks (creating what is
// missing) to the modified node, then applies the content or the removal.
void ApplyModification(const DXNodePtr& root, const ModificationRecord& record, bool diffMode) {
  KTRACE_SCOPE(LogSeverity::Dbg2, LogSeverity::Dbg2, L"UsageStatistics::ApplyModification");
  const bool removal = (record.mask & CConfigSnapshotEntry::kRemoved) != 0;
  DXNodePtr parent = root;
  DXNodePtr target = root;
  std::wstring_view rest = record.relativePath;
  if (!rest.empty() && rest.front() == NodePaths::kSeparator) rest.remove_prefix(1);
  while (!rest.empty()) {
    const size_t separator = rest.find(NodePaths::kSeparator);
    const std::wstring name(rest.substr(0, separator));
    rest = separator == std::wstring_view::npos ? std::wstring_view() : rest.substr(separator + 1);
    parent = target;
    target = parent.GetChild(name, false);
    if (!target) {
      // Removing what the snapshot does not hold changes nothing: no typeless
      // ancestors are made for it, which later snapshots would report.
      if (removal && !diffMode) return;
      target = DXNodePtr::Create(name.c_str(), nullptr);
      parent.AddChild(target);
    }
  }
  if (!removal) {
    // Without content only the path is known: the nodes on it stay as they are.
    if (record.content) ApplyContent(target, record.content, diffMode);
  } else if (diffMode) {
    target.AddChild(DXNodePtr::Create(kModificationNode, nullptr));
  } else if (!NodePaths::IsBaseNodePath(record.relativePath)) {
    parent.RemoveChild(target);  // the base node itself is no child of itself: nothing to remove it from
  }
}

// "ConfigModification" holding a "Snapshot" node with "Value" "Snapshot".
DXNodePtr MakeSnapshotMarker() {
  const DXNodePtr marker = DXNodePtr::Create(kModificationNode, nullptr);
  const DXNodePtr snapshot = DXNodePtr::Create(kSnapshotMarker, kSnapshotMarker);
  snapshot.SetString(L"Value", kSnapshotMarker);
  marker.AddChild(snapshot);
  return marker;
}

}  // namespace

CConfigSnapshotEntry::CConfigSnapshotEntry(const DXNodePtr& settings, const std::wstring& statusRootPath,
                                           const CompPtr<IDXConfigServerComponent>& server)
    : m_component(server) {
  settings.EnsureValid();
  const std::wstring name = settings.GetName();
  m_id = ValueFormats::GuidFromString(name.c_str());
  m_snapshotsOnly = settings.GetBool(L"SnapshotsOnly", false);
  m_sendIntervalHours = static_cast<uint32_t>(settings.GetInt64(L"SendIntervalHours"));

  m_statusPath = statusRootPath;
  NodePaths::AppendPathElements(m_statusPath, name);

  m_lastModifiedBy = kUnknownSubject;
  if (const DXNodePtr status = ReadConfigNode(ConfigServer().Get(), m_statusPath, false)) {
    const std::wstring lastSnapshot = status.GetString(kLastSnapshotTime, std::wstring());
    if (!lastSnapshot.empty())
      m_lastSnapshotTime = TimePointFromTimeT(ValueFormats::IsoStringToTime(lastSnapshot.c_str()));
    m_lastModifiedBy = status.GetString(kLastModifiedBy, kUnknownSubject);
  }

  const NodePaths::BaseAndPattern split = SplitPattern(settings.GetString(L"ConfigPath"));
  m_basePath = split.basePath;

  const DXNodePtr entryConfiguration = settings.Clone();
  entryConfiguration.SetString(L"ConfigPath", split.patternPath);
  m_activityEntry = std::make_unique<CUsageActivityItemsSet>(entryConfiguration);

  m_snapshot = ReadConfigNode(ConfigServer().Get(), m_basePath, true);
}

CConfigSnapshotEntry::~CConfigSnapshotEntry() = default;

const wchar_t* CConfigSnapshotEntry::ChangeTypeText(uint32_t mask) noexcept {
  if ((mask & kModified) != 0) return L"Modified";
  if ((mask & kRemoved) != 0) return L"Removed";
  if ((mask & kAdded) != 0) return L"Added";
  return L"";
}

ActivityFrameList CConfigSnapshotEntry::ProcessModification(const DXNodePtr& notification) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CConfigSnapshotEntry::ProcessModification");
  KLOG_DBG(L"Process modification: " << notification);
  if (m_snapshotsOnly) return {};

  const std::wstring modifiedPath = notification.GetString(L"ModifiedPath");
  const auto mask = static_cast<uint32_t>(notification.GetInt64(L"ModifyMask"));
  const std::wstring subject = notification.GetString(L"SubjectDisplayName");
  const DXNodePtr content = notification.GetChild(0u, false);

  // Before the snapshot changes: the frames describe the change against it.
  ActivityFrameList frames = MakeModificationFrame(modifiedPath, mask, subject, content);

  // A removal needs no content: servers report removals without one, and the
  // snapshot must still lose the node.
  const bool applicable = (mask & kRemoved) != 0 || content;
  if (mask == 0 || !applicable || !NodePaths::IsPathUnder(modifiedPath, m_basePath)) return frames;
  const std::wstring relativePath = modifiedPath.substr(m_basePath.size());
  // The tracked node itself removed: the snapshot has nothing to remove it
  // from. Its frames report the removal; snapshot and status stay.
  if ((mask & kRemoved) != 0 && NodePaths::IsBaseNodePath(relativePath)) return frames;

  // The snapshot first: a failed status write must not leave it behind the
  // configuration, or every later diff and snapshot would report the old one.
  IntApplyModification({relativePath, mask, content});

  m_lastModifiedBy = subject;
  const DXNodePtr status = MakeStatusNode();
  status.SetString(kLastModifiedBy, m_lastModifiedBy);
  WriteStatus(status);
  return frames;
}

ActivityFrameList CConfigSnapshotEntry::MakeModificationFrame(const std::wstring& modifiedPath, uint32_t mask,
                                                              const std::wstring& subject,
                                                              const DXNodePtr& content) noexcept {
  ActivityFrameList frames;
  try {
    KTRACE_SCOPE(LogSeverity::Dbg3, LogSeverity::Dbg3, L"UsageStatistics::CConfigSnapshotEntry::MakeModificationFrame");
    // A path outside the base has no place in the snapshot: cutting the base's
    // length off it would name an unrelated node.
    if (!NodePaths::IsPathUnder(modifiedPath, m_basePath)) ThrowHr(E_INVALIDARG);
    const std::wstring_view relativePath = std::wstring_view(modifiedPath).substr(m_basePath.size());
    const DXNodePtr diff = m_snapshot.Clone(0);
    ApplyModification(diff, {relativePath, mask, content}, true);
    KLOG_DBG2(L"Diff node: " << diff);

    frames = m_activityEntry->ResolveActivityEntry(diff);
    if (frames.empty()) KLOG_DBG(L"ResolveActivityEntry return empty frame.");
    for (const DXNodePtr& frame : frames) {
      frame.AddChild(MakeActivityItem(kModifiedByItem, subject));
      frame.AddChild(MakeActivityItem(kChangeTypeItem, ChangeTypeText(mask)));
      KLOG_DBG2(L"Resolved node: " << frame);
    }
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"Make modification frame for path: " << modifiedPath << L" failed due to: " << failure);
  }
  return frames;
}

void CConfigSnapshotEntry::IntApplyModification(const Modification& modification) {
  KTRACE_SCOPE(LogSeverity::Dbg2, LogSeverity::Dbg2, L"UsageStatistics::CConfigSnapshotEntry::IntApplyModification");
  ApplyModification(m_snapshot, {modification.relativePath, modification.mask, modification.content}, false);
}

bool CConfigSnapshotEntry::IsSnapshotDue(TimePoint now) {
  std::lock_guard lock(m_lock);
  if (m_lastSnapshotTime == TimePoint{}) return true;
  if (m_lastSnapshotTime > now) return true;  // the clock went back
  const int64_t elapsedSeconds = WholeSecondsBetween(m_lastSnapshotTime, now);
  return elapsedSeconds > static_cast<int64_t>(m_sendIntervalHours) * 3600;
}

ActivityFrameList CConfigSnapshotEntry::CreateSnapshot(TimePoint now) {
  ActivityFrameList frames;
  CreateSnapshot(now, frames);
  return frames;
}

void CConfigSnapshotEntry::CreateSnapshot(TimePoint now, ActivityFrameList& frames) {
  std::lock_guard lock(m_lock);
  try {
    KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"UsageStatistics::CConfigSnapshotEntry::CreateSnapshot");
    const DXNodePtr marker = MakeSnapshotMarker();
    const DXNodePtr copy = m_snapshot.Clone();
    copy.ForEachChild([&](const DXNodePtr& child) { child.AddChild(marker.Clone()); });

    ActivityFrameList resolved = m_activityEntry->ResolveActivityEntry(copy);
    for (const DXNodePtr& frame : resolved) {
      frame.AddChild(MakeActivityItem(kModifiedByItem, m_lastModifiedBy));
      frame.AddChild(MakeActivityItem(kChangeTypeItem, kSnapshotMarker));
    }
    // Handed out before the status write: the snapshot time moves on even
    // when the write fails, so frames dropped here would never be reported.
    frames = std::move(resolved);

    m_lastSnapshotTime = now;
    const DXNodePtr status = MakeStatusNode();
    status.SetString(kLastSnapshotTime, ValueFormats::TimeToIsoString(TimeTFromTimePoint(now)));
    status.SetString(kLastModifiedBy, m_lastModifiedBy);
    WriteStatus(status);
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"UsageStatistics::CConfigSnapshotEntry::CreateSnapshot failed: " << failure);
    throw;
  }
}

CConfigSnapshotEntry::TimePoint CConfigSnapshotEntry::LastSnapshotTime() const {
  std::lock_guard lock(m_lock);
  return m_lastSnapshotTime;
}

std::wstring CConfigSnapshotEntry::LastModifiedBy() const {
  std::lock_guard lock(m_lock);
  return m_lastModifiedBy;
}

DXNodePtr CConfigSnapshotEntry::Snapshot() const { return m_snapshot; }

CompPtr<IDXConfigServer> CConfigSnapshotEntry::ConfigServer() const {
  if (!m_component) ThrowHr(E_POINTER);
  CompPtr<IDXConfigServer> server;
  ThrowIfFailed(m_component->GetConfigServerInterface(IID_IDXConfigServer, server.PutVoid()));
  if (!server) ThrowHr(E_POINTER);
  return server;
}

DXNodePtr CConfigSnapshotEntry::MakeStatusNode() const { return DXNodePtr::Create(m_statusPath.c_str(), kStatusType); }

void CConfigSnapshotEntry::WriteStatus(const DXNodePtr& status) const { WriteConfigNode(ConfigServer().Get(), status); }

}  // namespace UsageStatistics
