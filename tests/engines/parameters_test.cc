// Parameterised statements through the engines' automation surface, as a
// script writes them: DAO query definitions over SQLite, ADO commands over
// SQLite (sqliteodbc) and PostgreSQL (psqlODBC). Values that would break a
// statement built as text (quotes, semicolons, comment marks, NULs) and
// Japanese text go in as parameters and come back unchanged, and the
// statement around them does exactly what it says.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engines/identities.h"
#include "tests/engines/late_bound.h"
#include "tests/engines/pg_source.h"

namespace quillon::engines {
namespace {

using com::ComPtr;
using com::IDispatch;
using com::Variant;
using testing::Create;
using testing::Get;
using testing::Int;
using testing::Object;
using testing::Put;
using testing::Method;

constexpr int32_t kAdInteger = 3;
constexpr int32_t kAdVarWChar = 202;
constexpr int32_t kAdLongVarBinary = 205;
constexpr int32_t kAdParamInput = 1;

struct Row {
  int32_t id;
  std::u16string text;
  std::string bytes;
};

// Values a statement built by quoting would get wrong.
const std::vector<Row>& TrickyRows() {
  static const std::vector<Row> rows = {
      {1, u"O'Brien said \"hi\" ''", std::string("'\"", 2)},
      {2, u"a; DROP TABLE params_t; --", std::string("; --")},
      {3, u"x'); DELETE FROM params_t; --", std::string("\x00\x01\x00", 3)},
      {4, u"日本語のテキスト「引用」と ' ;", "\xE6\x97\xA5"},
      {5, u"", std::string()},
  };
  return rows;
}

using testing::Text;

std::string Bytes(const Variant& v) {
  std::string bytes;
  return Variant::GetBytes(*v.get(), &bytes) ? bytes : "<not bytes>";
}

// One way of running parameterised statements: an insert of a row and a
// select of one row by its text.
struct Backend {
  std::function<void(const Row&)> insert;
  std::function<std::vector<Row>(const std::u16string& text)> select_by_text;
  std::function<int32_t()> count;
};

// The rows a recordset holds: id, text, bytes.
std::vector<Row> RowsOf(IDispatch* rs) {
  std::vector<Row> rows;
  ComPtr<IDispatch> fields = Object(Get(rs, u"Fields"));
  while (Get(rs, u"EOF").value.get()->boolVal == com::VARIANT_FALSE) {
    auto value = [&](int32_t i) {
      return Get(Object(Get(fields.get(), u"Item", {Variant::I4(i)})).get(), u"Value").value;
    };
    rows.push_back({Int({com::S_OK, value(0), {}}), Text(value(1)), Bytes(value(2))});
    EXPECT_EQ(Method(rs, u"MoveNext").hr, com::S_OK);
  }
  return rows;
}

class Parameters : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string kind = GetParam();
    path_ = (std::filesystem::temp_directory_path() /
             ("quillon-params-" + std::to_string(getpid()) + ".db"))
                .string();
    std::filesystem::remove(path_);
    if (kind == "dao") {
      engine_ = Create(ids::CLSID_DaoEngine36);
      db_ = Object(Method(engine_.get(), u"CreateDatabase", {Variant::Utf8(path_)}));
      ASSERT_TRUE(db_);
      ASSERT_EQ(Method(db_.get(), u"Execute",
                    {Variant::Utf8("CREATE TABLE params_t (id INTEGER PRIMARY KEY, label TEXT, "
                                   "data BLOB)")})
                    .hr,
                com::S_OK);
      backend_ = DaoBackend();
      return;
    }
    std::string cs;
    std::string schema = "CREATE TABLE params_t (id INTEGER PRIMARY KEY, label TEXT, data BLOB)";
    if (kind == "pg") {
      cs = quillon::testing::PgConnectionString();
      if (cs.empty()) GTEST_SKIP() << "QUILLON_TEST_PG_PORT is not set";
      schema = "CREATE TABLE params_t (id integer PRIMARY KEY, label text, data bytea)";
    } else {
      cs = "Driver=SQLite3;Database=" + path_;
    }
    connection_string_ = cs;
    connection_ = Create(ids::CLSID_AdoConnection);
    ASSERT_EQ(Method(connection_.get(), u"Open", {Variant::Utf8(cs)}).hr, com::S_OK);
    Method(connection_.get(), u"Execute", {Variant::Utf8("DROP TABLE IF EXISTS params_t")});
    ASSERT_EQ(Method(connection_.get(), u"Execute", {Variant::Utf8(schema)}).hr, com::S_OK);
    backend_ = AdoBackend();
  }
  void TearDown() override {
    if (connection_) {
      Method(connection_.get(), u"Execute", {Variant::Utf8("DROP TABLE IF EXISTS params_t")});
      Method(connection_.get(), u"Close");
    }
    if (db_) Method(db_.get(), u"Close");
    std::filesystem::remove(path_);
  }

