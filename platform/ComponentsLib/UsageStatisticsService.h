// UsageStatisticsService: the reference "Service.UsageStatistics". Accepts
// "StoreRequest" nodes and keeps a copy of each frame, in arrival order.
#pragma once

#include "FaultInjector.h"
#include "HostObject.h"
#include "Node.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ComponentsLib {

class UsageStatisticsService final : public HostObject<IDXRequestProcessor, IFaultTarget> {
 public:
  // {4F1C8E62-B7A0-4D35-9C2E-61D8F3A07B5C}
  static constexpr GUID kImplementationIid{
      0x4F1C8E62, 0xB7A0, 0x4D35, {0x9C, 0x2E, 0x61, 0xD8, 0xF3, 0xA0, 0x7B, 0x5C}};

  // *result (when asked for) becomes a "StoreResponse" node whose
  // "Sequence" (64-bit integer) numbers the frame from 1.
  HRESULT ProcessRequest(IDXNode* request, IDXNode** result) override;
  FaultInjector& Faults() override { return m_faults; }

  uint32_t FrameCount();
  HRESULT GetFrame(uint32_t index, IDXNode** frame);
  void ClearFrames();
  HRESULT WaitForFrames(uint32_t count, uint32_t timeoutMs);
  HRESULT AppendToFile(const std::wstring& path, uint32_t* appended);

 protected:
  void* LookupMore(const GUID& iid) override { return SameGuid(iid, kImplementationIid) ? this : nullptr; }

 private:
  FaultInjector m_faults{CLOp_ServiceProcessRequest};
  std::mutex m_lock;
  std::condition_variable m_arrived;
  std::vector<Node> m_frames;
  size_t m_appended = 0;  // frames already appended to a file
  std::mutex m_fileLock;
};

}  // namespace ComponentsLib
