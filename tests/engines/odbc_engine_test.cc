// The ADO-shaped engine's ODBC layer against real drivers: SQLite through
// sqliteodbc always, PostgreSQL when the test run started one
// (QUILLON_TEST_PG_PORT).
#include "engines/odbc_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "quillon/component/runtime.h"
#include "tests/engines/pg_source.h"

namespace quillon::engines {
namespace {

std::string Text(const com::Variant& v) {
  if (v.vt() == com::VT_NULL) return "<null>";
  std::string bytes;
  if (com::Variant::GetBytes(*v.get(), &bytes)) return "bytes:" + bytes;
  std::u16string t;
  EXPECT_EQ(com::VariantToText(*v.get(), &t), com::S_OK) << v.vt();
  return com::Utf16ToUtf8(t);
}

using quillon::testing::PgConnectionString;

void Append(OdbcRecordset& rs, const std::vector<std::string>& values) {
  rs.AddNew();
  for (size_t i = 0; i < values.size(); ++i) {
    if (!values[i].empty()) rs.SetValue(i, *com::Variant::Utf8(values[i]).get());
  }
  rs.Update();
}

std::vector<std::vector<std::string>> ReadAll(OdbcConnection& c, const std::string& sql) {
  auto rs = c.OpenRecordset(sql, true);
  std::vector<std::vector<std::string>> rows;
  while (!rs->Eof()) {
    std::vector<std::string> row;
    for (size_t i = 0; i < rs->fields().size(); ++i) row.push_back(Text(rs->GetValue(i)));
    rows.push_back(row);
    rs->MoveNext();
  }
  return rows;
}

int32_t NumberOf(auto&& f) {
  try {
    f();
  } catch (const EngineError& e) {
    return e.number();
  }
  return 0;
}

// Both drivers, the same expectations where the databases agree.
class OdbcEngineTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "pg") {
      connection_string_ = PgConnectionString();
      if (connection_string_.empty()) GTEST_SKIP() << "QUILLON_TEST_PG_PORT is not set";
      schema_ =
          "CREATE TABLE odbc_t (id integer PRIMARY KEY, name varchar(40) NOT NULL, "
          "amount double precision, day date, flag boolean, data bytea, note text)";
    } else {
      path_ = (std::filesystem::temp_directory_path() /
               ("quillon-odbc-" + std::to_string(getpid()) + ".db"))
                  .string();
      std::filesystem::remove(path_);
      connection_string_ = "Driver=SQLite3;Database=" + path_;
      schema_ =
          "CREATE TABLE odbc_t (id INTEGER PRIMARY KEY, name VARCHAR(40) NOT NULL, "
          "amount DOUBLE, day DATE, flag BIT, data BLOB, note TEXT)";
    }
    c_ = OdbcConnection::Open(connection_string_, "", "");
    c_->Execute("DROP TABLE IF EXISTS odbc_t");
    c_->Execute(schema_);
  }
  void TearDown() override {
    if (c_) {
      c_->Execute("DROP TABLE IF EXISTS odbc_t");
      c_->Close();
    }
    if (!path_.empty()) std::filesystem::remove(path_);
  }

  std::string path_;
  std::string connection_string_;
  std::string schema_;
  std::shared_ptr<OdbcConnection> c_;
};

TEST_P(OdbcEngineTest, AppendedValuesReadBackInTheirTypes) {
  auto rs = c_->OpenRecordset("SELECT * FROM odbc_t", false);
  const auto& f = rs->fields();
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[0].type, kAdInteger);
  EXPECT_EQ(f[2].type, kAdDouble);
  EXPECT_EQ(f[3].type, kAdDbDate);
  EXPECT_EQ(f[4].type, kAdBoolean);
  EXPECT_TRUE(f[5].type == kAdLongVarBinary || f[5].type == kAdBinary) << f[5].type;
  Append(*rs, {"1", "tab\there \"q\"\r\n", "0.1", "2024-02-29", "True", "", ""});
  rs->AddNew();
  rs->SetValue(0, *com::Variant::I4(2).get());
  rs->SetValue(1, *com::Variant::Utf8("\xE6\x97\xA5\xE6\x9C\xAC").get());
  rs->SetValue(5, *com::Variant::Bytes(std::string("\x00\xFF\x10", 3)).get());
  rs->SetValue(4, *com::Variant::Bool(false).get());
  rs->SetValue(2, *com::Variant::Utf8("-2.5e-07").get());
  rs->Update();
  rs->Close();
  const std::vector<std::vector<std::string>> expected = {
      {"1", "tab\there \"q\"\r\n", "0.1", "2024-02-29", "True", "<null>", "<null>"},
      {"2", "\xE6\x97\xA5\xE6\x9C\xAC", "-2.5e-07", "<null>", "False",
       "bytes:" + std::string("\x00\xFF\x10", 3), "<null>"}};
  EXPECT_EQ(ReadAll(*c_, "SELECT * FROM odbc_t ORDER BY id"), expected);
}

