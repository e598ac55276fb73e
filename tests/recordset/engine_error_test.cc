// How engine failures become RecordsetExceptions: a script's connection
// object whose error collection says what went wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/object.h"
#include "quillon/recordset/recordset.h"
#include "tests/recordset/test_registry.h"

namespace quillon::recordset {
namespace {

using com::BSTR;
using com::HRESULT;
using com::IDispatch;
using com::VARIANT;

com::Module& TestModule() {
  static com::Module module;
  return module;
}

struct Record {
  int32_t number;
  std::u16string source, description;
  int32_t help_context;
};

struct IFakeError : IDispatch {
  virtual HRESULT get_Number(int32_t* v) = 0;
  virtual HRESULT get_Source(BSTR* v) = 0;
  virtual HRESULT get_Description(BSTR* v) = 0;
  virtual HRESULT get_HelpFile(BSTR* v) = 0;
  virtual HRESULT get_HelpContext(int32_t* v) = 0;
};
inline constexpr auto kFakeErrorList = com::Members<IFakeError>(
    com::Get<&IFakeError::get_Number>(1, u"Number"), com::Get<&IFakeError::get_Source>(2, u"Source"),
    com::Get<&IFakeError::get_Description>(3, u"Description"),
    com::Get<&IFakeError::get_HelpFile>(4, u"HelpFile"),
    com::Get<&IFakeError::get_HelpContext>(5, u"HelpContext"));
inline constexpr com::InterfaceTable<IFakeError> kFakeError{u"Error", &com::IID_IDispatch,
                                                            kFakeErrorList};

class FakeError : public com::ObjectBase, public com::DispatchImpl<IFakeError, kFakeError> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<FakeError, IFakeError>(com::IID_IDispatch)};
  FakeError(com::Module& m, Record r) : ObjectBase(m), r_(std::move(r)) {}
  HRESULT get_Number(int32_t* v) override { return *v = r_.number, com::S_OK; }
  HRESULT get_Source(BSTR* v) override { return *v = com::Bstr(r_.source).detach(), com::S_OK; }
  HRESULT get_Description(BSTR* v) override {
    return *v = com::Bstr(r_.description).detach(), com::S_OK;
  }
  HRESULT get_HelpFile(BSTR* v) override { return *v = com::Bstr(u"help.hlp").detach(), com::S_OK; }
  HRESULT get_HelpContext(int32_t* v) override { return *v = r_.help_context, com::S_OK; }

 private:
  Record r_;
};

struct IFakeConnection : IDispatch {
  virtual HRESULT get_Errors(IDispatch** v) = 0;
  virtual HRESULT get_Count(int32_t* v) = 0;
  virtual HRESULT get_Item(VARIANT index, IDispatch** v) = 0;
};
inline constexpr auto kFakeConnectionList = com::Members<IFakeConnection>(
    com::Get<&IFakeConnection::get_Errors>(1, u"Errors"),
    com::Get<&IFakeConnection::get_Count>(2, u"Count"),
    com::Get<&IFakeConnection::get_Item>(0, u"Item(Index)"));
inline constexpr com::IID kAdoConnectionIid = com::Guid("{00000550-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::InterfaceTable<IFakeConnection> kFakeConnection{
    u"_Connection", &kAdoConnectionIid, kFakeConnectionList};

// Answers the ADO connection interface and is its own error collection;
// it connects to nothing, so every recordset opened on it fails.
class FakeConnection : public com::ObjectBase,
                       public com::DispatchImpl<IFakeConnection, kFakeConnection> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<FakeConnection, IFakeConnection>(kAdoConnectionIid),
      com::Entry<FakeConnection, IFakeConnection>(com::IID_IDispatch)};
  FakeConnection(com::Module& m, std::vector<Record> records)
      : ObjectBase(m), records_(std::move(records)) {}
  HRESULT get_Errors(IDispatch** v) override {
    *v = static_cast<IFakeConnection*>(this);
    (*v)->AddRef();
    return com::S_OK;
  }
  HRESULT get_Count(int32_t* v) override {
    return *v = static_cast<int32_t>(records_.size()), com::S_OK;
  }
  HRESULT get_Item(VARIANT index, IDispatch** v) override {
    auto e = com::Object<FakeError>::Create(TestModule(), records_.at(index.lVal));
    *v = static_cast<IFakeError*>(e.get());
    (*v)->AddRef();
    return com::S_OK;
  }

 private:
  std::vector<Record> records_;
};

TEST(EngineErrors, DescriptionsJoinInOrderAndTheFirstErrorNumbersThem) {
  testing::TestRegistry registry;
  ASSERT_TRUE(registry.Register(testing::kAll));
  const struct {
    const char* what;
    std::vector<Record> records;
    int32_t code;
    std::u16string text;
    int32_t help_context;
  } cases[] = {
      {"two records", {{-100, u"first source", u"first. ", 7}, {-200, u"second", u"second.", 9}},
       -100, u"first. second.", 7},
      {"one record", {{3078, u"s", u"only", 5}}, 3078, u"only", 5},
      {"records without descriptions", {{3078, u"s", u"", 5}}, kEngineWithoutDescription,
       MessageOrUnknown(20099), 0},
      {"no records", {}, kEngineWithoutDescription, MessageOrUnknown(20099), 0},
  };
  for (const auto& c : cases) {
    auto connection = com::Object<FakeConnection>::Create(TestModule(), c.records);
    try {
      ImportRecordset(qlADO, static_cast<IFakeConnection*>(connection.get()), "t", "1");
      ADD_FAILURE() << c.what << ": no error";
    } catch (const RecordsetException& e) {
      EXPECT_EQ(e.code(), c.code) << c.what;
      EXPECT_EQ(e.Text(), c.text) << c.what;
      EXPECT_EQ(e.help_context(), c.help_context) << c.what;
    }
  }
}

}  // namespace
}  // namespace quillon::recordset
