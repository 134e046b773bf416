// The items resolver: runs a configured list of activity entries on any
// source node and returns their frames in one container node.
#pragma once

#include "IUsageActivityEntry.h"

#include "module/ComponentRoot.h"

namespace UsageStatistics {

class CUsageActivityItemsResolver : public CComponentRoot, public IUsageActivityItemsResolver {
 public:
  using Interfaces = ComponentInterfaceList<IUsageActivityItemsResolver>;
  static constexpr const char kComponentTag[] =
      "CComponentObject<class UsageStatistics::CUsageActivityItemsResolver>::CComponentObject";

  // IUsageActivityItemsResolver. Initialize must not run concurrently with
  // any other call; resolutions may run concurrently among themselves.
  HRESULT Initialize(IDXNode* configuration) override;
  HRESULT ResolveActivityItems(IDXNode* source, IDXNode** container) override;

 private:
  ActivityEntryList m_entries;
};

}  // namespace UsageStatistics