  // DAO: a query definition with a PARAMETERS clause for the insert, ?
  // markers for the select.
  Backend DaoBackend() {
    Backend b;
    b.insert = [this](const Row& row) {
      ComPtr<IDispatch> qd = Object(Method(
          db_.get(), u"CreateQueryDef",
          {Variant::String(u""),
           Variant::Utf8("PARAMETERS [the id] Long, label_value Text, data_value LongBinary; "
                         "INSERT INTO params_t (id, label, data) "
                         "VALUES ([the id], label_value, data_value)")}));
      ComPtr<IDispatch> parameters = Object(Get(qd.get(), u"Parameters"));
      ASSERT_EQ(Int(Get(parameters.get(), u"Count")), 3);
      const Variant values[] = {Variant::I4(row.id), Variant::String(row.text),
                                Variant::Bytes(row.bytes)};
      const char16_t* names[] = {u"THE ID", u"label_value", u"Data_Value"};
      for (int i = 0; i < 3; ++i) {
        ComPtr<IDispatch> p = Object(Get(parameters.get(), u"Item", {Variant::String(names[i])}));
        ASSERT_EQ(Put(p.get(), u"Value", values[i]).hr, com::S_OK);
      }
      const auto executed = Method(qd.get(), u"Execute");
      ASSERT_EQ(executed.hr, com::S_OK) << com::Utf16ToUtf8(executed.description);
      EXPECT_EQ(Int(Get(qd.get(), u"RecordsAffected")), 1);
    };
    b.select_by_text = [this](const std::u16string& text) {
      ComPtr<IDispatch> qd = Object(
          Method(db_.get(), u"CreateQueryDef",
              {Variant::String(u""),
               Variant::Utf8("SELECT id, label, data FROM params_t WHERE label = ? ORDER BY id")}));
      ComPtr<IDispatch> p =
          Object(Get(Object(Get(qd.get(), u"Parameters")).get(), u"Item", {Variant::I4(0)}));
      EXPECT_EQ(Put(p.get(), u"Value", Variant::String(text)).hr, com::S_OK);
      ComPtr<IDispatch> rs = Object(Method(qd.get(), u"OpenRecordset"));
      return rs ? RowsOf(rs.get()) : std::vector<Row>{};
    };
    b.count = [this] {
      ComPtr<IDispatch> rs = Object(
          Method(db_.get(), u"OpenRecordset", {Variant::Utf8("SELECT count(*) FROM params_t")}));
      return Int(Get(Object(Get(Object(Get(rs.get(), u"Fields")).get(), u"Item",
                                {Variant::I4(0)}))
                         .get(),
                     u"Value"));
    };
    return b;
  }

