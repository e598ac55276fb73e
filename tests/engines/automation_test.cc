// The engines' automation surface as a script meets it: created through the
// library's class objects, called late-bound by name. Failures follow the
// engine's convention: the error collection of the engine or connection
// holds the failure's records, and the call returns 0x800A0000 + number
// (DAO) or E_FAIL (ADO) with the first record as its description.
#include "engines/automation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/engines/late_bound.h"

namespace quillon::engines {
namespace {

using testing::Call;
using testing::Create;
using testing::Int;
using testing::Invoke;
using testing::Object;
using com::ComPtr;
using com::Variant;

// The records of an error collection: number and description of each.
std::vector<std::pair<int32_t, std::u16string>> Records(IDispatch* owner) {
  ComPtr<IDispatch> errors = Object(Invoke(owner, u"Errors", com::DISPATCH_PROPERTYGET));
  std::vector<std::pair<int32_t, std::u16string>> out;
  if (!errors) return out;
  const int32_t n = Int(Invoke(errors.get(), u"Count", com::DISPATCH_PROPERTYGET));
  for (int32_t i = 0; i < n; ++i) {
    ComPtr<IDispatch> e =
        Object(Invoke(errors.get(), u"Item", com::DISPATCH_PROPERTYGET, {Variant::I4(i)}));
    if (!e) continue;
    Call text = Invoke(e.get(), u"Description", com::DISPATCH_PROPERTYGET);
    out.emplace_back(Int(Invoke(e.get(), u"Number", com::DISPATCH_PROPERTYGET)),
                     std::u16string(com::Bstr::View(text.value.get()->bstrVal)));
  }
  return out;
}

class EngineAutomation : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("quillon-automation-" + std::to_string(getpid()) + ".db"))
                .string();
    std::filesystem::remove(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string path_;
};

TEST_F(EngineAutomation, DaoFailuresFillTheSharedCollectionAndCarryTheirNumber) {
  ComPtr<IDispatch> engine = Create(ids::CLSID_DaoEngine36);
  ASSERT_TRUE(engine);
  const std::string missing = path_ + ".absent";
  Call open = Invoke(engine.get(), u"OpenDatabase", com::DISPATCH_METHOD, {Variant::Utf8(missing)});
  EXPECT_EQ(open.hr, com::DISP_E_EXCEPTION);
  EXPECT_NE(open.description.find(com::Utf8ToUtf16(missing)), std::u16string::npos);
  auto records = Records(engine.get());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].first, 3024);
  // Another engine object of the same version sees the same collection.
  ComPtr<IDispatch> second = Create(ids::CLSID_DaoEngine36);
  EXPECT_EQ(Records(second.get()), records);

  // A database made here, a failing statement on it: reported in the
  // engine's collection, with the DAO code.
  ComPtr<IDispatch> db =
      Object(Invoke(engine.get(), u"CreateDatabase", com::DISPATCH_METHOD, {Variant::Utf8(path_)}));
  ASSERT_TRUE(db);
  ComPtr<IDaoDatabase> early;
  ASSERT_EQ(db->QueryInterface(ids::IID_DaoDatabase, early.put_void()), com::S_OK);
  com::Bstr sql(u"SELECT * FROM nowhere");
  IDispatch* rs = nullptr;
  EXPECT_EQ(early->OpenRecordset(sql.get(), VARIANT{}, VARIANT{}, VARIANT{}, &rs),
            com::MakeHresult(0x800A0000u | 3078));
  EXPECT_EQ(rs, nullptr);
  records = Records(engine.get());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], std::make_pair(3078, std::u16string(u"no such table: nowhere")));

  // Reading the collection past its end fails without replacing it.
  ComPtr<IDispatch> errors = Object(Invoke(engine.get(), u"Errors", com::DISPATCH_PROPERTYGET));
  EXPECT_NE(Invoke(errors.get(), u"Item", com::DISPATCH_PROPERTYGET, {Variant::I4(5)}).hr,
            com::S_OK);
  EXPECT_EQ(Records(engine.get()), records);
  // A null out-pointer is refused before anything runs.
  EXPECT_EQ(early->get_Name(nullptr), com::E_POINTER);
  EXPECT_EQ(Invoke(db.get(), u"Close", com::DISPATCH_METHOD).hr, com::S_OK);
}

TEST_F(EngineAutomation, AdoFailuresAreProviderErrorsInTheConnectionsCollection) {
  ComPtr<IDispatch> connection = Create(ids::CLSID_AdoConnection);
  ASSERT_TRUE(connection);
  Call bad = Invoke(connection.get(), u"Open", com::DISPATCH_METHOD,
                    {Variant::Utf8("Driver=NoSuchDriver;")});
  EXPECT_EQ(bad.hr, com::DISP_E_EXCEPTION);
  auto records = Records(connection.get());
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].first, static_cast<int32_t>(0x80004005u));
  EXPECT_NE(records[0].second.find(u"NoSuchDriver"), std::u16string::npos);

  ASSERT_EQ(Invoke(connection.get(), u"Open", com::DISPATCH_METHOD,
                   {Variant::Utf8("Driver=SQLite3;Database=" + path_)})
                .hr,
            com::S_OK);
  // A recordset created on its own reports its Open into the collection of
  // the connection it was given, where ADO callers look.
  ComPtr<IDispatch> rs = Create(ids::CLSID_AdoRecordset);
  ASSERT_TRUE(rs);
  ComPtr<IEngineRecordset> early;
  ASSERT_EQ(rs->QueryInterface(ids::IID_AdoRecordset, early.put_void()), com::S_OK);
  Variant source = Variant::Utf8("SELECT * FROM nowhere");
  Variant active = Variant::Dispatch(connection.get());
  EXPECT_EQ(early->Open(*source.get(), *active.get(), 0, 1, -1), com::E_FAIL);
  records = Records(connection.get());
  ASSERT_FALSE(records.empty());
  EXPECT_NE(records[0].second.find(u"nowhere"), std::u16string::npos);
  EXPECT_EQ(early->put_CacheSize(0), com::E_INVALIDARG);
  EXPECT_EQ(Invoke(connection.get(), u"Close", com::DISPATCH_METHOD).hr, com::S_OK);
}

}  // namespace
}  // namespace quillon::engines
