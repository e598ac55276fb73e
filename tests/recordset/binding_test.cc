// The binding over the real engines library: registered in a private
// registry, created by class identity, called late-bound.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <span>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/recordset/recordset.h"
#include "tests/engines/pg_source.h"
#include "tests/recordset/test_registry.h"

namespace quillon::recordset {
namespace {

using testing::TestRegistry;

const char kSchema[] =
    "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, amount REAL, day DATE, flag BOOLEAN, "
    "data BLOB, note TEXT);"
    "CREATE TABLE d (id INTEGER PRIMARY KEY, name TEXT, amount REAL, day DATE, flag BOOLEAN, "
    "data BLOB, note TEXT);";
const char kRows[] =
    "INSERT INTO t VALUES (1, 'tab\there \"q\" ''s''', 0.1, '2024-02-29', 1, x'00FF10', NULL);"
    "INSERT INTO t VALUES (2, '\"lead', -2.5e-7, '1999-12-31 23:59:58', 0, x'', 'cr\rlf\n');"
    "INSERT INTO t VALUES (3, NULL, NULL, NULL, NULL, NULL, '');";
// What the three rows are as recordset text.
const char kText[] =
    "1\t\"tab\there \"\"q\"\" 's'\"\t0.1\t2024-02-29\tTrue\t\\\\x00FF10\t\r\n"
    "2\t\"\"\"lead\"\t-2.5e-07\t1999-12-31 23:59:58\tFalse\t\\\\x\t\"cr\rlf\n\"\r\n"
    "3\t\t\t\t\t\t";

int32_t CodeOf(auto&& f) {
  try {
    f();
  } catch (const RecordsetException& e) {
    return e.code();
  }
  return 0;
}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.Register(testing::kAll));
    path_ = registry_.Path("data.db");
    Exec(kSchema);
    Exec(kRows);
  }

  void Exec(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_free(error);
    sqlite3_close(db);
  }

  // A DAO engine and a database opened by "script" code.
  com::ComPtr<com::IDispatch> OpenDatabase(const char16_t* progid) {
    com::CLSID clsid{};
    EXPECT_EQ(com::CLSIDFromProgID(progid, &clsid), com::S_OK);
    com::ComPtr<com::IDispatch> engine;
    EXPECT_EQ(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                                    engine.put_void()),
              com::S_OK);
    com::Variant args[] = {com::Variant::Utf8(path_)};
    com::VARIANT raw[] = {*args[0].get()};
    com::Variant db;
    EXPECT_EQ(com::InvokeByName(engine.get(), u"OpenDatabase", com::DISPATCH_METHOD, raw, db.get(),
                                nullptr),
              com::S_OK);
    return com::ComPtr<com::IDispatch>(db.get()->pdispVal);
  }

  // The one-column table holding only `stored` (an SQL literal) exports as
  // `text`, or, for nullptr, fails with 3349 (numeric field overflow).
  void ExpectExported(const char* table, const char* stored, const char* text) {
    Exec((std::string("DELETE FROM ") + table + "; INSERT INTO " + table + " VALUES (" + stored +
          ")")
             .c_str());
    if (text != nullptr) {
      EXPECT_EQ(ExportRecordset(qlDAO36, path_, table), text) << stored;
    } else {
      EXPECT_EQ(CodeOf([&] { ExportRecordset(qlDAO36, path_, table); }), 3349) << stored;
    }
  }

  TestRegistry registry_;
  std::string path_;
};

TEST_F(BindingTest, EveryDaoVersionExportsAndImportsTheSameText) {
  for (int32_t type : {qlDAO36, qlDAO35, qlDAO30, qlDAOPassThrough}) {
    Exec("DELETE FROM d; INSERT INTO d (id, name) VALUES (99, 'kept');");
    EXPECT_EQ(ExportRecordset(type, path_, "t"), kText) << type;
    ImportRecordset(type, path_, "d", kText);
    EXPECT_EQ(ExportRecordset(type, path_, "SELECT * FROM d WHERE id <> 99"), kText) << type;
    EXPECT_EQ(ExportRecordset(type, path_, "SELECT name FROM d WHERE id = 99"), "kept") << type;
  }
}

