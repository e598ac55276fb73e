#include <gtest/gtest.h>

#include <vector>

#include "quillon/component/object.h"

namespace quillon::com {
namespace {

constexpr IID IID_IThing = Guid("{0B0E1A10-0000-4000-8000-000000000002}");
constexpr IID IID_IOther = Guid("{0B0E1A10-0000-4000-8000-000000000003}");

struct IThing : IUnknown {
  virtual int Value() = 0;

 protected:
  ~IThing() = default;
};
struct IOther : IUnknown {
  virtual int Other() = 0;

 protected:
  ~IOther() = default;
};

class Thing : public ObjectBase, public IThing, public IOther {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {Entry<Thing, IThing>(IID_IThing),
                                                   Entry<Thing, IOther>(IID_IOther)};
  explicit Thing(Module& m, int* released = nullptr) : ObjectBase(m), released_(released) {}
  int Value() override { return 1; }
  int Other() override { return 2; }

 protected:
  void FinalRelease() override {
    if (released_ != nullptr) ++*released_;
  }

 private:
  int* released_;
};

TEST(ObjectTest, QueryInterfaceKeepsOneIdentity) {
  Module module;
  auto thing = Object<Thing>::Create(module);
  ComPtr<IUnknown> a, b;
  ComPtr<IOther> other;
  ASSERT_EQ(thing->QueryInterface(IID_IOther, other.put_void()), S_OK);
  EXPECT_EQ(other->Other(), 2);
  ASSERT_EQ(thing->QueryInterface(IID_IUnknown, a.put_void()), S_OK);
  ASSERT_EQ(other->QueryInterface(IID_IUnknown, b.put_void()), S_OK);
  EXPECT_EQ(a.get(), b.get());
  ComPtr<IUnknown> none;
  EXPECT_EQ(thing->QueryInterface(IID_IDispatch, none.put_void()), E_NOINTERFACE);
  EXPECT_EQ(none.get(), nullptr);
}

TEST(ObjectTest, ModuleCountsObjectsAndLocksUntilTheLastRelease) {
  Module module;
  int released = 0;
  {
    auto thing = Object<Thing>::Create(module, &released);
    ComPtr<IThing> second(thing.get());
    EXPECT_EQ(module.objects(), 1);
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    thing.reset();
    EXPECT_EQ(released, 0);
  }
  EXPECT_EQ(released, 1);
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
  module.Lock();
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  module.Unlock();
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

TEST(ObjectTest, ClassFactoryCreatesCountsAndRefusesAggregation) {
  Module module;
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetFactory<Thing>(module, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(module.objects(), 1);  // the factory itself keeps the library loaded
  ComPtr<IThing> thing;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IThing, thing.put_void()), S_OK);
  EXPECT_EQ(thing->Value(), 1);
  ComPtr<IThing> aggregated;
  EXPECT_EQ(factory->CreateInstance(thing.get(), IID_IThing, aggregated.put_void()),
            CLASS_E_NOAGGREGATION);
  ComPtr<IUnknown> wrong;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, wrong.put_void()), E_NOINTERFACE);
  factory->LockServer(1);
  factory.reset();
  thing.reset();
  EXPECT_EQ(module.objects(), 0);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
}

class Sink : public ObjectBase, public IPropertyNotifySink {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<Sink, IPropertyNotifySink>(IID_IPropertyNotifySink)};
  explicit Sink(Module& m) : ObjectBase(m) {}
  HRESULT OnChanged(DISPID id) override {
    changed.push_back(id);
    return S_OK;
  }
  HRESULT OnRequestEdit(DISPID) override { return S_OK; }
  std::vector<DISPID> changed;
};

class Container : public ObjectBase, public IConnectionPointContainer {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<Container, IConnectionPointContainer>(IID_IConnectionPointContainer)};
  explicit Container(Module& m) : ObjectBase(m) {}
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (iid != IID_IPropertyNotifySink) return CONNECT_E_NOCONNECTION;
    point_.AddRef();
    *point = &point_;
    return S_OK;
  }
  ConnectionPoint point_{this, IID_IPropertyNotifySink};
};

TEST(ObjectTest, PropertyNotificationReachesAdvisedSinksOnly) {
  Module module;
  auto container = Object<Container>::Create(module);
  auto sink = Object<Sink>::Create(module);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.put()), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IPropertyNotifySink*>(sink.get()), &cookie), S_OK);
  container->point_.FireChanged(1);
  container->point_.FireChanged(2);
  EXPECT_EQ(sink->changed, (std::vector<DISPID>{1, 2}));
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  container->point_.FireChanged(1);
  EXPECT_EQ(sink->changed.size(), 2u);
  auto thing = Object<Thing>::Create(module);
  EXPECT_EQ(point->Advise(static_cast<IThing*>(thing.get()), &cookie), CONNECT_E_CANNOTCONNECT);
}

TEST(ObjectTest, EnumeratorWalksSkipsResetsAndClones) {
  Module module;
  {
    auto e = MakeVariantEnumerator(module, {Variant::I4(1), Variant::I4(2), Variant::I4(3)});
    VARIANT items[2]{};
    ULONG got = 0;
    EXPECT_EQ(e->Next(2, items, &got), S_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(items[1].lVal, 2);
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(e->Next(2, items, &got), S_FALSE);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(items[0].lVal, 3);
    EXPECT_EQ(clone->Next(1, items, &got), S_OK);
    EXPECT_EQ(items[0].lVal, 3);  // the clone kept its own position
    EXPECT_EQ(e->Skip(1), S_FALSE);
    e->Reset();
    EXPECT_EQ(e->Skip(3), S_OK);
  }
  EXPECT_EQ(module.objects(), 0);
}

}  // namespace
}  // namespace quillon::com
