// An import either saves its rows or fails: the engines keep appended rows
// in a transaction that the recordset's close commits, so every way that
// commit can fail (a lock held by another connection, a constraint checked
// at commit, a connection that dies) must reach the caller, in the
// binding's exception and in both components' error conventions, and must
// leave nothing open behind it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/client_control.h"
#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/object.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/core/encoding.h"
#include "quillon/recordset/recordset.h"
#include "server/qserver_object.h"
#include "tests/engines/pg_source.h"
#include "tests/recordset/test_registry.h"

namespace quillon::recordset {
namespace {

constexpr int32_t kDaoLocked = 3260;
constexpr int32_t kProviderError = static_cast<int32_t>(0x80004005u);
constexpr char kRows[] = "1\ta\r\n2\tb\r\n3\tc";

struct Failure {
  bool raised = false;
  int32_t code = 0;
  std::string text;  // UTF-8
};

Failure FailureOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const RecordsetException& e) {
    return {true, e.code(), com::Utf16ToUtf8(e.Text())};
  }
  return {};
}

// A second connection to the file, as another program would hold it.
class OtherConnection {
 public:
  explicit OtherConnection(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  }
  ~OtherConnection() {
    sqlite3_finalize(reader_);
    sqlite3_close(db_);
  }
  // A read transaction with a statement in the middle of its rows: a shared
  // lock, which lets writers prepare but not commit.
  void HoldReadLock() {
    ASSERT_EQ(sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(db_, "SELECT * FROM t", -1, &reader_, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(reader_), SQLITE_ROW);
  }
  void Release() {
    sqlite3_finalize(reader_);
    reader_ = nullptr;
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  // Whether this connection can take the file for itself at once: nothing
  // else holds a lock or an open transaction on it.
  bool CanLockExclusivelyNow() {
    sqlite3_busy_timeout(db_, 0);
    const bool ok = sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return ok;
  }
  int64_t Count(const char* table) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db_, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &stmt,
                       nullptr);
    const int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
  }
  void Exec(const char* sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* reader_ = nullptr;
};

class ImportFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.Register(testing::kAll));
    path_ = registry_.Path("locked.db");
    other_ = std::make_unique<OtherConnection>(path_);
    other_->Exec(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT);"
        "INSERT INTO t VALUES (100, 'x');"
        "CREATE TABLE d (id INTEGER PRIMARY KEY, name TEXT);");
  }

  testing::TestRegistry registry_;
  std::string path_;
  std::unique_ptr<OtherConnection> other_;
};

TEST_F(ImportFailure, AReadLockFailsTheImportSavesNothingAndHoldsNothing) {
  const struct {
    const char* what;
    int32_t type;
    std::string database;
    int32_t code;
  } cases[] = {
      {"DAO over SQLite", qlDAO36, path_, kDaoLocked},
      // sqliteodbc waits 100 s for a lock unless told otherwise.
      {"ADO through sqliteodbc", qlADO, "Driver=SQLite3;Timeout=1000;Database=" + path_,
       kProviderError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    other_->Exec("DELETE FROM d");
    other_->HoldReadLock();
    const Failure f = FailureOf([&] { ImportRecordset(c.type, c.database, "d", kRows); });
    EXPECT_TRUE(f.raised) << "reported success";
    EXPECT_EQ(f.code, c.code);
    EXPECT_NE(f.text.find("locked"), std::string::npos) << f.text;
    other_->Release();
    EXPECT_EQ(other_->Count("d"), 0) << "rows of a failed import";
    EXPECT_TRUE(other_->CanLockExclusivelyNow()) << "the failed import still holds the file";
    // The next import in the same process goes through.
    ImportRecordset(c.type, c.database, "d", kRows);
    EXPECT_EQ(ExportRecordset(qlDAO36, path_, "SELECT * FROM d ORDER BY id"), kRows);
    EXPECT_TRUE(other_->CanLockExclusivelyNow());
  }
}

TEST_F(ImportFailure, AFailingRowAndAFailingSaveAreBothTold) {
  other_->Exec("INSERT INTO d VALUES (2, 'taken')");
  other_->HoldReadLock();
  const Failure f = FailureOf([&] { ImportRecordset(qlDAO36, path_, "d", kRows); });
  other_->Release();
  EXPECT_EQ(f.code, 3022) << "the row's failure comes first";
  EXPECT_NE(f.text.find("UNIQUE"), std::string::npos) << f.text;
  EXPECT_NE(f.text.find("\ndatabase is locked"), std::string::npos) << f.text;
  EXPECT_EQ(other_->Count("d"), 1);
  EXPECT_TRUE(other_->CanLockExclusivelyNow());
}

// The same lock through the two components' automation surfaces: a script
// sees the engine's error, never success.
TEST_F(ImportFailure, BothComponentsReportTheLockInTheirConventions) {
  com::Module module;
  const std::string body = "rows=" + core::EncodeText(kRows);

  auto server_object = com::Object<server::QServerObject>::Create(module);
  server_object->plain().StartOffLineDebug();
  server_object->plain().DebugInit(
      "REQUEST_METHOD=POST\r\nCONTENT_TYPE=application/x-www-form-urlencoded\r\n", body);
  auto client_object = com::Object<client::ClientControl>::Create(module);
  client_object->plain().store().FillIncoming(body);

  const struct {
    const char* what;
    com::IDispatch* object;
    uint32_t scode;
  } doors[] = {
      {"QServer", static_cast<server::IQServer*>(server_object.get()), 0x80020009u},
      {"QClientCtrl", static_cast<client::IQClientDispatch*>(client_object.get()),
       0x800A0000u | kDaoLocked},
  };
  for (const auto& door : doors) {
    SCOPED_TRACE(door.what);
    other_->Exec("DELETE FROM d");
    other_->HoldReadLock();
    com::Variant args[] = {com::Variant::String(u"rows"), com::Variant::I4(0),
                           com::Variant::I2(qlDAO36), com::Variant::Utf8(path_),
                           com::Variant::String(u"d")};
    std::vector<com::VARIANT> raw;
    for (auto& a : args) raw.push_back(*a.get());
    com::EXCEPINFO info{};
    const com::HRESULT hr = com::InvokeByName(door.object, u"GetRecordsetData",
                                              com::DISPATCH_METHOD, raw, nullptr, &info);
    other_->Release();
    EXPECT_EQ(hr, com::DISP_E_EXCEPTION);
    EXPECT_EQ(static_cast<uint32_t>(info.scode), door.scode);
    EXPECT_EQ(com::Bstr::View(info.bstrDescription), u"database is locked");
    com::ClearExcepInfo(&info);
    EXPECT_EQ(other_->Count("d"), 0);
    EXPECT_TRUE(other_->CanLockExclusivelyNow());
  }
}

// --- PostgreSQL through psqlODBC --------------------------------------------------------------

class PgImportFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    pg_ = quillon::testing::PgConnectionString();
    if (pg_.empty()) GTEST_SKIP() << "QUILLON_TEST_PG_PORT is not set";
    ASSERT_TRUE(registry_.Register(testing::kAll));
    com::CLSID clsid{};
    ASSERT_EQ(com::CLSIDFromProgID(u"ADODB.Connection", &clsid), com::S_OK);
    ASSERT_EQ(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                                    admin_.put_void()),
              com::S_OK);
    ASSERT_EQ(Call(u"Open", pg_), com::S_OK);
  }
  void TearDown() override {
    if (admin_) {
      Call(u"Execute", "DROP TABLE IF EXISTS pg_import");
      Call(u"Execute", "DROP FUNCTION IF EXISTS pg_import_drop()");
      Call(u"Close", "");
    }
  }
  com::HRESULT Call(std::u16string_view name, const std::string& argument) {
    com::Variant arg = com::Variant::Utf8(argument);
    std::vector<com::VARIANT> raw;
    if (!argument.empty()) raw.push_back(*arg.get());
    return com::InvokeByName(admin_.get(), name, com::DISPATCH_METHOD, raw, nullptr, nullptr);
  }
  std::string Ids() { return ExportRecordset(qlADO, pg_, "SELECT id FROM pg_import ORDER BY id"); }

  testing::TestRegistry registry_;
  std::string pg_;
  com::ComPtr<com::IDispatch> admin_;
};

