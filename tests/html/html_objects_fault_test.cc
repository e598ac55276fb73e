// The QHtmlDoc object writing into a QServer response while memory runs
// out: every allocation of the write is made to fail in turn, and after
// each failure the document must have let go of the response output that
// its WriteTo made for that call (a tag's Write afterwards must not reach
// it), and must still write the whole page once memory is back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/persistence.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"
#include "quillon/server/identities.h"
#include "quillon/server/iqserver.h"
#include "server/html_objects.h"
#include "tests/support/failing_allocations.h"


namespace quillon::server {
namespace {

using com::Bstr;
using com::ComPtr;

template <class I>
ComPtr<I> Create(const com::CLSID& clsid, const com::IID& iid) {
  ComPtr<com::IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(clsid, com::IID_IClassFactory, factory.put_void()), com::S_OK);
  ComPtr<I> object;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, iid, object.put_void()), com::S_OK);
  }
  return object;
}

TEST(HtmlObjectsFaults, FailedWriteToLetsGoOfTheResponse) {
  ComPtr<IQServer> server = Create<IQServer>(ids::CLSID_QServer, ids::IID_IQServer);
  ComPtr<IQHtmlDoc> doc = Create<IQHtmlDoc>(ids::CLSID_QHtmlDoc, ids::IID_IQHtmlDoc);
  ASSERT_TRUE(server && doc);
  // Started with no saved properties: no request is read.
  ComPtr<com::IPersistPropertyBag> bag;
  ASSERT_EQ(server->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()), com::S_OK);
  ASSERT_EQ(bag->Load(com::MakePropertyBag().get(), nullptr), com::S_OK);

  std::u16string page = u"<html><body>\r\n<table>\r\n";
  for (int i = 0; i < 300; ++i) page += u"<tr><td qlid=c>cell text</td></tr>\r\n";
  page += u"</table></body></html>";
  Bstr text(page);
  ASSERT_EQ(doc->SetMasterPage(text.get()), com::S_OK);
  ComPtr<com::IDispatch> cell;
  Bstr id(u"c");
  ASSERT_EQ(doc->FindByID(id.get(), cell.put()), com::S_OK);
  ComPtr<IHtmlTag> tag;
  ASSERT_EQ(cell->QueryInterface(ids::IID_IHtmlTag, tag.put_void()), com::S_OK);

  int failures = 0;
  for (long n = 0; n < 100000; ++n) {
    quillon::testing::allocations_before_failure = n;
    const com::HRESULT hr = doc->WriteTo(server.get());
    quillon::testing::allocations_before_failure = -1;
    if (hr == com::S_OK) break;
    ASSERT_EQ(hr, com::E_OUTOFMEMORY) << "allocation " << n;
    ++failures;
    // With the response let go, this writes into the document's own
    // buffer; a response output kept past its call would be written to
    // after it was freed.
    ASSERT_EQ(tag->Write(), com::S_OK) << "allocation " << n;
  }
  EXPECT_GT(failures, 0);
  Bstr written;
  ASSERT_EQ(doc->GetPageData(written.put()), com::S_OK);
  EXPECT_EQ(com::Bstr::View(written.get()).substr(0, 27), u"<HTML><HEAD></HEAD><BODY>\r\n");
  // The object writes the response when released; its bytes are not ours
  // to check here.
  ::testing::internal::CaptureStdout();
  server.reset();
  (void)::testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace quillon::server