// Empty bytes are a value of their own, not Null, also when they are the
// first bytes the import sees (nothing has been kept for a field yet).
TEST_F(BindingTest, EmptyBytesStayEmptyInTheFirstRowImported) {
  const std::string row = "2\t\"\"\"lead\"\t-2.5e-07\t1999-12-31 23:59:58\tFalse\t\\\\x\t\"cr\rlf\n\"";
  ImportRecordset(qlDAO36, path_, "d", row);
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "SELECT * FROM d"), row);
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "SELECT typeof(data) FROM d"), "blob");
}

TEST_F(BindingTest, ConnectTextsWithSemicolonsArePassedWhole) {
  EXPECT_EQ(ExportRecordset(qlDAO36, ";Database=" + path_, "SELECT id FROM t WHERE id < 3"),
            "1\r\n2");
}

TEST_F(BindingTest, OpenOnAScriptsDatabaseLeavesItOpen) {
  for (auto [type, progid] : {std::pair{qlDAO36, u"DAO.DBEngine.36"},
                              std::pair{qlDAO30, u"DAO.DBEngine.30"}}) {
    com::ComPtr<com::IDispatch> db = OpenDatabase(progid);
    ASSERT_TRUE(db);
    Exec("DELETE FROM d");
    ImportRecordset(type, db.get(), "d", "7\tseven");
    EXPECT_EQ(ExportRecordset(type, db.get(), "d"), "7\tseven\t\t\t\t\t");
    // Still the script's: it can go on using it.
    EXPECT_EQ(ExportRecordset(type, db.get(), "SELECT count(*) FROM t"), "3");
    // The engine's errors about the script's database reach the binding.
    try {
      ExportRecordset(type, db.get(), "missing");
      ADD_FAILURE() << "no error";
    } catch (const RecordsetException& e) {
      EXPECT_EQ(e.code(), 3078);
      EXPECT_EQ(e.Text(), u"no such table: missing");
    }
  }
}

TEST_F(BindingTest, FailuresGiveTheirCodes) {
  com::ComPtr<com::IDispatch> db30 = OpenDatabase(u"DAO.DBEngine.30");
  const struct {
    const char* what;
    std::function<void()> run;
    int32_t code;
  } cases[] = {
      {"empty database name", [&] { ExportRecordset(qlDAO36, "", "t"); }, kBadParameter},
      {"no database object", [&] { ExportRecordset(qlDAO36, nullptr, "t"); }, kBadParameter},
      {"database of another DAO version", [&] { ExportRecordset(qlDAO36, db30.get(), "t"); },
       kBadParameter},
      {"empty recordset name", [&] { ExportRecordset(qlDAO36, path_, ""); }, kNotOpen},
      {"missing table", [&] { ExportRecordset(qlDAO35, path_, "missing"); }, 3078},
      {"missing file", [&] { ExportRecordset(qlDAO30, path_ + ".none", "t"); }, 3024},
      {"import into a query", [&] { ImportRecordset(qlDAO36, path_, "SELECT count(*) FROM t", "1"); },
       3027},
  };
  for (const auto& c : cases) EXPECT_EQ(CodeOf(c.run), c.code) << c.what;

  try {
    ExportRecordset(qlDAO36, path_, "missing");
  } catch (const RecordsetException& e) {
    EXPECT_EQ(e.description(), u"no such table: missing");
    EXPECT_EQ(e.Text(), u"no such table: missing");
    EXPECT_EQ(e.help_context(), 5000000 + 3078);
  }
}

TEST_F(BindingTest, AFailingImportKeepsTheRowsBeforeIt) {
  Exec("DELETE FROM d; INSERT INTO d (id) VALUES (3)");
  EXPECT_EQ(CodeOf([&] { ImportRecordset(qlDAO36, path_, "d", "1\ta\r\n2\tb\r\n3\tc\r\n4\td"); }),
            3022);
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "SELECT id, name FROM d ORDER BY id"),
            "1\ta\r\n2\tb\r\n3\t");
}

