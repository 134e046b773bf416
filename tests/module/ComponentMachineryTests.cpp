// The class registry and the component wrapper, linked into the test.
#include "module/ComponentClassRegistrar.h"
#include "module/ComponentObject.h"

#include <gtest/gtest.h>

namespace {

constexpr GUID kTestClass{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

int g_firstCreatorCalls = 0;
int g_secondCreatorCalls = 0;

HRESULT FirstCreator(const GUID&, void**) {
  ++g_firstCreatorCalls;
  return S_FALSE;
}

HRESULT SecondCreator(const GUID&, void**) {
  ++g_secondCreatorCalls;
  return S_OK;
}

TEST(ClassRegistry, SecondRegistrationOfAnIdKeepsTheFirstCreator) {
  auto& module = CComponentsModule::Instance();
  {
    CComponentClassRegistrar first(kTestClass, &FirstCreator);
    CComponentClassRegistrar second(kTestClass, &SecondCreator);
    void* out = nullptr;
    EXPECT_EQ(module.CreateInstance(kTestClass, IID_IComponentObject, &out), S_FALSE);
    EXPECT_EQ(g_firstCreatorCalls, 1);
    EXPECT_EQ(g_secondCreatorCalls, 0);
  }
  // The registrars removed the id as they went.
  void* out = nullptr;
  EXPECT_EQ(module.CreateInstance(kTestClass, IID_IComponentObject, &out), REGDB_E_CLASSNOTREG);
}

struct DestructionLog {
  int destroyed = 0;
  int finalReleases = 0;
  uint32_t usersWhileDestroyed = 0;  // the module's count inside the implementation's destructor
};

class CProbe : public CComponentRoot, public IShutdownableComponent {
 public:
  using Interfaces = ComponentInterfaceList<IShutdownableComponent>;
  static constexpr const char kComponentTag[] = "CComponentObject<class CProbe>::CComponentObject";

  explicit CProbe(DestructionLog* log = nullptr, HRESULT postConstruct = S_OK)
      : m_log(log), m_postConstruct(postConstruct) {}
  ~CProbe() override {
    if (m_log) {
      ++m_log->destroyed;
      m_log->usersWhileDestroyed = CComponentsModule::Instance().UserCount();
    }
  }

  HRESULT PostConstruct() { return m_postConstruct; }
  void FinalRelease() {
    if (m_log) ++m_log->finalReleases;
  }
  HRESULT Shutdown() override { return S_OK; }

 private:
  DestructionLog* m_log;
  HRESULT m_postConstruct;
};

TEST(ComponentObject, LastReleaseRunsFinalReleaseThenDestroys) {
  auto& module = CComponentsModule::Instance();
  const uint32_t before = module.UserCount();
  DestructionLog log;
  auto* object = CComponentObject<CProbe>::Allocate(&log);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->ReferenceCount(), 1u);
  EXPECT_EQ(module.UserCount(), before + 1);

  IShutdownableComponent* shutdownable = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IShutdownableComponent, reinterpret_cast<void**>(&shutdownable)), S_OK);
  EXPECT_EQ(shutdownable->Release(), 1u);
  EXPECT_EQ(log.finalReleases, 0);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(log.finalReleases, 1);
  EXPECT_EQ(log.destroyed, 1);
  // The module stays in use until the implementation is destroyed: a host
  // that unloads at a count of 0 finds no destructor running.
  EXPECT_EQ(log.usersWhileDestroyed, before + 1);
  EXPECT_EQ(module.UserCount(), before);
}

TEST(ComponentObject, FailingPostConstructionDestroysTheObject) {
  static DestructionLog log;
  struct CFailing : CProbe {
    CFailing() : CProbe(&log, E_ACCESSDENIED) {}
  };
  const uint32_t before = CComponentsModule::Instance().UserCount();
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(CComponentObject<CFailing>::Create(IID_IComponentObject, &out), E_ACCESSDENIED);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(log.destroyed, 1);
  EXPECT_EQ(CComponentsModule::Instance().UserCount(), before);
}

TEST(ComponentObject, ThrowingConstructorBecomesAnHresult) {
  struct CThrowing : CProbe {
    CThrowing() { ThrowHr(E_ACCESSDENIED); }
  };
  const uint32_t before = CComponentsModule::Instance().UserCount();
  void* out = nullptr;
  EXPECT_EQ(CComponentObject<CThrowing>::Create(IID_IComponentObject, &out), E_ACCESSDENIED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CComponentsModule::Instance().UserCount(), before);
}

}  // namespace