  // ADO: commands with parameters made by CreateParameter and appended.
  ComPtr<IDispatch> Command(const char* text) {
    ComPtr<IDispatch> cmd = Create(ids::CLSID_AdoCommand);
    EXPECT_EQ(Put(cmd.get(), u"ActiveConnection", Variant::Dispatch(connection_.get())).hr,
              com::S_OK);
    EXPECT_EQ(Put(cmd.get(), u"CommandText", Variant::Utf8(text)).hr, com::S_OK);
    return cmd;
  }
  void Append(IDispatch* cmd, const char16_t* name, int32_t type, Variant value) {
    ComPtr<IDispatch> p = Object(Method(
        cmd, u"CreateParameter",
        {Variant::String(name), Variant::I4(type), Variant::I4(kAdParamInput), Variant::I4(0),
         std::move(value)}));
    EXPECT_EQ(Method(Object(Get(cmd, u"Parameters")).get(), u"Append", {Variant::Dispatch(p.get())}).hr,
              com::S_OK);
  }
  Backend AdoBackend() {
    Backend b;
    b.insert = [this](const Row& row) {
      ComPtr<IDispatch> cmd = Command("INSERT INTO params_t (id, label, data) VALUES (?, ?, ?)");
      Append(cmd.get(), u"id", kAdInteger, Variant::I4(row.id));
      Append(cmd.get(), u"label", kAdVarWChar, Variant::String(row.text));
      Append(cmd.get(), u"data", kAdLongVarBinary, Variant::Bytes(row.bytes));
      Variant affected;
      Variant by_ref = Variant::RefTo(affected.get());
      const auto executed = Method(cmd.get(), u"Execute", {by_ref});
      ASSERT_EQ(executed.hr, com::S_OK) << com::Utf16ToUtf8(executed.description);
      EXPECT_EQ(Int({com::S_OK, affected, {}}), 1);
    };
    b.select_by_text = [this](const std::u16string& text) {
      ComPtr<IDispatch> cmd =
          Command("SELECT id, label, data FROM params_t WHERE label = ? ORDER BY id");
      Append(cmd.get(), u"label", kAdVarWChar, Variant::String(text));
      ComPtr<IDispatch> rs = Object(Method(cmd.get(), u"Execute"));
      return rs ? RowsOf(rs.get()) : std::vector<Row>{};
    };
    b.count = [this] {
      ComPtr<IDispatch> cmd = Command("SELECT count(*), 0, 0 FROM params_t");
      ComPtr<IDispatch> rs = Object(Method(cmd.get(), u"Execute"));
      return rs ? RowsOf(rs.get()).at(0).id : -1;
    };
    return b;
  }

  std::string path_;
  std::string connection_string_;
  ComPtr<IDispatch> engine_, db_, connection_;
  Backend backend_;
};

TEST_P(Parameters, ValuesAreBoundNeverSpliced) {
  for (const Row& row : TrickyRows()) backend_.insert(row);
  EXPECT_EQ(backend_.count(), static_cast<int32_t>(TrickyRows().size()))
      << "the statement did more than insert its row";
  for (const Row& row : TrickyRows()) {
    SCOPED_TRACE(com::Utf16ToUtf8(row.text));
    const std::vector<Row> found = backend_.select_by_text(row.text);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].id, row.id);
    EXPECT_EQ(found[0].text, row.text);
    EXPECT_EQ(found[0].bytes, row.bytes);
  }
  // A value that only looks like a condition selects nothing.
  EXPECT_TRUE(backend_.select_by_text(u"' OR '1'='1").empty());
}

// The drivers end text at a NUL and PostgreSQL cannot store one: through
// ODBC such text is refused (3421, a conversion error) rather than saved
// cut short. SQLite through DAO keeps it whole.
TEST_P(Parameters, TextWithANulIsKeptWholeOrRefusedNeverCut) {
  const Row row{7, std::u16string(u"before\0after", 12), std::string("\0", 1)};
  const bool kept = std::string(GetParam()) == "dao";
  if (kept) {
    backend_.insert(row);
    const std::vector<Row> found = backend_.select_by_text(row.text);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text, row.text);
    EXPECT_TRUE(backend_.select_by_text(u"before").empty());
    return;
  }
  ComPtr<IDispatch> cmd = Command("INSERT INTO params_t (id, label) VALUES (?, ?)");
  Append(cmd.get(), u"id", kAdInteger, Variant::I4(row.id));
  Append(cmd.get(), u"label", kAdVarWChar, Variant::String(row.text));
  const auto executed = Method(cmd.get(), u"Execute");
  EXPECT_EQ(executed.hr, com::DISP_E_EXCEPTION);
  EXPECT_NE(executed.description.find(u"U+0000"), std::u16string::npos);
  EXPECT_EQ(backend_.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, Parameters, ::testing::Values("dao", "sqliteodbc", "pg"));

