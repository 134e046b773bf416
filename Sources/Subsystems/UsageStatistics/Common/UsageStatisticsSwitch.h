// The logic shared by the watchers of an on/off switch node (a node with a
// boolean "Enabled"): the product-wide toggle and the frame accumulator.
#pragma once

#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "node/DXNodePtr.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace UsageStatistics::Detail {

// "Enabled" of a switch node; false when the attribute is absent or the node is empty.
bool SwitchNodeEnabled(const DXNodePtr& node);

// The switch node read once before subscribing, through "ConfigServer.Proxy":
// nullopt when the node does not exist; a failed read is logged at WARN and
// gives nullopt too.
std::optional<bool> ReadSwitchNode(const std::wstring& path);

// The sink's two handlers for a switch at path: each calls
// setEnabled(SwitchNodeEnabled(node)) for every record or current-content
// node whose path equals path exactly (case-sensitive).
struct SwitchHandlers {
  CfgSubscriptionsHelpers::ModificationsCallback onModifications;
  CfgSubscriptionsHelpers::NodeCallback onNode;
};
SwitchHandlers MakeSwitchHandlers(std::wstring path, std::function<void(bool)> setEnabled);

// Sets flag to value when it holds the opposite (compare-and-exchange), and
// then logs "Usage statistics tracking set to true|false" at DBG; a flag that
// already holds value is left alone, without a line.
void SetSwitchFlag(std::atomic<bool>& flag, bool value) noexcept;

}  // namespace UsageStatistics::Detail
