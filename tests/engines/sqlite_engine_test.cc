// The DAO-shaped engine's SQLite layer on real files.
#include "engines/sqlite_engine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "quillon/component/runtime.h"

namespace quillon::engines {
namespace {

class SqliteEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("quillon-sqlite-" + std::to_string(getpid()) + ".db"))
                .string();
    std::filesystem::remove(path_);
    db_ = SqliteDatabase::Open(path_, false, /*create=*/true);
    db_->Execute(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, name VARCHAR(40) NOT NULL, amount REAL, "
        "day DATE, flag BOOLEAN, data BLOB, note TEXT)");
  }
  void TearDown() override {
    db_.reset();
    std::filesystem::remove(path_);
  }

  static std::string Text(const com::Variant& v) {
    if (v.vt() == com::VT_NULL) return "<null>";
    std::string bytes;
    if (com::Variant::GetBytes(*v.get(), &bytes)) return "bytes:" + bytes;
    std::u16string t;
    EXPECT_EQ(com::VariantToText(*v.get(), &t), com::S_OK) << v.vt();
    return com::Utf16ToUtf8(t);
  }

  // Appends one row of texts ("" leaves a field unassigned).
  static void Append(SqliteRecordset& rs, const std::vector<std::string>& values) {
    rs.AddNew();
    for (size_t i = 0; i < values.size(); ++i) {
      if (!values[i].empty()) rs.SetValue(i, *com::Variant::Utf8(values[i]).get());
    }
    rs.Update();
  }

  int64_t Count(const char* sql = "SELECT count(*) FROM t") {
    sqlite3* other = nullptr;
    sqlite3_open(path_.c_str(), &other);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(other, sql, -1, &stmt, nullptr);
    int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(other);
    return n;
  }

  std::string path_;
  std::shared_ptr<SqliteDatabase> db_;
};

TEST(SqliteTypes, DeclaredTypesMapToDaoTypes) {
  const struct {
    const char* declared;
    int16_t type;
    int32_t size;
  } cases[] = {{"INTEGER", kDbLong, 4},       {"bigint", kDbBigInt, 8},
               {"VARCHAR(40)", kDbText, 40},  {"TEXT", kDbMemo, 0},
               {"REAL", kDbDouble, 8},        {"DATE", kDbDate, 8},
               {"DATETIME", kDbDate, 8},      {"BOOLEAN", kDbBoolean, 1},
               {"BLOB", kDbLongBinary, 0},    {"VARBINARY(16)", kDbVarBinary, 16},
               {"MONEY", kDbCurrency, 8},     {"", kDbMemo, 0}};
  for (const auto& c : cases) {
    DeclaredType t = MapDeclaredType(c.declared);
    EXPECT_EQ(t.type, c.type) << c.declared;
    EXPECT_EQ(t.size, c.size) << c.declared;
  }
}

TEST(SqliteTypes, ConnectTextNamesTheFile) {
  EXPECT_EQ(DatabasePathFromConnect("", ";Database=/tmp/a.db"), "/tmp/a.db");
  EXPECT_EQ(DatabasePathFromConnect("", "ODBC;DATABASE=/tmp/b;x=1"), "/tmp/b");
  EXPECT_EQ(DatabasePathFromConnect("/tmp/c.db", ""), "/tmp/c.db");
}

TEST(DaoQueryText, DeclaredNamesAndMarkersBecomeNumberedMarkers) {
  using Params = std::vector<std::pair<std::string, int16_t>>;
  const struct {
    const char* sql;
    const char* statement;
    Params parameters;
  } cases[] = {
      {"SELECT * FROM t WHERE a = ? AND b = ?", "SELECT * FROM t WHERE a = ?1 AND b = ?2",
       {{"?1", 0}, {"?2", 0}}},
      {"PARAMETERS who Text (40), since DateTime; SELECT * FROM t WHERE name = who AND "
       "day > [since] OR name = [WHO]",
       " SELECT * FROM t WHERE name = ?1 AND day > ?2 OR name = ?1",
       {{"who", kDbText}, {"since", kDbDate}}},
      {"parameters [市 名] Text;SELECT * FROM t WHERE city = [市 名]",
       "SELECT * FROM t WHERE city = ?1", {{"市 名", kDbText}}},
      // Literals, quoted names, comments, numbers and qualified names keep
      // what looks like a parameter.
      {"PARAMETERS n Long; SELECT 'n ?', \"n\", `n`, 1e5, t.n /* n ? */ FROM t WHERE x = n -- n ?",
       " SELECT 'n ?', \"n\", `n`, 1e5, t.n /* n ? */ FROM t WHERE x = ?1 -- n ?",
       {{"n", kDbLong}}},
      {"INSERT INTO t VALUES ('it''s ?', ?)", "INSERT INTO t VALUES ('it''s ?', ?1)", {{"?1", 0}}},
      {"PARAMETERS a Currency, b YesNo, c Memo, d LongBinary, e Value; SELECT a, b, c, d, e",
       " SELECT ?1, ?2, ?3, ?4, ?5",
       {{"a", kDbCurrency}, {"b", kDbBoolean}, {"c", kDbMemo}, {"d", kDbLongBinary}, {"e", 0}}},
      {"SELECT 1", "SELECT 1", {}},
  };
  for (const auto& c : cases) {
    const ParsedQuery parsed = ParseDaoQuery(c.sql);
    EXPECT_EQ(parsed.statement, c.statement) << c.sql;
    EXPECT_EQ(parsed.parameters, c.parameters) << c.sql;
  }
}

