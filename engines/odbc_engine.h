// The ADO-shaped engine's database access: unixODBC connections (any
// driver; DSN-less strings such as "Driver=SQLite3;Database=/path" or
// "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=P;Database=D;Uid=U;").
//
// Failures throw EngineError with every diagnostic record the driver left,
// each numbered E_FAIL (as ADO numbers provider errors) and described as
// "[SQLSTATE] message".
#ifndef QUILLON_ENGINES_ODBC_ENGINE_H_
#define QUILLON_ENGINES_ODBC_ENGINE_H_

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engines/cursor.h"

namespace quillon::engines {

// ADO data type numbers.
enum AdoType : int16_t {
  kAdEmpty = 0,
  kAdSmallInt = 2,
  kAdInteger = 3,
  kAdSingle = 4,
  kAdDouble = 5,
  kAdCurrency = 6,
  kAdDate = 7,
  kAdBoolean = 11,
  kAdVariant = 12,
  kAdDecimal = 14,
  kAdTinyInt = 16,
  kAdBigInt = 20,
  kAdGuid = 72,
  kAdBinary = 128,
  kAdChar = 129,
  kAdWChar = 130,
  kAdNumeric = 131,
  kAdDbDate = 133,
  kAdDbTime = 134,
  kAdDbTimeStamp = 135,
  kAdVarChar = 200,
  kAdLongVarChar = 201,
  kAdVarWChar = 202,
  kAdLongVarWChar = 203,
  kAdVarBinary = 204,
  kAdLongVarBinary = 205,
};

// ADO field attributes this engine reports.
inline constexpr int32_t kAdFldUpdatable = 0x4;
inline constexpr int32_t kAdFldIsNullable = 0x20;
inline constexpr int32_t kAdFldMayBeNull = 0x40;
inline constexpr int32_t kAdFldLong = 0x80;

// The ADO type for an ODBC SQL type.
int16_t AdoTypeOf(int sql_type);

// A value as it is sent for a field or parameter of ADO type `type`: Null
// for nothing, else the type's variant form (text types as text, binary
// ones as given bytes or text). Throws the provider's conversion error.
com::Variant AdoValue(const com::VARIANT& value, int16_t type);

struct BoundParameters;

// Move-only owner of one ODBC handle of the given kind.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  OdbcHandle(short type, void* handle) : type_(type), handle_(handle) {}
  OdbcHandle(OdbcHandle&& other) noexcept;
  OdbcHandle& operator=(OdbcHandle&& other) noexcept;
  ~OdbcHandle();
  void* get() const { return handle_; }
  short type() const { return type_; }
  void reset();
  // Forgets the handle without freeing it: disconnecting a connection has
  // already freed its statements.
  void release() { handle_ = nullptr; }

 private:
  short type_ = 0;
  void* handle_ = nullptr;
};

class OdbcRecordset;

class OdbcConnection : public std::enable_shared_from_this<OdbcConnection> {
 public:
  static std::shared_ptr<OdbcConnection> Open(std::string_view connection_string,
                                              std::string_view user, std::string_view password);
  ~OdbcConnection();
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  bool IsOpen() const { return dbc_.get() != nullptr; }
  void Execute(std::string_view sql);
  // A new statement handle with `sql` prepared on it.
  OdbcHandle Prepare(std::string_view sql);
  // A recordset over a statement. `read_only`: rows cannot be added.
  std::unique_ptr<OdbcRecordset> OpenRecordset(std::string_view sql, bool read_only);
  // Runs `sql` with its ? markers bound, in order, to `parameters` (input
  // parameters only; their values are sent, never spliced). A statement
  // that returns rows gives a read-only recordset, already run; any other
  // gives the rows it changed (-1 when the driver cannot tell).
  struct CommandResult {
    std::unique_ptr<OdbcRecordset> recordset;
    int64_t records_affected = -1;
  };
  CommandResult ExecuteCommand(std::string_view sql, const ParameterList& parameters);
  // Commits what was appended and disconnects.
  void Close();