// A currency has four decimals in a signed 64-bit integer: at most
// 922337203685477.5807 either way. A stored number past that cannot be a
// currency; it must fail, not wrap around into another amount.
TEST_F(BindingTest, CurrencyAtItsLimitsExportsAndPastThemFails) {
  Exec("CREATE TABLE money (amount MONEY)");
  const struct {
    const char* stored;  // SQL literal
    const char* text;    // exported, or nullptr: 3349, numeric field overflow
  } cases[] = {
      {"922337203685477", "922337203685477"},
      {"-922337203685477", "-922337203685477"},
      {"922337203685477.5", "922337203685477.5"},
      {"-922337203685477.5", "-922337203685477.5"},
      {"123456789012.3456", "123456789012.3456"},
      {"0.1", "0.1"},
      {"922337203685478", nullptr},
      {"-922337203685478", nullptr},
      {"1000000000000000", nullptr},
      {"1e15", nullptr},
      {"922337203685477.625", nullptr},
      {"9.3e18", nullptr},
  };
  for (const auto& c : cases) ExpectExported("money", c.stored, c.text);
  // Past the limit on the way in: the same failure, and no row.
  Exec("DELETE FROM money");
  EXPECT_EQ(CodeOf([&] { ImportRecordset(qlDAO36, path_, "money", "1\r\n1000000000000000"); }),
            3349);
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "money"), "1");
  ImportRecordset(qlDAO36, path_, "money", "-922337203685477.5");
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "SELECT amount FROM money WHERE amount < 0"),
            "-922337203685477.5");
}

// Dates are days since 1899-12-30 with the time as the fraction, written to
// the second: a fraction that rounds up to the next midnight is that
// midnight. A number in a date column outside the years 100 to 9999 is no
// date at all.
TEST_F(BindingTest, DatesRoundToTheSecondAndOutOfRangeOnesFail) {
  Exec("CREATE TABLE days (day DATE)");
  const struct {
    const char* stored;
    const char* text;  // nullptr: 3349
  } cases[] = {
      {"0.999999999", "1899-12-31"},
      {"45000.999999999", "2023-03-16"},
      {"45000.5", "2023-03-15 12:00:00"},
      {"0.25", "06:00:00"},
      {"'2024-02-29 23:59:59'", "2024-02-29 23:59:59"},
      {"2958466", nullptr},
      {"-657436", nullptr},
      {"1e300", nullptr},
  };
  for (const auto& c : cases) ExpectExported("days", c.stored, c.text);
}

TEST_F(BindingTest, ProbeOrderAndFallbacks) {
  using testing::kAdo;
  using testing::kDao30;
  using testing::kDao35;
  using testing::kDao36;
  const struct {
    unsigned registered;
    int32_t type;
    int32_t code;  // 0: works
  } cases[] = {
      {kDao30, qlDAO36, 0},          {kDao30, qlDAOPassThrough, 0}, {kDao30, qlDAO35, 0},
      {kDao30, qlDAO30, 0},          {kDao35, qlDAO36, 0},          {kDao35, qlDAO30, 0},
      {kDao36, qlDAO36, 0},          {kDao36, qlDAO35, kNoEngine},  {kDao36, qlDAO30, kNoEngine},
      {kAdo, qlDAO36, kNoEngine},    {kDao36 | kDao35 | kDao30, qlADO, kNoAdoConnection},
      {kDao36 | kDao35 | kDao30, 77, kNoAdoConnection},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(registry_.Register(c.registered));
    EXPECT_EQ(CodeOf([&] { ExportRecordset(c.type, path_, "SELECT id FROM t WHERE id = 1"); }),
              c.code)
        << "registered " << c.registered << " type " << c.type;
  }
  ASSERT_TRUE(registry_.Register(kDao30));
  EXPECT_FALSE(IsEngineAvailable(qlDAO36));
  EXPECT_FALSE(IsEngineAvailable(qlDAO35));
  EXPECT_TRUE(IsEngineAvailable(qlDAO30));
}