TEST_P(OdbcEngineTest, AFailingRowIsUndoneAloneAndTheOthersStay) {
  auto rs = c_->OpenRecordset("SELECT * FROM odbc_t", false);
  Append(*rs, {"1", "a"});
  Append(*rs, {"2", "b"});
  try {
    Append(*rs, {"1", "duplicate"});
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), static_cast<int32_t>(0x80004005u));
    EXPECT_EQ(e.description().front(), '[') << e.description();
  }
  Append(*rs, {"3", "c"});
  rs->Close();
  EXPECT_EQ(ReadAll(*c_, "SELECT id FROM odbc_t ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1"}, {"2"}, {"3"}}));
}

// With batches, rows wait: they go when the batch is full, before any
// other statement on the connection, and at Close. A refused row is told
// by the call that sends it; the rows before it stay, those after it in
// its batch go with the failure.
TEST_P(OdbcEngineTest, BatchedRowsGoBeforeAnythingElseAndARefusedOneStopsThem) {
  {
    auto rs = c_->OpenRecordset("SELECT * FROM odbc_t", false);
    rs->SetBatchRows(50);
    for (int id = 1; id <= 3; ++id) Append(*rs, {std::to_string(id), "x"});
    // Another statement on the connection sees them.
    EXPECT_EQ(ReadAll(*c_, "SELECT count(*) FROM odbc_t")[0][0], "3");
    // Row 5 leaves out the required name: refused when its batch goes, by
    // the Update after it (SQLite: another field list sends the batch) or
    // by Close (PostgreSQL: DEFAULT fills the field list).
    const int32_t refused = NumberOf([&] {
      Append(*rs, {"4", "a"});
      Append(*rs, {"5"});
      Append(*rs, {"6", "c"});
      rs->Close();
    });
    EXPECT_EQ(refused, static_cast<int32_t>(0x80004005u));
    rs->Close();
  }
  EXPECT_EQ(ReadAll(*c_, "SELECT id FROM odbc_t ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1"}, {"2"}, {"3"}, {"4"}}));
  // A full batch goes by itself, and a refused row then fails the Update
  // that filled it.
  auto rs = c_->OpenRecordset("SELECT * FROM odbc_t", false);
  rs->SetBatchRows(2);
  Append(*rs, {"7", "g"});
  EXPECT_NE(NumberOf([&] { Append(*rs, {"7", "duplicate"}); }), 0);
  rs->Close();
  EXPECT_EQ(ReadAll(*c_, "SELECT count(*) FROM odbc_t WHERE id = 7")[0][0], "1");
}

TEST_P(OdbcEngineTest, FailuresAreReported) {
  EXPECT_NE(NumberOf([&] { c_->OpenRecordset("SELECT * FROM missing_table", true)->Eof(); }), 0);
  EXPECT_NE(NumberOf([&] { c_->OpenRecordset("SELECT * FROM odbc_t", true)->AddNew(); }), 0);
  EXPECT_NE(NumberOf([&] {
              auto rs = c_->OpenRecordset("SELECT * FROM odbc_t", false);
              rs->AddNew();
              rs->SetValue(3, *com::Variant::Utf8("no date").get());
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcEngineTest, ::testing::Values("sqlite", "pg"));

TEST(OdbcConnection, UnknownDriverGivesTheDriverManagersRecords) {
  try {
    OdbcConnection::Open("Driver=NoSuchDriver;", "", "");
    ADD_FAILURE() << "connected";
  } catch (const EngineError& e) {
    ASSERT_FALSE(e.records().empty());
    EXPECT_NE(e.description().find("NoSuchDriver"), std::string::npos) << e.description();
  }
}

TEST(OdbcConnection, ADroppedServerConnectionIsAnErrorNotACrash) {
  const std::string cs = PgConnectionString();
  if (cs.empty()) GTEST_SKIP() << "QUILLON_TEST_PG_PORT is not set";
  auto victim = OdbcConnection::Open(cs, "", "");
  auto killer = OdbcConnection::Open(cs, "", "");
  killer->Execute("CREATE TABLE IF NOT EXISTS odbc_drop (id integer)");
  auto rs = victim->OpenRecordset("SELECT * FROM odbc_drop", false);
  // The victim alone: other tests' connections run at the same time.
  const std::string victim_pid = ReadAll(*victim, "SELECT pg_backend_pid()").at(0).at(0);
  killer->Execute("SELECT pg_terminate_backend(" + victim_pid + ")");
  EXPECT_NE(NumberOf([&] { Append(*rs, {"1"}); }), 0);
  EXPECT_NO_THROW(rs->Close());
  EXPECT_NO_THROW(victim->Close());
  killer->Execute("DROP TABLE odbc_drop");
}

}  // namespace
}  // namespace quillon::engines
