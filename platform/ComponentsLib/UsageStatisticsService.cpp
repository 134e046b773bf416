#include "UsageStatisticsService.h"

#include "NodeTextFile.h"
#include "StoreRequestShape.h"

#include <Kestrova/ComponentsLib.h>

#include <algorithm>
#include <chrono>

namespace ComponentsLib {

HRESULT UsageStatisticsService::ProcessRequest(IDXNode* request, IDXNode** result) {
  if (result != nullptr) *result = nullptr;
  if (const HRESULT hr = m_faults.OnCall(CLOp_ServiceProcessRequest); FAILED(hr)) return hr;
  if (const HRESULT hr = StoreRequestShape::Check(request); FAILED(hr)) return hr;
  return Guarded([&] {
    // A copy: the sender may go on changing its frame.
    Node frame = Node::Share(request).Child(0).CopyToDepth(DXN_DEPTH_SUBTREE);
    size_t sequence = 0;
    {
      std::lock_guard lock(m_lock);
      m_frames.push_back(std::move(frame));
      sequence = m_frames.size();
      m_arrived.notify_all();
    }
    if (result != nullptr) {
      Node response = Node::Create(L"StoreResponse", nullptr);
      response.SetInt64(L"Sequence", static_cast<int64_t>(sequence));
      *result = response.Detach();
    }
    return S_OK;
  });
}

uint32_t UsageStatisticsService::FrameCount() {
  std::lock_guard lock(m_lock);
  return static_cast<uint32_t>(m_frames.size());
}

HRESULT UsageStatisticsService::GetFrame(uint32_t index, IDXNode** frame) {
  if (frame == nullptr) return E_POINTER;
  *frame = nullptr;
  return Guarded([&] {
    Node stored;
    {
      std::lock_guard lock(m_lock);
      if (index >= m_frames.size()) return CL_E_NOT_FOUND;
      stored = m_frames[index];
    }
    *frame = stored.CopyToDepth(DXN_DEPTH_SUBTREE).Detach();
    return S_OK;
  });
}

void UsageStatisticsService::ClearFrames() {
  std::vector<Node> released;
  std::lock_guard fileLock(m_fileLock);
  std::lock_guard lock(m_lock);
  released.swap(m_frames);
  m_appended = 0;
}

HRESULT UsageStatisticsService::WaitForFrames(uint32_t count, uint32_t timeoutMs) {
  std::unique_lock lock(m_lock);
  const bool arrived =
      m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= count; });
  return arrived ? S_OK : CL_E_TIMEOUT;
}

HRESULT UsageStatisticsService::AppendToFile(const std::wstring& path, uint32_t* appended) {
  if (appended != nullptr) *appended = 0;
  if (path.empty()) return E_INVALIDARG;
  return Guarded([&] {
    std::lock_guard fileLock(m_fileLock);
    std::vector<Node> fresh;
    size_t end = 0;
    {
      std::lock_guard lock(m_lock);
      end = m_frames.size();
      fresh.assign(m_frames.begin() + static_cast<std::ptrdiff_t>(std::min(m_appended, end)), m_frames.end());
    }
    std::vector<Node> existing;
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) existing = NodeTextFile::Read(path);
    std::vector<IDXNode*> handles;
    for (const Node& node : existing) handles.push_back(node.Get());
    for (const Node& node : fresh) handles.push_back(node.Get());
    NodeTextFile::Write(path, handles);
    {
      std::lock_guard lock(m_lock);
      m_appended = end;
    }
    if (appended != nullptr) *appended = static_cast<uint32_t>(fresh.size());
    return S_OK;
  });
}

}  // namespace ComponentsLib