TEST_F(BindingTest, MakeSelectPerEngine) {
  auto dao = CreateRecordsetAdapter(qlDAO36);
  auto pass = CreateRecordsetAdapter(qlDAOPassThrough);
  auto ado = CreateRecordsetAdapter(qlADO);
  const struct {
    const char* name;
    const char* dao;
    const char* pass;
    const char* ado;
  } cases[] = {
      {"T", "SELECT * FROM [T]", "SELECT * FROM T", "SELECT * FROM T"},
      {"[x y]", "SELECT * FROM [x y]", "SELECT * FROM [x y]", "SELECT * FROM [x y]"},
      {"Selections", "Selections", "Selections", "Selections"},
      {"select a from b", "select a from b", "select a from b", "select a from b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dao->MakeSelect(c.name), c.dao);
    EXPECT_EQ(pass->MakeSelect(c.name), c.pass);
    EXPECT_EQ(ado->MakeSelect(c.name), c.ado);
  }
}

TEST_F(BindingTest, FieldInfoComesFromTheEngine) {
  Exec("CREATE TABLE m (a VARCHAR(12) NOT NULL, b BLOB, c INTEGER)");
  auto adapter = CreateRecordsetAdapter(qlDAO36);
  adapter->OpenByName(path_, "m", true, 0);
  const auto& f = adapter->fields();
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].name, "a");
  EXPECT_EQ(f[0].upper_name, "A");
  EXPECT_EQ(f[0].type, 10);
  EXPECT_EQ(f[0].size, 12);
  EXPECT_EQ(f[0].nullable, 0);
  EXPECT_EQ(f[1].type, 11);
  EXPECT_EQ(f[1].nullable, 1);
  EXPECT_EQ(f[2].width, 255);
  EXPECT_TRUE(adapter->IsBinaryCapable(f[1].type));
  adapter->Close();
  EXPECT_FALSE(adapter->IsOpen());
  EXPECT_EQ(CodeOf([&] { adapter->GetFieldCount(); }), kNotOpen);
}

}  // namespace
}  // namespace quillon::recordset

namespace quillon::recordset {
namespace {

// The same table on every database: integer, text with tabs, CR, LF and
// quotes, real, date, boolean, binary and Null.
const char kRoundTripText[] =
    "1\t\"tab\there \"\"q\"\" 's' cr\rlf\n\"\t0.1\t2024-02-29\tTrue\t\\\\x00FF10\t\r\n"
    "2\t\"\"\"lead\"\t-2.5e-07\t1999-12-31\tFalse\t\\\\x41\tplain \"mid\"\r\n"
    "3\t\t\t\t\t\t";

class AdoRoundTrip : public BindingTest {};

TEST_F(AdoRoundTrip, SqliteThroughOdbcExportsAndImports) {
  const std::string cs = "Driver=SQLite3;Database=" + path_;
  Exec("DELETE FROM d");
  ImportRecordset(qlDAO36, path_, "d", kRoundTripText);
  const std::string text = ExportRecordset(qlADO, cs, "d");
  EXPECT_EQ(text, kRoundTripText);
  Exec("DELETE FROM d");
  ImportRecordset(qlADO, cs, "d", text);
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "d"), kRoundTripText);
}

// The binding's recordset sends the rows it appends in batches. Empty
// values still leave their fields to the column default, rows keep their
// order, and a refused row fails the import with the rows before it saved.
TEST_F(AdoRoundTrip, BatchedImportsKeepDefaultsOrderAndTheRowsBeforeARefusal) {
  std::vector<std::pair<std::string, std::string>> sources = {
      {"sqliteodbc", "Driver=SQLite3;Database=" + path_}};
  if (const std::string pg = quillon::testing::PgConnectionString(/*bools_as_char=*/true);
      !pg.empty()) {
    sources.emplace_back("PostgreSQL", pg);
  }
  for (const auto& [what, cs] : sources) {
    SCOPED_TRACE(what);
    com::CLSID clsid{};
    ASSERT_EQ(com::CLSIDFromProgID(u"ADODB.Connection", &clsid), com::S_OK);
    com::ComPtr<com::IDispatch> admin;
    ASSERT_EQ(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                                    admin.put_void()),
              com::S_OK);
    auto run = [&](std::u16string_view name, const std::string& arg) {
      com::Variant v = com::Variant::Utf8(arg);
      com::VARIANT raw[] = {*v.get()};
      return com::InvokeByName(admin.get(), name, com::DISPATCH_METHOD,
                               std::span(raw, arg.empty() ? 0 : 1), nullptr, nullptr);
    };
    ASSERT_EQ(run(u"Open", cs), com::S_OK);
    run(u"Execute", "DROP TABLE IF EXISTS batched");
    ASSERT_EQ(run(u"Execute", "CREATE TABLE batched (seq integer PRIMARY KEY, name varchar(20) "
                              "NOT NULL DEFAULT 'unnamed', note varchar(20))"),
              com::S_OK);
    std::string text, expected;
    for (int i = 1; i <= 250; ++i) {
      const std::string name = i % 3 == 0 ? "" : "n" + std::to_string(i);
      const std::string note = i % 5 == 0 ? "" : "x";
      const std::string separator = i > 1 ? "\r\n" : "";
      text += separator + std::to_string(i) + "\t" + name + "\t" + note;
      expected += separator + std::to_string(i) + "\t" + (name.empty() ? "unnamed" : name) +
                  "\t" + note;
    }
    ImportRecordset(qlADO, cs, "batched", text);
    EXPECT_EQ(ExportRecordset(qlADO, cs, "SELECT seq, name, note FROM batched ORDER BY seq"),
              expected);
    // Row 260 is refused (its key is taken): the import fails, 251-259 stay.
    run(u"Execute", "DELETE FROM batched");
    text.clear();
    for (int i = 251; i <= 270; ++i) {
      text += (i > 251 ? "\r\n" : "") + std::to_string(i == 260 ? 251 : i) + "\tn";
    }
    EXPECT_NE(CodeOf([&] { ImportRecordset(qlADO, cs, "batched", text); }), 0);
    EXPECT_EQ(ExportRecordset(qlADO, cs, "SELECT count(*), min(seq), max(seq) FROM batched"),
              "9	251	259");
    run(u"Execute", "DROP TABLE batched");
    run(u"Close", "");
  }
}

