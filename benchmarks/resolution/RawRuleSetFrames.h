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
      const RawNode group = Frame(container.Get(), L"Policies");
      RawNode policies;
      if (DxnGetChildByName(root, L"Policies", policies.Put()) >= 0) {
        const uint32_t count = ChildCount(policies.Get());
        for (uint32_t p = 0; p < count; ++p) {
          const RawNode policy = ChildAt(policies.Get(), p);
          Text name;
          name.ReadName(policy.Get());
          Text enabled;
          enabled.Read(policy.Get(), L"Enabled");
          Item(group.Get(), name.data, enabled);
        }
      }
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
    for (uint32_t u = 0; u < userCount; ++u) {
      RawNode userDevices;
      if (DxnGetChildByName(ChildAt(users, u).Get(), L"Devices", userDevices.Put()) < 0) continue;
      const uint32_t count = ChildCount(userDevices.Get());
      for (uint32_t d = 0; d < count; ++d) {
        Text id;
        if (id.Read(ChildAt(userDevices.Get(), d).Get(), L"Id")) ++devices;
      }
    }
    Frame(container, L"UserCount").SetInt64(L"Value", names);
    Frame(container, L"AdminCount").SetInt64(L"Value", admins);
    Frame(container, L"DeviceCount").SetInt64(L"Value", devices);
  }

  static void AddCountersShared(IDXNode* container, IDXNode* users, uint32_t userCount) {
    int64_t admins = 0;
    int64_t devices = 0;
    for (uint32_t u = 0; u < userCount; ++u) {
      const RawNode user = ChildAt(users, u);
      Text role;
      if (role.Read(user.Get(), L"Role") && role.Equals(L"Admin")) ++admins;
      RawNode userDevices;
      if (DxnGetChildByName(user.Get(), L"Devices", userDevices.Put()) >= 0) {
        const uint32_t count = ChildCount(userDevices.Get());
        for (uint32_t d = 0; d < count; ++d) {
          Text id;
          if (id.Read(ChildAt(userDevices.Get(), d).Get(), L"Id")) ++devices;
        }
      }
    }
    Frame(container, L"UserCount").SetInt64(L"Value", userCount);
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

  // The first value of \Memberships\*\@Group, or the empty text.
  static Text FirstGroup(IDXNode* user) {
    Text first;
    RawNode memberships;
    if (DxnGetChildByName(user, L"Memberships", memberships.Put()) >= 0) {
      const uint32_t count = ChildCount(memberships.Get());
      for (uint32_t m = 0; m < count; ++m) {
        Text group;
        if (group.Read(ChildAt(memberships.Get(), m).Get(), L"Group") && first.bytes == 0) first = group;
      }
    }
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
    RawNode memberships;
    if (DxnGetChildByName(user, L"Memberships", memberships.Put()) >= 0) {
      const uint32_t count = ChildCount(memberships.Get());
      for (uint32_t m = 0; m < count; ++m) {
        Text group;
        if (!group.Read(ChildAt(memberships.Get(), m).Get(), L"Group")) continue;
        if (groupsLength == 0) firstGroup = group;
        std::memcpy(groups + groupsLength, group.data, group.bytes);
        groupsLength += group.bytes / sizeof(wchar_t);
      }
    }
    Check(DxnSetAttribute(Frame(set.Get(), L"Groups").Get(), L"Value", DXN_TYPE_TEXT_LIST,
                          groupsLength == 0 ? nullptr : groups, groupsLength * sizeof(wchar_t)),
          "DxnSetAttribute");

    int64_t deviceCount = 0;
    RawNode devices;
    if (DxnGetChildByName(user, L"Devices", devices.Put()) >= 0) {
      const uint32_t count = ChildCount(devices.Get());
      for (uint32_t d = 0; d < count; ++d) {
        Text os;
        if (os.Read(ChildAt(devices.Get(), d).Get(), L"Os")) Item(set.Get(), L"DeviceOs", os);
      }
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

    const RawNode profileFrame = Frame(set.Get(), L"Profile");
    RawNode profile;
    if (DxnGetChildByName(user, L"Profile", profile.Put()) >= 0) {
      const uint32_t count = ChildCount(profile.Get());
      for (uint32_t s = 0; s < count; ++s) {
        const RawNode setting = ChildAt(profile.Get(), s);
        Text name;
        name.ReadName(setting.Get());
        Text value;
        value.Read(setting.Get(), L"Value");
        Item(profileFrame.Get(), name.data, value);
      }
    }

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