TEST(DaoQueryText, MalformedOrAmbiguousTextIsRefused) {
  const char* cases[] = {
      "PARAMETERS a Text SELECT 1",          // no ;
      "PARAMETERS a Nonsense; SELECT a",     // unknown type
      "PARAMETERS a Text, a Long; SELECT a",  // twice
      "PARAMETERS [a Text; SELECT a",        // unclosed name
      "PARAMETERS a Text; SELECT a, ?",      // both forms
      "SELECT ?1",                           // SQLite's numbered marker
      "SELECT * FROM t WHERE a = :a",        // SQLite's named markers
      "SELECT * FROM t WHERE a = @a",
      "SELECT * FROM t WHERE a = $a",
  };
  for (const char* sql : cases) {
    try {
      ParseDaoQuery(sql);
      ADD_FAILURE() << "accepted: " << sql;
    } catch (const EngineError& e) {
      EXPECT_EQ(e.number(), 3000) << sql;
    }
  }
}

// Strings assigned to the record being added take a direct way for the
// common cases (text, dates in their stored form, plain numbers, True and
// False). A string passed by reference takes the general conversion; both
// must store the same thing, or fail with the same number.
TEST_F(SqliteEngineTest, DirectStoresMatchTheGeneralConversion) {
  db_->Execute("CREATE TABLE d (i INTEGER, r REAL, t TEXT, day DATE, b BOOLEAN, bin BLOB, "
               "m MONEY)");
  const struct {
    size_t field;
    std::u16string text;
  } cases[] = {
      {0, u"42"}, {0, u"-900719925474099"}, {0, u"+5"}, {0, u" 7"}, {0, u"1e3"},
      {0, u"2.5"}, {0, u"3.5"}, {0, u"True"}, {0, u"x1"}, {0, u"-"}, {0, u""},
      {0, u"99999999999999999999"}, {1, u"0.1"}, {1, u"-2.5e-07"}, {1, u"1e308"},
      {1, u" 2"}, {1, u"inf"}, {1, u"nan"}, {1, u"0x10"}, {1, u"1,5"}, {1, u"１"},
      {2, u"日本語"}, {2, std::u16string(u"a\0b", 3)}, {2, u""}, {3, u"2024-02-29"},
      {3, u"2024-02-29 23:59:59"}, {3, u"12:30:00"}, {3, u"2024/02/29"}, {3, u"2024-02-30"},
      {3, u"45000.5"}, {4, u"True"}, {4, u"False"}, {4, u"true"}, {4, u"0"}, {4, u"yes"},
      {5, u"bytes as text"}, {6, u"1.5"}, {6, u"1e15"},
  };
  auto store = [&](SqliteRecordset& rs, size_t field, const com::VARIANT& value) {
    try {
      rs.AddNew();
      rs.SetValue(field, value);
      rs.Update();
    } catch (const EngineError& e) {
      return e.number();
    }
    return 0;
  };
  auto stored = [&] {
    sqlite3* other = nullptr;
    sqlite3_open(path_.c_str(), &other);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(other,
                       "SELECT typeof(i) || quote(i) || typeof(r) || quote(r) || typeof(t) || hex(t) || "
                       "quote(day) || typeof(b) || quote(b) || quote(bin) || typeof(m) || "
                       "quote(m) FROM d ORDER BY rowid",
                       -1, &stmt, nullptr);
    std::vector<std::string> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(other);
    return rows;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.field) + ": " + com::Utf16ToUtf8(c.text));
    db_->Execute("DELETE FROM d");
    com::Variant direct = com::Variant::String(c.text);
    com::BSTR referenced = direct.get()->bstrVal;
    com::VARIANT by_reference{};
    by_reference.vt = com::VT_BYREF | com::VT_BSTR;
    by_reference.pbstrVal = &referenced;
    int32_t direct_number = 0;
    {
      auto rs = db_->OpenRecordset("SELECT * FROM d", 2, 0);
      direct_number = store(*rs, c.field, *direct.get());
      EXPECT_EQ(direct_number, store(*rs, c.field, by_reference));
      rs->Close();
    }
    const std::vector<std::string> rows = stored();
    if (direct_number == 0) {
      ASSERT_EQ(rows.size(), 2u);
      EXPECT_EQ(rows[0], rows[1]);
    } else {
      EXPECT_TRUE(rows.empty());  // a refused value adds no record
    }
  }
  // Where the general conversion went through a double, the direct way is
  // exact: a 17-digit integer arrives whole.
  db_->Execute("DELETE FROM d");
  auto rs = db_->OpenRecordset("SELECT i FROM d", 2, 0);
  rs->AddNew();
  rs->SetValue(0, *com::Variant::String(u"12345678901234567").get());
  rs->Update();
  rs->Close();
  EXPECT_EQ(Count("SELECT i FROM d"), 12345678901234567);
}

