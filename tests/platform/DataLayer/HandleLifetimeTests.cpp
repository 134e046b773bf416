// Handles are counted references: a node lives while a handle or its parent
// holds it, and a handle anywhere in a tree keeps the tree whole. Under the
// native sanitizers a use after free in these tests fails the run.
#include "DxnTestSupport.h"

#include <atomic>
#include <thread>

namespace {

using namespace DxnTest;

TEST(HandleLifetime, DuplicatesReferToTheSameNodeAndCloseIndependently) {
  Handle original = Create(DXN_TEXT("n"));
  Handle duplicate;
  ASSERT_EQ(DxnDuplicateNodeHandle(original.Get(), duplicate.Out()), DXN_S_OK);
  EXPECT_EQ(duplicate.Get(), original.Get());
  original.Reset();
  // The node is still alive through the duplicate.
  SetText(duplicate.Get(), DXN_TEXT("a"), DXN_TEXT("still here"));
  EXPECT_EQ(ReadTextAttribute(duplicate.Get(), DXN_TEXT("a")), DXN_TEXT("still here"));
}

TEST(HandleLifetime, ParentKeepsChildrenWithoutHandles) {
  Handle root = Create(DXN_TEXT("root"));
  AddNew(root.Get(), DXN_TEXT("a"));  // its handle closes at once
  {
    Handle b = AddNew(root.Get(), DXN_TEXT("b"));
    AddNew(b.Get(), DXN_TEXT("c"));
  }
  Handle b = ChildAt(root.Get(), 1);
  EXPECT_EQ(Name(b.Get()), DXN_TEXT("b"));
  EXPECT_EQ(Path(ChildAt(b.Get(), 0).Get()), DXN_TEXT("\\root\\b\\c"));
}

TEST(HandleLifetime, ChildHandleKeepsTheTreeAfterTheRootHandleCloses) {
  Handle child;
  {
    Handle root = Create(DXN_TEXT("root"));
    Handle middle = AddNew(root.Get(), DXN_TEXT("middle"));
    child = AddNew(middle.Get(), DXN_TEXT("leaf"));
  }
  // Both ancestors are held through the leaf's handle.
  EXPECT_EQ(Path(child.Get()), DXN_TEXT("\\root\\middle\\leaf"));
  Handle middle;
  ASSERT_EQ(DxnGetParent(child.Get(), middle.Out()), DXN_S_OK);
  Handle root;
  ASSERT_EQ(DxnGetParent(middle.Get(), root.Out()), DXN_S_OK);
  EXPECT_EQ(Name(root.Get()), DXN_TEXT("root"));
  // Closing in leaf-first order frees everything (the sanitizer checks leaks).
  child.Reset();
  middle.Reset();
  EXPECT_EQ(ChildCount(root.Get()), 1u);
}

TEST(HandleLifetime, DetachedChildLivesThroughItsHandle) {
  Handle child;
  {
    Handle parent = Create(DXN_TEXT("parent"));
    child = AddNew(parent.Get(), DXN_TEXT("child"));
    AddNew(child.Get(), DXN_TEXT("grandchild"));
    ASSERT_EQ(DxnRemoveChild(parent.Get(), child.Get()), DXN_S_OK);
  }
  EXPECT_EQ(Path(ChildAt(child.Get(), 0).Get()), DXN_TEXT("\\child\\grandchild"));
}

TEST(HandleLifetime, RemovedChildWithoutOtherHandlesDiesWithItsLastHandle) {
  Handle parent = Create(DXN_TEXT("parent"));
  AddNew(parent.Get(), DXN_TEXT("child"));
  Handle child = ChildAt(parent.Get(), 0);
  ASSERT_EQ(DxnRemoveChild(parent.Get(), child.Get()), DXN_S_OK);
  child.Reset();
  EXPECT_EQ(ChildCount(parent.Get()), 0u);
}

TEST(HandleLifetime, MovingASubtreeBetweenTrees) {
  Handle first = Create(DXN_TEXT("first"));
  Handle second = Create(DXN_TEXT("second"));
  Handle moving = AddNew(first.Get(), DXN_TEXT("moving"));
  Handle below = AddNew(moving.Get(), DXN_TEXT("below"));
  ASSERT_EQ(DxnRemoveChild(first.Get(), moving.Get()), DXN_S_OK);
  ASSERT_EQ(DxnAddChild(second.Get(), moving.Get()), DXN_S_OK);
  first.Reset();
  moving.Reset();
  EXPECT_EQ(Path(below.Get()), DXN_TEXT("\\second\\moving\\below"));
  second.Reset();
  EXPECT_EQ(Path(below.Get()), DXN_TEXT("\\second\\moving\\below"));
}

TEST(HandleLifetime, ClosingAHandleTwiceIsRefusedWhileTheNodeLives) {
  Handle parent = Create(DXN_TEXT("parent"));
  IDXNode* child = AddNew(parent.Get(), DXN_TEXT("child")).Release();
  ASSERT_EQ(DxnCloseNodeHandle(child), DXN_S_OK);
  // The parent still keeps the child, which has no handle left.
  EXPECT_EQ(DxnCloseNodeHandle(child), DXN_E_INVALIDARG);
  EXPECT_EQ(ChildCount(parent.Get()), 1u);
  EXPECT_EQ(Name(ChildAt(parent.Get(), 0).Get()), DXN_TEXT("child"));
}

TEST(HandleLifetime, DeepTreesAreFreedWithoutRecursion) {
  // Built from the leaf up, so that each attachment has no ancestors to check.
  Handle root = Create(DXN_TEXT("x"));
  for (int level = 0; level < 100000; ++level) {
    Handle parent = Create(DXN_TEXT("x"));
    ASSERT_EQ(DxnAddChild(parent.Get(), root.Get()), DXN_S_OK);
    root = std::move(parent);
  }
  Handle copy;
  ASSERT_EQ(DxnCloneNode(root.Get(), DXN_DEPTH_SUBTREE, 0, copy.Out()), DXN_S_OK);
  copy.Reset();
  root.Reset();
}

// Many threads reading one tree, duplicating and closing handles into it,
// while the tree's own handles close under them.
TEST(Concurrency, ReadersShareATreeWhileHandlesComeAndGo) {
  Handle root = Create(nullptr, DXN_TEXT("Root"));
  for (int index = 0; index < 8; ++index) {
    Handle section = AddNew(root.Get(), DXN_TEXT("Section"));
    for (int item = 0; item < 16; ++item) {
      Handle leaf = AddNew(section.Get(), DXN_TEXT("Item"), DXN_TEXT("Leaf"));
      SetText(leaf.Get(), DXN_TEXT("Value"), DXN_TEXT("payload"));
      SetFixed<int64_t>(leaf.Get(), DXN_TEXT("FailureCounter"), DXN_TYPE_INT64, item);
    }
  }
  const std::string expected = SerializeOne(root.Get());

  constexpr int kThreads = 8;
  std::atomic<int> failures{0};
  std::vector<Handle> starts;
  for (int index = 0; index < kThreads; ++index) starts.push_back(ChildAt(root.Get(), index % 8));
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, section = starts[thread].Release()] {
      for (int round = 0; round < 200; ++round) {
        const uint32_t items = ChildCount(section);
        for (uint32_t item = 0; item < items; ++item) {
          Handle leaf = ChildAt(section, item);
          int32_t counter = -1;
          uint32_t size = sizeof(counter);
          const uint16_t requested = DXN_TYPE_INT32;
          if (DxnGetAttribute(leaf.Get(), DXN_TEXT("FailureCounter"), &requested, &counter, &size, nullptr) !=
                  DXN_S_OK ||
              counter != static_cast<int32_t>(item)) {
            ++failures;
          }
          if (Path(leaf.Get()) != DXN_TEXT("\\Section\\Item")) ++failures;
          Handle parent;
          if (DxnGetParent(leaf.Get(), parent.Out()) != DXN_S_OK || parent.Get() != section) ++failures;
        }
        if (round % 50 == 0 && SerializeOne(section).empty()) ++failures;
      }
      EXPECT_EQ(DxnCloseNodeHandle(section), DXN_S_OK);
    });
  }
  // The root handle goes away while the readers still work below it.
  root.Reset();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(Concurrency, WholeTreeReadersSeeTheSameText) {
  Handle root = Create(DXN_TEXT("root"));
  for (int index = 0; index < 50; ++index) {
    Handle child = AddNew(root.Get(), DXN_TEXT("child"));
    SetText(child.Get(), DXN_TEXT("index"), Text(static_cast<size_t>(index + 1), DXN_TEXT('i')));
  }
  const std::string expected = SerializeOne(root.Get());
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        if (SerializeOne(root.Get()) != expected) ++mismatches;
        Handle copy;
        if (DxnCloneNode(root.Get(), DXN_DEPTH_SUBTREE, 0, copy.Out()) != DXN_S_OK ||
            SerializeOne(copy.Get()) != expected) {
          ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