  // Appends run in a transaction committed every kRowsPerCommit rows and
  // when the appending recordset closes; each insert (a row, or a batch of
  // rows) has its own savepoint so a failing one is undone alone
  // (PostgreSQL would otherwise abort the whole transaction).
  static constexpr int kRowsPerCommit = 1000;
  // A failing commit rolls back before it throws: nothing stays open.
  void BeginAppend();
  void RowsSaved(int rows);
  void CommitAppend();
  void Savepoint();
  void ReleaseSavepoint();
  void RollbackToSavepoint();
  // Rolls the append transaction back when its savepoint is gone; true
  // when no row appended in it had been saved yet.
  bool AbandonTransaction();

  // The recordset whose appended rows wait to be sent (null: none), so
  // that they go before any other statement on the connection. Naming
  // another sends the waiting rows first; `only_if` clears the entry only
  // when it names that recordset.
  void Queued(OdbcRecordset* recordset, OdbcRecordset* only_if = nullptr);
  void FlushQueued();

  // Whether the data source takes DEFAULT for a value in a multi-row
  // VALUES list (PostgreSQL does, SQLite does not).
  bool TakesDefaultInValues() const { return takes_default_in_values_; }

  void* dbc() const { return dbc_.get(); }
  // Throws the diagnostic records of `handle`.
  [[noreturn]] void Fail(short handle_type, void* handle) const;

 private:
  OdbcConnection() = default;
  void Run(const char* sql);
  void Commit();
  OdbcHandle env_;
  OdbcHandle dbc_;
  bool in_append_ = false;
  int rows_since_commit_ = 0;
  OdbcRecordset* queued_ = nullptr;
  bool takes_default_in_values_ = false;
};

class OdbcRecordset final : public Cursor {
 public:
  OdbcRecordset(std::shared_ptr<OdbcConnection> connection, OdbcHandle stmt, std::string sql,
                bool read_only);
  ~OdbcRecordset() override;

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
  // Keeps the buffers of the statement's bound parameters while it may run.
  void KeepBound(std::shared_ptr<BoundParameters> bound) { bound_ = std::move(bound); }

  // Appended rows may wait and go up to `rows` at a time (one statement,
  // one round trip). A row the database refuses is then told by the Update
  // or Close that sends it, the rows before it saved, those queued after it
  // dropped. 1 (the default): every Update sends its row.
  void SetBatchRows(size_t rows) { batch_rows_ = std::max<size_t>(1, rows); }
  // Sends the rows waiting, if any.
  void Flush();
  // Statements are limited in parameters (SQLite allows 32766 by default).
  static constexpr size_t kMaxBatchParameters = 1000;

 private:
  void RequireOpen() const;
  void Start();
  void Fetch();
  com::Variant ReadColumn(size_t index);
  void* InsertFor(const std::vector<bool>& pattern);
  void InsertRows(const std::vector<bool>& pattern, const com::Variant* values);

  std::shared_ptr<OdbcConnection> connection_;
  OdbcHandle stmt_;
  std::string sql_;
  bool read_only_;
  std::vector<FieldDescription> fields_;
  std::vector<short> sql_types_;
  std::string table_;
  bool executed_ = false;
  bool eof_ = false;
  bool any_row_ = false;
  size_t position_ = 0;
  std::vector<com::Variant> row_;
  bool adding_ = false;
  std::vector<com::Variant> pending_;
  std::vector<bool> assigned_;
  // Inserts by pattern: per row, which fields it assigns.
  std::map<std::vector<bool>, OdbcHandle> inserts_;
  static constexpr size_t kMaxInserts = 32;
  std::shared_ptr<BoundParameters> bound_;
  std::unique_ptr<BoundParameters> buffers_;  // for the inserts
  size_t batch_rows_ = 1;
  std::vector<bool> queued_pattern_;  // the waiting rows' assigned fields, row by row
  std::vector<com::Variant> queued_;  // their assigned values, row by row
  size_t queued_rows_ = 0;
};

}  // namespace quillon::engines

#endif  // QUILLON_ENGINES_ODBC_ENGINE_H_