TEST_F(SqliteEngineTest, AppendedRowsReadBackTypedAndDescribed) {
  {
    auto rs = db_->OpenRecordset("SELECT * FROM [t]", 2, 0);
    const auto& f = rs->fields();
    ASSERT_EQ(f.size(), 7u);
    EXPECT_EQ(f[1].name, "name");
    EXPECT_EQ(f[1].type, kDbText);
    EXPECT_EQ(f[1].size, 40);
    EXPECT_TRUE(f[1].required);
    EXPECT_FALSE(f[2].required);
    Append(*rs, {"1", "tab\there \"q\"", "0.1", "2024-02-29", "True", "", ""});
    rs->AddNew();
    rs->SetValue(0, *com::Variant::I4(2).get());
    rs->SetValue(1, *com::Variant::Utf8("b").get());
    rs->SetValue(5, *com::Variant::Bytes(std::string("\x00\xFF", 2)).get());
    rs->SetValue(4, *com::Variant::Bool(false).get());
    rs->Update();
    rs->Close();
  }
  auto rs = db_->OpenRecordset("SELECT * FROM t ORDER BY id", 4, 4);
  std::vector<std::string> row;
  for (size_t i = 0; i < 7; ++i) row.push_back(Text(rs->GetValue(i)));
  EXPECT_EQ(row, (std::vector<std::string>{"1", "tab\there \"q\"", "0.1", "2024-02-29", "True",
                                           "<null>", "<null>"}));
  rs->MoveNext();
  EXPECT_EQ(Text(rs->GetValue(5)), "bytes:" + std::string("\x00\xFF", 2));
  EXPECT_EQ(Text(rs->GetValue(4)), "False");
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  EXPECT_THROW(rs->AddNew(), EngineError);  // a snapshot is read-only
}

TEST_F(SqliteEngineTest, FailuresCarryDaoNumbersAndKeepEarlierRows) {
  auto number = [](auto&& f) {
    try {
      f();
    } catch (const EngineError& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(number([&] { db_->OpenRecordset("SELECT * FROM [missing]", 2, 0); }), 3078);
  EXPECT_EQ(number([&] { SqliteDatabase::Open(path_ + ".absent", false); }), 3024);

  auto rs = db_->OpenRecordset("SELECT * FROM t", 2, 0);
  Append(*rs, {"1", "a"});
  Append(*rs, {"2", "b"});
  EXPECT_EQ(number([&] { Append(*rs, {"1", "dup"}); }), 3022);
  EXPECT_EQ(number([&] { Append(*rs, {"3"}); }), 3314);  // name is required
  rs->AddNew();
  EXPECT_EQ(number([&] { rs->SetValue(3, *com::Variant::Utf8("not a date").get()); }), 3421);
  EXPECT_EQ(number([&] { rs->SetValue(0, *com::Variant::Utf8("x1").get()); }), 3421);
  rs->Close();
  EXPECT_EQ(Count(), 2);
}

TEST_F(SqliteEngineTest, ALockedFileIsReportedAndNothingIsHeld) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto rs = db_->OpenRecordset("SELECT * FROM t", 2, 0);
  try {
    Append(*rs, {"1", "a"});
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), 3260);
  }
  rs->Close();
  db_->Close();
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // The file is free again: another writer gets through at once.
  EXPECT_EQ(Count("SELECT count(*) FROM t"), 0);
}

TEST_F(SqliteEngineTest, AppendingCommitsOnlyAtClose) {
  auto rs = db_->OpenRecordset("SELECT * FROM t", 2, 0);
  for (int i = 0; i < 3; ++i) Append(*rs, {std::to_string(i), "x"});
  EXPECT_EQ(Count(), 0);  // one transaction, not one per row
  rs->Close();
  EXPECT_EQ(Count(), 3);
}

}  // namespace
}  // namespace quillon::engines
