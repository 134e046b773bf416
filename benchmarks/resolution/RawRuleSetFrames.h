// The frames of the rule set benchmark's rules, built by hand with the raw
// node store calls, every text read into a stack buffer and no rules
// engine; the benchmark checks that they are the resolver's frames, byte for
// byte in node text. Two ways:
// - Reads::AsRulesState: each rule's sources read as the rule states them,
//   every rule on its own (three walks over the users for the counters, the
//   memberships read again for the condition): the store work the engine
//   does, so that the comparison shows the engine's own cost;
// - Reads::Shared: what a programmer would write for this one rule set, each
//   node read once and counts taken from child counts.
#pragma once

#include "RawNode.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace ResolutionBenchmark {

class RawRuleSetFrames {
 public:
  enum class Reads { AsRulesState, Shared };

  // The container of the frames for the source root, as the resolver makes it.
  static RawNode Build(IDXNode* root, Reads reads) {
    RawNode container = RawNode::Create(nullptr, nullptr);
    RawNode users;
    Check(DxnGetChildByName(root, L"Users", users.Put()), "DxnGetChildByName");
    const uint32_t userCount = ChildCount(users.Get());
    if (reads == Reads::AsRulesState) {
      AddCountersAsRulesState(container.Get(), users.Get(), userCount);
    } else {
      AddCountersShared(container.Get(), users.Get(), userCount);
    }
    for (uint32_t u = 0; u < userCount; ++u) AddUser(container.Get(), ChildAt(users.Get(), u).Get(), reads);

    Text mode;
    if (mode.Read(root, L"Mode") && mode.Equals(L"Full")) {
      AddGroup(container.Get(), L"Policies", root, L"Policies", L"Enabled");
    }
    return container;
  }

 private:
  // \Users\*\<name>, \Users\*\[@Role=='Admin']\<name> and \Users\*\Devices\*\@Id,
  // each counted over its own walk.
  static void AddCountersAsRulesState(IDXNode* container, IDXNode* users, uint32_t userCount) {
    int64_t names = 0;
    for (uint32_t u = 0; u < userCount; ++u) {
      Text name;
      name.ReadName(ChildAt(users, u).Get());
      ++names;
    }
    int64_t admins = 0;
    for (uint32_t u = 0; u < userCount; ++u) {
      const RawNode user = ChildAt(users, u);
      Text role;
      role.Read(user.Get(), L"Role");
      if (!role.Equals(L"Admin")) continue;
      Text name;
      name.ReadName(user.Get());
      ++admins;
    }
    int64_t devices = 0;
    for (uint32_t u = 0; u < userCount; ++u) devices += DeviceIds(ChildAt(users, u).Get());
    AddCounters(container, names, admins, devices);
  }

  static void AddCountersShared(IDXNode* container, IDXNode* users, uint32_t userCount) {
    int64_t admins = 0;
    int64_t devices = 0;
    for (uint32_t u = 0; u < userCount; ++u) {
      const RawNode user = ChildAt(users, u);
      Text role;
      if (role.Read(user.Get(), L"Role") && role.Equals(L"Admin")) ++admins;
      devices += DeviceIds(user.Get());
    }
    AddCounters(container, userCount, admins, devices);
  }

  // \list\*\@attribute from node: each child's text, for the children that have one.
  template <typename Visit>
  static void ForEachChildText(IDXNode* node, const wchar_t* list, const wchar_t* attribute, Visit&& visit) {
    RawNode children;
    if (DxnGetChildByName(node, list, children.Put()) < 0) return;
    const uint32_t count = ChildCount(children.Get());
    for (uint32_t index = 0; index < count; ++index) {
      Text text;
      if (text.Read(ChildAt(children.Get(), index).Get(), attribute)) visit(text);
    }
  }

  // The devices of a user that have an "Id": \Devices\*\@Id counted.
  static int64_t DeviceIds(IDXNode* user) {
    int64_t ids = 0;
    ForEachChildText(user, L"Devices", L"Id", [&](const Text&) { ++ids; });
    return ids;
  }

  static void AddCounters(IDXNode* container, int64_t users, int64_t admins, int64_t devices) {
    Frame(container, L"UserCount").SetInt64(L"Value", users);
    Frame(container, L"AdminCount").SetInt64(L"Value", admins);
    Frame(container, L"DeviceCount").SetInt64(L"Value", devices);
  }

  // A text read into a stack buffer; empty when absent.
  struct Text {
    wchar_t data[256] = {};
    uint32_t bytes = 0;  // NUL included

    bool Read(IDXNode* node, const wchar_t* name) {
      static constexpr uint16_t kText = DXN_TYPE_TEXT;
      bytes = sizeof(data);
      if (DxnGetAttribute(node, name, &kText, data, &bytes, nullptr) >= 0) return true;
      Clear();
      return false;
    }
    void ReadName(IDXNode* node) {
      uint32_t characters = sizeof(data) / sizeof(wchar_t);
      Check(DxnGetNodeName(node, DXN_NAME_FORM_NAME, data, &characters), "DxnGetNodeName");
      bytes = characters * sizeof(wchar_t);
    }
    void Clear() {
      data[0] = L'\0';
      bytes = sizeof(wchar_t);
    }
    bool Equals(const wchar_t* text) const { return std::wcscmp(data, text) == 0; }
  };

