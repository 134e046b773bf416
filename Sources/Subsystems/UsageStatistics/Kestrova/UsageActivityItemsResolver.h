// The items resolver: runs a configured list of activity entries on any
// source node and returns their frames in one container node.
#pragma once

#include "module/ComponentRoot.h"

namespace UsageStatistics {

class CUsageActivityItemsResolver : public CComponentRoot, public IUsageActivityItemsResolver {
 public:
  using Interfaces = ComponentInterfaceList<IUsageActivityItemsResolver>;
  static constexpr const char kComponentTag[] =
      "CComponentObject<class UsageStatistics::CUsageActivityItemsResolver>::CComponentObject";

  // IUsageActivityItemsResolver
  HRESULT Initialize(IDXNode* configuration) override;
  HRESULT ResolveActivityItems(IDXNode* source, IDXNode** container) override;
};

}  // namespace UsageStatistics
