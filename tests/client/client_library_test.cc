// The client library as a host loads it: through its exported entry points.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "quillon/component/com_ptr.h"
#include "quillon/client/identities.h"
#include "quillon/server/identities.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

class ClientLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(QCLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    get_class_object_ =
        reinterpret_cast<DllGetClassObjectFn>(dlsym(handle_, "DllGetClassObject"));
    can_unload_ = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle_, "DllCanUnloadNow"));
    ASSERT_NE(get_class_object_, nullptr);
    ASSERT_NE(can_unload_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  ComPtr<IUnknown> Create(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(get_class_object_(clsid, IID_IClassFactory, factory.put_void()), S_OK);
    ComPtr<IUnknown> object;
    if (factory) {
      EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()), S_OK);
    }
    return object;
  }

  void* handle_ = nullptr;
  DllGetClassObjectFn get_class_object_ = nullptr;
  DllCanUnloadNowFn can_unload_ = nullptr;
};

TEST_F(ClientLibraryTest, ControlAnswersItsInterfacesButNoVisualOnes) {
  auto control = Create(ids::CLSID_QClient);
  ASSERT_TRUE(control);
  const IID* answered[] = {&ids::DIID_QClientDispatch,     &IID_IDispatch,
                           &IID_IConnectionPointContainer, &IID_IPersistStreamInit,
                           &IID_IPersist,                  &IID_IPersistStorage,
                           &IID_IProvideClassInfo,         &IID_IProvideClassInfo2,
                           &IID_ISpecifyPropertyPages,     &IID_IPersistPropertyBag,
                           &IID_IDispatchMembers};
  for (const IID* iid : answered) {
    ComPtr<IUnknown> p;
    EXPECT_EQ(control->QueryInterface(*iid, p.put_void()), S_OK) << FormatGuid(*iid);
  }
  // IOleObject: an OLE container's interface, not offered here.
  const IID kOleObject = Guid("{00000112-0000-0000-C000-000000000046}");
  ComPtr<IUnknown> ole;
  EXPECT_EQ(control->QueryInterface(kOleObject, ole.put_void()), E_NOINTERFACE);

  ComPtr<IProvideClassInfo2> info;
  ASSERT_EQ(control->QueryInterface(IID_IProvideClassInfo2, info.put_void()), S_OK);
  GUID events{};
  EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
  EXPECT_EQ(events, ids::DIID_QClientEvents);
  ComPtr<ISpecifyPropertyPages> pages;
  ASSERT_EQ(control->QueryInterface(IID_ISpecifyPropertyPages, pages.put_void()), S_OK);
  CAUUID list{};
  ASSERT_EQ(pages->GetPages(&list), S_OK);
  ASSERT_EQ(list.cElems, 1u);
  EXPECT_EQ(list.pElems[0], ids::CLSID_QClientPropPage);
  CoTaskMemFree(list.pElems);
}

TEST_F(ClientLibraryTest, LibraryCanUnloadOnlyWhenNothingIsAlive) {
  EXPECT_EQ(can_unload_(), S_OK);
  {
    auto control = Create(ids::CLSID_QClient);
    ASSERT_TRUE(control);
    EXPECT_EQ(can_unload_(), S_FALSE);
  }
  EXPECT_EQ(can_unload_(), S_OK);
  {
    // The property page is an object of the desktop library: its code and
    // its class object live there, so it keeps this library loaded only
    // through the controls it edits.
    auto page = Create(ids::CLSID_QClientPropPage);
    ASSERT_TRUE(page);
    ComPtr<IPropertyPage> as_page;
    EXPECT_EQ(page->QueryInterface(IID_IPropertyPage, as_page.put_void()), S_OK);
    EXPECT_EQ(can_unload_(), S_OK);
  }
  ComPtr<IClassFactory> none;
  EXPECT_EQ(get_class_object_(ids::CLSID_QServer, IID_IClassFactory, none.put_void()),
            CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
}  // namespace quillon::com
