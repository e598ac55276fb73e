// QServer's four recordset operations over the real engines: a recordset
// leaves one server as a value and arrives in another's database.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "quillon/core/encoding.h"
#include "quillon/recordset/recordset.h"
#include "quillon/server/qserver.h"
#include "tests/recordset/test_registry.h"
#include "tests/server/fake_io.h"

namespace quillon::recordset {
namespace {

constexpr char kPostEnv[] =
    "REQUEST_METHOD=POST\r\nCONTENT_TYPE=application/x-www-form-urlencoded\r\n";

class QServerRecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.Register(testing::kAll));
    path_ = registry_.Path("q.db");
    Exec("CREATE TABLE src (id INTEGER PRIMARY KEY, name TEXT, data BLOB);"
         "CREATE TABLE dst (id INTEGER PRIMARY KEY, name TEXT, data BLOB);"
         "INSERT INTO src VALUES (1, 'a\tb', x'00FF'), (2, '\"q', NULL);");
  }
  void Exec(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  // A server in offline-debug mode whose request carried `body`.
  std::unique_ptr<server::QServer> Server(const std::string& body) {
    auto s = std::make_unique<server::QServer>(std::make_shared<server::testing::FakeIo>());
    s->StartOffLineDebug();
    if (!body.empty()) s->DebugInit(kPostEnv, body);
    return s;
  }

  testing::TestRegistry registry_;
  std::string path_;
};

TEST_F(QServerRecordsetTest, SetStoresTheTextAndGetAppendsItsRows) {
  auto sender = Server("");
  sender->SetRecordsetData("rs", qlDAO36, path_, "src");
  const std::string expected = "1\t\"a\tb\"\t\\\\x00FF\r\n2\t\"\"\"q\"\t";
  EXPECT_EQ(sender->DebugExit().body.find(core::EncodeText(expected)) != std::string::npos, true)
      << sender->DebugExit().body;

  auto receiver = Server("rs=" + core::EncodeText(expected));
  EXPECT_EQ(receiver->GetStringData("rs", 0), expected);
  receiver->GetRecordsetData("rs", 0, qlDAO30, path_, "dst");
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "dst"), expected);
}

TEST_F(QServerRecordsetTest, FailuresLeaveTheListsAlone) {
  auto s = Server("other=1");
  try {
    s->SetRecordsetData("rs", qlDAO36, path_, "missing");
    ADD_FAILURE() << "no error";
  } catch (const RecordsetException& e) {
    EXPECT_EQ(e.code(), 3078);
    EXPECT_EQ(e.Text(), u"no such table: missing");
  }
  EXPECT_EQ(s->DebugExit().body.find("rs="), std::string::npos);
  try {
    s->GetRecordsetData("absent", 0, qlDAO36, path_, "dst");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMsgNoParameter);
  }
}

}  // namespace
}  // namespace quillon::recordset