TEST_F(AdoRoundTrip, SqliteToPostgresAndBackUnchanged) {
  const std::string pg = quillon::testing::PgConnectionString();
  if (pg.empty()) GTEST_SKIP() << "QUILLON_TEST_PG_PORT is not set";
  // The table is made through the ADO engine itself, the way a script would.
  com::CLSID clsid{};
  ASSERT_EQ(com::CLSIDFromProgID(u"ADODB.Connection", &clsid), com::S_OK);
  com::ComPtr<com::IDispatch> connection;
  ASSERT_EQ(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                                  connection.put_void()),
            com::S_OK);
  auto call = [&](std::u16string_view name, std::vector<com::Variant> args) {
    std::vector<com::VARIANT> raw;
    for (auto& a : args) raw.push_back(*a.get());
    return com::InvokeByName(connection.get(), name, com::DISPATCH_METHOD, raw, nullptr, nullptr);
  };
  ASSERT_EQ(call(u"Open", {com::Variant::Utf8(pg)}), com::S_OK);
  call(u"Execute", {com::Variant::Utf8("DROP TABLE IF EXISTS rt")});
  ASSERT_EQ(call(u"Execute", {com::Variant::Utf8(
                                 "CREATE TABLE rt (id integer PRIMARY KEY, name text, amount "
                                 "double precision, day date, flag boolean, data bytea, note text)")}),
            com::S_OK);

  Exec("DELETE FROM d");
  ImportRecordset(qlDAO36, path_, "d", kRoundTripText);
  const std::string from_sqlite = ExportRecordset(qlDAO36, path_, "d");
  ImportRecordset(qlADO, connection.get(), "rt", from_sqlite);
  const std::string from_pg = ExportRecordset(qlADO, pg, "SELECT * FROM rt ORDER BY id");
  EXPECT_EQ(from_pg, kRoundTripText);
  Exec("DELETE FROM d");
  ImportRecordset(qlDAO36, path_, "d", from_pg);
  EXPECT_EQ(ExportRecordset(qlDAO36, path_, "d"), kRoundTripText);

  // A failing row on PostgreSQL keeps the rows before it.
  EXPECT_NE(CodeOf([&] { ImportRecordset(qlADO, pg, "rt", "10\ta\r\n11\tb\r\n1\tdup\r\n12\tc"); }),
            0);
  EXPECT_EQ(ExportRecordset(qlADO, pg, "SELECT id FROM rt WHERE id >= 10 ORDER BY id"),
            "10\r\n11");
  call(u"Execute", {com::Variant::Utf8("DROP TABLE rt")});
  call(u"Close", {});
}

}  // namespace
}  // namespace quillon::recordset
