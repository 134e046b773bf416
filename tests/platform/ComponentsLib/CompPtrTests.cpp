// CompPtr: one counted reference, taken or attached, moved and copied.
#include "module/CompPtr.h"

#include <Kestrova/HostServices.h>

#include <gtest/gtest.h>

#include <utility>

namespace {

// A counted object that answers IDXNodeEnum besides the root.
class CountedEnum final : public IDXNodeEnum {
 public:
  uint32_t AddRef() override { return ++references; }
  uint32_t Release() override { return --references; }
  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (memcmp(&iid, &IID_IDXNodeEnum, sizeof(GUID)) != 0 && memcmp(&iid, &IID_IComponentObject, sizeof(GUID)) != 0) {
      return E_NOINTERFACE;
    }
    AddRef();
    *out = static_cast<IDXNodeEnum*>(this);
    return S_OK;
  }
  HRESULT Restart() override { return S_OK; }
  HRESULT Next(IDXNode** node) override {
    *node = nullptr;
    return S_FALSE;
  }
  uint32_t references = 1;
};

TEST(CompPtrTest, FromRawEitherAddsAReferenceOrAttaches) {
  CountedEnum object;
  {
    CompPtr<IDXNodeEnum> added(&object);
    EXPECT_EQ(object.references, 2u);
  }
  EXPECT_EQ(object.references, 1u);
  object.AddRef();
  {
    CompPtr<IDXNodeEnum> attached(&object, false);
    EXPECT_EQ(object.references, 2u);
  }
  EXPECT_EQ(object.references, 1u);
}

TEST(CompPtrTest, CopyMoveAndAssignKeepTheCountRight) {
  CountedEnum object;
  {
    CompPtr<IDXNodeEnum> first(&object);
    CompPtr<IDXNodeEnum> copy(first);
    EXPECT_EQ(object.references, 3u);
    CompPtr<IDXNodeEnum> moved(std::move(copy));
    EXPECT_FALSE(copy);
    EXPECT_EQ(object.references, 3u);
    moved = first;  // same object: one reference traded for another
    EXPECT_EQ(object.references, 3u);
    moved = moved;  // NOLINT: self-assignment keeps the reference
    EXPECT_EQ(object.references, 3u);
    moved = nullptr;
    EXPECT_EQ(object.references, 2u);
    CompPtr<IComponentObject> widened(first);
    EXPECT_EQ(object.references, 3u);
  }
  EXPECT_EQ(object.references, 1u);
}

TEST(CompPtrTest, PutReleasesTheOldReferenceAndDetachHandsItOver) {
  CountedEnum object;
  CompPtr<IDXNodeEnum> holder(&object);
  IDXNodeEnum** slot = holder.Put();
  EXPECT_EQ(object.references, 1u);
  EXPECT_EQ(*slot, nullptr);
  object.AddRef();
  *slot = &object;  // what a function with an out parameter does
  IDXNodeEnum* detached = holder.Detach();
  EXPECT_EQ(detached, &object);
  EXPECT_FALSE(holder);
  EXPECT_EQ(object.references, 2u);
  detached->Release();
}

TEST(CompPtrTest, AsQueriesByTheInterfaceId) {
  CountedEnum object;
  CompPtr<IComponentObject> root(static_cast<IComponentObject*>(&object));
  CompPtr<IDXNodeEnum> asEnum;
  EXPECT_EQ(root.As(asEnum), S_OK);
  EXPECT_EQ(asEnum.Get(), &object);
  CompPtr<IDXRequestProcessor> missing;
  EXPECT_EQ(root.As(missing), E_NOINTERFACE);
  EXPECT_FALSE(missing);
  CompPtr<IComponentObject> empty;
  EXPECT_EQ(empty.As(asEnum), E_POINTER);
  asEnum.Reset();
  root.Reset();
  EXPECT_EQ(object.references, 1u);
}

}  // namespace
