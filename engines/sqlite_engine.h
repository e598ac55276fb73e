// The DAO-shaped engine's database: SQLite files.
//
// Error numbers follow the DAO engine's: 3024 file not found, 3078 no such
// table or query, 3022 duplicate key, 3314 required field left empty, 3317
// other constraint, 3260 locked, 3027 read-only, 3021 no current record,
// 3020 Update without AddNew, 3421 type conversion, 3349 a number outside
// the range of its automation type (currency, date), 3420 object closed,
// 3000 anything else. Descriptions are SQLite's own words.
#ifndef QUILLON_ENGINES_SQLITE_ENGINE_H_
#define QUILLON_ENGINES_SQLITE_ENGINE_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engines/cursor.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::engines {

// DAO field type numbers.
enum DaoType : int16_t {
  kDbBoolean = 1,
  kDbByte = 2,
  kDbInteger = 3,
  kDbLong = 4,
  kDbCurrency = 5,
  kDbSingle = 6,
  kDbDouble = 7,
  kDbDate = 8,
  kDbBinary = 9,
  kDbText = 10,
  kDbLongBinary = 11,
  kDbMemo = 12,
  kDbGuid = 15,
  kDbBigInt = 16,
  kDbVarBinary = 17,
  kDbDecimal = 20,
};

// DAO recordset options the engine honours.
inline constexpr int kDbOpenSnapshot = 4;
inline constexpr int kDbReadOnlyOption = 4;

// Move-only owners of SQLite handles.
class SqliteStatement {
 public:
  SqliteStatement() = default;
  explicit SqliteStatement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  ~SqliteStatement();
  sqlite3_stmt* get() const { return stmt_; }
  void reset();

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// The DAO type and size of a declared column type ("VARCHAR(40)" -> text,
// 40; "BLOB" -> long binary, 0; "" -> memo).
struct DeclaredType {
  int16_t type;
  int32_t size;
};
DeclaredType MapDeclaredType(std::string_view declared);

// The database file named by a connect text: a ";Database=path" pair among
// ";"-separated key=value pairs, or `name` when there is none.
std::string DatabasePathFromConnect(std::string_view name, std::string_view connect);

class SqliteRecordset;

// A DAO query's text as SQLite runs it. A leading PARAMETERS clause
// ("PARAMETERS name type[, name type];", names bare or in brackets, Jet's
// type names) declares named parameters, and every use of a declared name
// in the statement (bare or in brackets, outside literals and comments) is
// replaced by its numbered marker; without a clause, each positional ?
// marker becomes a parameter named "?1", "?2", ... Throws 3000 for a
// malformed clause, an unknown type, ? markers next to a clause, or
// SQLite's own marker forms (?NNN, :name, @name, $name).
struct ParsedQuery {
  std::string statement;
  std::vector<std::pair<std::string, int16_t>> parameters;  // name, DAO type (0: as given)
};
ParsedQuery ParseDaoQuery(std::string_view sql);

class SqliteDatabase : public std::enable_shared_from_this<SqliteDatabase> {
 public:
  // Opens an existing file (3024 when it is missing); `create` makes it.
  static std::shared_ptr<SqliteDatabase> Open(const std::string& path, bool read_only,
                                              bool create = false);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  const std::string& path() const { return path_; }
  bool IsOpen() const { return db_ != nullptr; }
  // Runs statements that return no rows.
  void Execute(std::string_view sql);
  // type: 2 dynaset, 4 snapshot; options: 4 read-only, 64 pass-through
  // (statements are SQLite's in any case).
  std::unique_ptr<SqliteRecordset> OpenRecordset(std::string_view sql, int type, int options);
  // A recordset over a statement prepared (and bound) elsewhere.
  std::unique_ptr<SqliteRecordset> RecordsetOver(SqliteStatement stmt, int type, int options);
  // Commits what recordsets appended and closes the file; recordsets still
  // open fail from now on.
  void Close();

  // Appending rows runs in one transaction per burst, committed when the
  // appending recordset closes (or the database does): a failing row is
  // undone alone, the rows before it stay.
  void BeginAppend();
  void CommitAppend();

  sqlite3* handle() const { return db_; }
  // Throws the engine error for SQLite result `rc`.
  [[noreturn]] void Fail(int rc, const char* source) const;

 private:
  SqliteDatabase() = default;
  sqlite3* db_ = nullptr;
  std::string path_;
  bool in_append_ = false;
};

// A query definition: SQL text whose parameters (ParseDaoQuery) get their
// values through parameters() and are bound when the query runs. A
// parameter never given a value fails the run (3061); a query that returns
// rows cannot be executed (3065), and text after the first statement is
// refused (3000) rather than silently left out.
class SqliteQuery {
 public:
  SqliteQuery(std::shared_ptr<SqliteDatabase> db, std::string name, std::string sql);

  const std::string& name() const { return name_; }
  const std::string& sql() const { return sql_; }
  // New text: its parameters replace the old ones (their values are gone).
  void SetSql(std::string sql);
  const std::shared_ptr<ParameterList>& parameters() const { return parameters_; }
  // Runs an action query; the rows it changed are records_affected().
  void Execute();
  int64_t records_affected() const { return records_affected_; }
  // type and options as for SqliteDatabase::OpenRecordset.
  std::unique_ptr<SqliteRecordset> OpenRecordset(int type, int options);

 private:
  SqliteStatement Prepare();

  std::shared_ptr<SqliteDatabase> db_;
  std::string name_;
  std::string sql_;
  ParsedQuery parsed_;
  std::shared_ptr<ParameterList> parameters_ = std::make_shared<ParameterList>();
  int64_t records_affected_ = 0;
};

// A value of the record being added, kept in the form it is bound in:
// integers, reals and UTF-8 text or bytes (in a buffer kept from row to
// row), anything else as the converted variant.
struct PendingValue {
  enum class Kind : uint8_t { kNull, kInteger, kReal, kText, kBlob, kOther };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::unique_ptr<char[]> bytes;
  size_t size = 0;
  size_t capacity = 0;
  com::Variant other;

  char* Reserve(size_t n);
  std::string_view view() const { return {bytes.get(), size}; }
};

class SqliteRecordset final : public Cursor {
 public:
  SqliteRecordset(std::shared_ptr<SqliteDatabase> db, SqliteStatement select, bool read_only);
  ~SqliteRecordset() override;

  const std::vector<FieldDescription>& fields() const override { return fields_; }
  bool IsOpen() const override;
  bool Bof() override;
  bool Eof() override;
  void MoveFirst() override;
  void MoveNext() override;
  void AddNew() override;
  void Update() override;
  com::Variant GetValue(size_t index) override;
  void SetValue(size_t index, const com::VARIANT& value) override;
  void Close() override;

 private:
  void RequireOpen() const;
  void Start();
  void Step();
  SqliteStatement& InsertFor(const std::vector<bool>& assigned);

  std::shared_ptr<SqliteDatabase> db_;
  SqliteStatement select_;
  bool read_only_;
  std::vector<FieldDescription> fields_;
  std::string table_;                // base table, "" when not appendable
  std::vector<std::string> columns_; // base columns, in field order
  bool started_ = false;
  bool eof_ = false;
  bool any_row_ = false;
  bool adding_ = false;
  std::vector<PendingValue> pending_;
  std::vector<bool> assigned_;
  std::map<std::vector<bool>, SqliteStatement> inserts_;
  const std::vector<bool>* last_mask_ = nullptr;  // the key of last_insert_
  sqlite3_stmt* last_insert_ = nullptr;
};

}  // namespace quillon::engines

#endif  // QUILLON_ENGINES_SQLITE_ENGINE_H_