class QueryDefs : public Parameters {};

// A query definition runs exactly one statement with every parameter given.
TEST_P(QueryDefs, RefuseWhatTheyCannotRunAsWritten) {
  auto query = [&](const char* sql) {
    return Object(
        Method(db_.get(), u"CreateQueryDef", {Variant::String(u""), Variant::Utf8(sql)}));
  };
  // The number the engine's error collection holds first.
  auto number = [&] {
    ComPtr<IDispatch> errors = Object(Get(engine_.get(), u"Errors"));
    return Int(Get(Object(Get(errors.get(), u"Item", {Variant::I4(0)})).get(), u"Number"));
  };
  const struct {
    const char* what;
    const char* sql;
    const char16_t* member;
    int32_t number;
  } cases[] = {
      {"a parameter without a value", "PARAMETERS a Long, b Text; DELETE FROM params_t WHERE id = a",
       u"Execute", 3061},
      {"rows from Execute", "SELECT * FROM params_t", u"Execute", 3065},
      {"a second statement", "DELETE FROM params_t; DROP TABLE params_t", u"Execute", 3000},
      {"a value of the wrong kind", "PARAMETERS a Long; DELETE FROM params_t WHERE id = a",
       u"Execute", 3421},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IDispatch> qd = query(c.sql);
    ASSERT_TRUE(qd);
    ComPtr<IDispatch> parameters = Object(Get(qd.get(), u"Parameters"));
    if (std::string(c.what) == "a value of the wrong kind") {
      Put(Object(Get(parameters.get(), u"Item", {Variant::I4(0)})).get(), u"Value",
          Variant::Utf8("not a number"));
    }
    EXPECT_EQ(Method(qd.get(), c.member).hr, com::DISP_E_EXCEPTION);
    EXPECT_EQ(number(), c.number);
  }
  EXPECT_EQ(backend_.count(), 0);
  ComPtr<IDispatch> qd = query("INSERT INTO params_t (id) VALUES (?)");
  ComPtr<IDispatch> parameters = Object(Get(qd.get(), u"Parameters"));
  // Its parameters come from its text: none can be added or taken away.
  EXPECT_NE(Method(parameters.get(), u"Delete", {Variant::I4(0)}).hr, com::S_OK);
  EXPECT_EQ(Int(Get(parameters.get(), u"Count")), 1);
  // New text, new parameters; the collection handed out before follows.
  ASSERT_EQ(Put(qd.get(), u"SQL",
                Variant::Utf8("PARAMETERS x Long, y Text; INSERT INTO params_t (id, label) "
                              "VALUES (x, y)"))
                .hr,
            com::S_OK);
  EXPECT_EQ(Int(Get(parameters.get(), u"Count")), 2);
  EXPECT_EQ(testing::Text(Get(Object(Get(parameters.get(), u"Item", {Variant::I4(1)})).get(),
                              u"Name")
                              .value),
            u"y");
  EXPECT_NE(Get(parameters.get(), u"Item", {Variant::String(u"?1")}).hr, com::S_OK);
}

INSTANTIATE_TEST_SUITE_P(Dao, QueryDefs, ::testing::Values("dao"));

class Commands : public Parameters {};