  class FrameNode : public RawNode {
   public:
    explicit FrameNode(RawNode&& node) : RawNode(std::move(node)) {}
    void SetInt64(const wchar_t* name, int64_t value) const {
      Check(DxnSetAttribute(Get(), name, DXN_TYPE_INT64, &value, sizeof(value)), "DxnSetAttribute");
    }
    void SetText(const wchar_t* name, const Text& text) const {
      Check(DxnSetAttribute(Get(), name, DXN_TYPE_TEXT, text.data, text.bytes), "DxnSetAttribute");
    }
  };

  static uint32_t ChildCount(IDXNode* node) {
    uint32_t count = 0;
    Check(DxnGetChildCount(node, &count), "DxnGetChildCount");
    return count;
  }

  static RawNode ChildAt(IDXNode* node, uint32_t index) {
    RawNode child;
    Check(DxnGetChildByIndex(node, index, child.Put()), "DxnGetChildByIndex");
    return child;
  }

  // A frame with its "Name", added to parent.
  static FrameNode Frame(IDXNode* parent, const wchar_t* name) {
    RawNode frame = RawNode::Create(nullptr, L"UsageActivityFrame");
    Check(DxnSetAttribute(frame.Get(), L"Name", DXN_TYPE_TEXT, name,
                          static_cast<uint32_t>((std::wcslen(name) + 1) * sizeof(wchar_t))),
          "DxnSetAttribute");
    Check(DxnAddChild(parent, frame.Get()), "DxnAddChild");
    return FrameNode(std::move(frame));
  }

  static void Item(IDXNode* parent, const wchar_t* name, const Text& value) {
    Frame(parent, name).SetText(L"Value", value);
  }

  // A group frame named groupName holding, for each child of node's child
  // list, an item named after the child with its attribute's text.
  static void AddGroup(IDXNode* parent, const wchar_t* groupName, IDXNode* node, const wchar_t* list,
                       const wchar_t* attribute) {
    const RawNode group = Frame(parent, groupName);
    RawNode children;
    if (DxnGetChildByName(node, list, children.Put()) < 0) return;
    const uint32_t count = ChildCount(children.Get());
    for (uint32_t index = 0; index < count; ++index) {
      const RawNode child = ChildAt(children.Get(), index);
      Text name;
      name.ReadName(child.Get());
      Text value;
      value.Read(child.Get(), attribute);
      Item(group.Get(), name.data, value);
    }
  }

  // The first value of \Memberships\*\@Group, or the empty text.
  static Text FirstGroup(IDXNode* user) {
    Text first;
    ForEachChildText(user, L"Memberships", L"Group", [&](const Text& group) {
      if (first.bytes == 0) first = group;
    });
    if (first.bytes == 0) first.Clear();
    return first;
  }

  static void AddUser(IDXNode* container, IDXNode* user, Reads reads) {
    Text userName;
    userName.ReadName(user);
    const FrameNode set = Frame(container, userName.data);
    const uint8_t single = 0;
    Check(DxnSetAttribute(set.Get(), L"IsMultiValue", DXN_TYPE_BOOL, &single, 1), "DxnSetAttribute");

    Text enabled;
    enabled.Read(user, L"Enabled");
    Item(set.Get(), L"Enabled", enabled);
    Text role;
    role.Read(user, L"Role");
    Item(set.Get(), L"Role", role);

    // The groups as one list, the first one kept for the condition.
    wchar_t groups[1024];
    uint32_t groupsLength = 0;
    Text firstGroup;
    ForEachChildText(user, L"Memberships", L"Group", [&](const Text& group) {
      if (groupsLength == 0) firstGroup = group;
      std::memcpy(groups + groupsLength, group.data, group.bytes);
      groupsLength += group.bytes / sizeof(wchar_t);
    });
    Check(DxnSetAttribute(Frame(set.Get(), L"Groups").Get(), L"Value", DXN_TYPE_TEXT_LIST,
                          groupsLength == 0 ? nullptr : groups, groupsLength * sizeof(wchar_t)),
          "DxnSetAttribute");

    ForEachChildText(user, L"Devices", L"Os", [&](const Text& os) { Item(set.Get(), L"DeviceOs", os); });
    int64_t deviceCount = 0;
    RawNode devices;
    if (DxnGetChildByName(user, L"Devices", devices.Put()) >= 0) {
      const uint32_t count = ChildCount(devices.Get());
      if (reads == Reads::Shared) {
        deviceCount = count;  // every device has a name
      } else {
        for (uint32_t d = 0; d < count; ++d) {
          Text name;
          name.ReadName(ChildAt(devices.Get(), d).Get());
          ++deviceCount;
        }
      }
    }
    Frame(set.Get(), L"Devices").SetInt64(L"Value", deviceCount);

    AddGroup(set.Get(), L"Profile", user, L"Profile", L"Value");

    bool privileged = false;
    if (reads == Reads::Shared) {
      privileged = role.Equals(L"Admin") || (enabled.Equals(L"1") && firstGroup.Equals(L"Staff"));
    } else {
      // The or, the and and their cases, each reading its own source.
      Text caseRole;
      caseRole.Read(user, L"Role");
      privileged = caseRole.Equals(L"Admin");
      if (!privileged) {
        Text caseEnabled;
        caseEnabled.Read(user, L"Enabled");
        privileged = caseEnabled.Equals(L"1") && FirstGroup(user).Equals(L"Staff");
      }
    }
    Text answer;
    std::wcscpy(answer.data, privileged ? L"yes" : L"no");
    answer.bytes = static_cast<uint32_t>((std::wcslen(answer.data) + 1) * sizeof(wchar_t));
    Item(set.Get(), L"Privileged", answer);
  }
};

}  // namespace ResolutionBenchmark