TEST_F(PgImportFailure, AConstraintCheckedAtCommitFailsTheImport) {
  ASSERT_EQ(Call(u"Execute", "DROP TABLE IF EXISTS pg_import"), com::S_OK);
  ASSERT_EQ(Call(u"Execute",
                 "CREATE TABLE pg_import (id integer, name text, "
                 "UNIQUE (id) DEFERRABLE INITIALLY DEFERRED)"),
            com::S_OK);
  const Failure f = FailureOf([&] { ImportRecordset(qlADO, pg_, "pg_import", "1\ta\r\n1\tb"); });
  EXPECT_TRUE(f.raised) << "reported success";
  EXPECT_EQ(f.code, kProviderError);
  EXPECT_NE(f.text.find("duplicate key"), std::string::npos) << f.text;
  EXPECT_EQ(Ids(), "");
  ImportRecordset(qlADO, pg_, "pg_import", "1\ta\r\n2\tb");
  EXPECT_EQ(Ids(), "1\r\n2");
}

TEST_F(PgImportFailure, AConnectionDroppedMidImportFailsItAndTheNextOneWorks) {
  ASSERT_EQ(Call(u"Execute", "DROP TABLE IF EXISTS pg_import"), com::S_OK);
  ASSERT_EQ(Call(u"Execute", "CREATE TABLE pg_import (id integer PRIMARY KEY, name text)"),
            com::S_OK);
  // The server ends the importing connection when row 3 arrives.
  ASSERT_EQ(Call(u"Execute",
                 "CREATE OR REPLACE FUNCTION pg_import_drop() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                 "IF NEW.id = 3 THEN PERFORM pg_terminate_backend(pg_backend_pid()); END IF; "
                 "RETURN NEW; END $$"),
            com::S_OK);
  ASSERT_EQ(Call(u"Execute",
                 "CREATE TRIGGER pg_import_drop BEFORE INSERT ON pg_import "
                 "FOR EACH ROW EXECUTE FUNCTION pg_import_drop()"),
            com::S_OK);
  const Failure f =
      FailureOf([&] { ImportRecordset(qlADO, pg_, "pg_import", "1\ta\r\n2\tb\r\n3\tc\r\n4\td"); });
  EXPECT_TRUE(f.raised) << "reported success";
  EXPECT_EQ(f.code, kProviderError);
  EXPECT_EQ(Ids(), "") << "rows of the dropped connection's transaction";
  ASSERT_EQ(Call(u"Execute", "DROP TRIGGER pg_import_drop ON pg_import"), com::S_OK);
  ASSERT_EQ(Call(u"Execute", "DROP FUNCTION pg_import_drop()"), com::S_OK);
  ImportRecordset(qlADO, pg_, "pg_import", "1\ta\r\n2\tb\r\n3\tc\r\n4\td");
  EXPECT_EQ(Ids(), "1\r\n2\r\n3\r\n4");
}

}  // namespace
}  // namespace quillon::recordset