TEST_P(Commands, ExecuteFormsAndTheirResults) {
  for (const Row& row : TrickyRows()) backend_.insert(row);
  // Values given to Execute itself, in marker order; the rows it changed.
  ComPtr<IDispatch> update = Command("UPDATE params_t SET label = ? WHERE id > ?");
  Variant affected;
  std::vector<Variant> values = {Variant::String(u"新しい'値"), Variant::I4(2)};
  Variant array = testing::Array(values);
  auto run = Method(update.get(), u"Execute", {Variant::RefTo(affected.get()), array});
  ASSERT_EQ(run.hr, com::S_OK) << com::Utf16ToUtf8(run.description);
  EXPECT_EQ(Int({com::S_OK, affected, {}}), 3);
  // A statement without rows still gives a recordset, a closed one.
  ComPtr<IDispatch> closed = Object(run);
  ASSERT_TRUE(closed);
  EXPECT_NE(Get(closed.get(), u"EOF").hr, com::S_OK);
  EXPECT_EQ(backend_.select_by_text(u"新しい'値").size(), 3u);
  // adExecuteNoRecords: nothing at all.
  ComPtr<IDispatch> none = Command("DELETE FROM params_t WHERE id = 5");
  run = Method(none.get(), u"Execute",
               {Variant::Missing(), Variant::Missing(), Variant::I4(0x80)});
  EXPECT_EQ(run.hr, com::S_OK);
  EXPECT_EQ(run.value.vt(), com::VT_DISPATCH);
  EXPECT_EQ(run.value.get()->pdispVal, nullptr);
  EXPECT_EQ(backend_.count(), 4);
  // A table by name.
  ComPtr<IDispatch> table = Command("params_t");
  ASSERT_EQ(Put(table.get(), u"CommandType", Variant::I4(2)).hr, com::S_OK);
  EXPECT_EQ(RowsOf(Object(Method(table.get(), u"Execute")).get()).size(), 4u);
}

TEST_P(Commands, RefuseWhatTheyCannotRun) {
  ComPtr<IDispatch> detached = Create(ids::CLSID_AdoCommand);
  Put(detached.get(), u"CommandText", Variant::Utf8("SELECT 1"));
  EXPECT_NE(Method(detached.get(), u"Execute").hr, com::S_OK) << "no connection";
  EXPECT_NE(Put(detached.get(), u"ActiveConnection", Variant::Dispatch(detached.get())).hr,
            com::S_OK)
      << "not a connection";
  ComPtr<IDispatch> empty = Command("");
  EXPECT_NE(Method(empty.get(), u"Execute").hr, com::S_OK) << "no text";
  ComPtr<IDispatch> output = Command("SELECT ?");
  ComPtr<IDispatch> p = Object(Method(output.get(), u"CreateParameter",
                                      {Variant::String(u"out"), Variant::I4(kAdInteger),
                                       Variant::I4(2)}));
  Method(Object(Get(output.get(), u"Parameters")).get(), u"Append", {Variant::Dispatch(p.get())});
  EXPECT_NE(Method(output.get(), u"Execute").hr, com::S_OK) << "an output parameter";
  ComPtr<IDispatch> parameters = Object(Get(output.get(), u"Parameters"));
  EXPECT_NE(Method(parameters.get(), u"Append", {Variant::Dispatch(output.get())}).hr, com::S_OK)
      << "not a parameter";
  EXPECT_EQ(Method(parameters.get(), u"Delete", {Variant::String(u"OUT")}).hr, com::S_OK);
  EXPECT_EQ(Int(Get(parameters.get(), u"Count")), 0);
  // A connection string: the command's own connection.
  ComPtr<IDispatch> own = Create(ids::CLSID_AdoCommand);
  ASSERT_EQ(Put(own.get(), u"ActiveConnection", Variant::Utf8(connection_string_)).hr, com::S_OK);
  Put(own.get(), u"CommandText", Variant::Utf8("SELECT count(*), 0, 0 FROM params_t"));
  EXPECT_EQ(RowsOf(Object(Method(own.get(), u"Execute")).get()).at(0).id, 0);
}

INSTANTIATE_TEST_SUITE_P(Ado, Commands, ::testing::Values("sqliteodbc", "pg"));

}  // namespace
}  // namespace quillon::engines
