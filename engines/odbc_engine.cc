#include "engines/odbc_engine.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/runtime.h"

namespace quillon::engines {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC wide characters are UTF-16");

constexpr int32_t kProviderError = static_cast<int32_t>(0x80004005u);
constexpr char kSource[] = "ADODB";
constexpr size_t kChunk = 8192;
constexpr int32_t kErrArguments = 3001;  // ADO: arguments of the wrong type
constexpr int32_t kErrDataConversion = 3421;
constexpr int32_t kAdParamUnknown = 0;
constexpr int32_t kAdParamInput = 1;

std::u16string Wide(std::string_view utf8) { return com::Utf8ToUtf16(utf8); }

SQLWCHAR* W(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

[[noreturn]] void Throw(const char* description) {
  throw EngineError(kProviderError, kSource, description);
}

// Every diagnostic record of a handle, in the driver's order.
std::vector<ErrorRecord> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<ErrorRecord> records;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024];
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state, &native, message,
                                        static_cast<SQLSMALLINT>(std::size(message)), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    length = std::min<SQLSMALLINT>(length, static_cast<SQLSMALLINT>(std::size(message) - 1));
    const std::u16string text =
        u"[" + std::u16string(reinterpret_cast<const char16_t*>(state), 5) + u"] " +
        std::u16string(reinterpret_cast<const char16_t*>(message), static_cast<size_t>(length));
    records.push_back({kProviderError, kSource, com::Utf16ToUtf8(text)});
  }
  return records;
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The table a "SELECT ... FROM name" statement reads, as written (quoted
// names keep their quotes); "" when there is no single one.
std::string TableOfSelect(std::string_view sql) {
  const std::string upper = UpperAscii(sql);
  const size_t from = upper.rfind(" FROM ");
  if (from == std::string::npos) return {};
  size_t p = from + 6;
  while (p < sql.size() && sql[p] == ' ') ++p;
  if (p >= sql.size()) return {};
  size_t end = p;
  if (sql[p] == '"' || sql[p] == '[' || sql[p] == '`') {
    const char close = sql[p] == '[' ? ']' : sql[p];
    end = sql.find(close, p + 1);
    if (end == std::string_view::npos) return {};
    ++end;
  } else {
    while (end < sql.size() && sql[end] != ' ' && sql[end] != ';' && sql[end] != '\t' &&
           sql[end] != '\r' && sql[end] != '\n' && sql[end] != ',') {
      ++end;
    }
  }
  const std::string rest = UpperAscii(sql.substr(end));
  if (rest.find_first_not_of(" \t\r\n;") != std::string::npos) return {};  // joins, WHERE ...
  std::string table(sql.substr(p, end - p));
  if (table.front() == '[') table = '"' + table.substr(1, table.size() - 2) + '"';
  return table;
}

std::string Quote(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

bool IsLong(int16_t type) {
  return type == kAdLongVarChar || type == kAdLongVarWChar || type == kAdLongVarBinary;
}

// Where one bound parameter's value lives until the statement has run.
struct ParameterBuffer {
  SQLLEN indicator = 0;
  SQLBIGINT integer = 0;
  double real = 0;
  unsigned char bit = 0;
  SQL_TIMESTAMP_STRUCT timestamp{};
  SQL_DATE_STRUCT date{};
  std::u16string text;
  std::string bytes;
};

// The ODBC type a parameter of ADO type `type` is sent as when it is Null.
SQLSMALLINT SqlTypeOfAdo(int16_t type) {
  switch (type) {
    case kAdBoolean: return SQL_BIT;
    case kAdSmallInt: case kAdInteger: case kAdTinyInt: case kAdBigInt: return SQL_BIGINT;
    case kAdSingle: case kAdDouble: return SQL_DOUBLE;
    case kAdCurrency: case kAdNumeric: case kAdDecimal: return SQL_NUMERIC;
    case kAdDate: case kAdDbTimeStamp: return SQL_TYPE_TIMESTAMP;
    case kAdDbDate: return SQL_TYPE_DATE;
    case kAdDbTime: return SQL_TYPE_TIME;
    case kAdBinary: case kAdVarBinary: case kAdLongVarBinary: return SQL_LONGVARBINARY;
    case kAdLongVarChar: case kAdLongVarWChar: return SQL_WLONGVARCHAR;
    default: return SQL_WVARCHAR;
  }
}

// Binds `v` (already in its ADO type's variant form, AdoValue) to
// parameter `number` of `stmt`, its bytes kept in `p`. `null_type` is the
// ODBC type a Null is sent as; `size` the column size for it.
SQLRETURN BindValue(SQLHSTMT stmt, SQLUSMALLINT number, const com::VARIANT& v, int16_t type,
                    SQLSMALLINT null_type, SQLULEN size, ParameterBuffer* p) {
  size = std::max<SQLULEN>(1, size);
  switch (v.vt) {
    case com::VT_NULL:
    case com::VT_EMPTY:
      p->indicator = SQL_NULL_DATA;
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, null_type, size, 0,
                              nullptr, 0, &p->indicator);
    case com::VT_BOOL:
      p->bit = v.boolVal != 0 ? 1 : 0;
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0, &p->bit, 0,
                              &p->indicator);
    case com::VT_I2:
    case com::VT_I4:
    case com::VT_I8:
      p->integer = v.vt == com::VT_I8 ? v.llVal : v.vt == com::VT_I4 ? v.lVal : v.iVal;
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19, 0,
                              &p->integer, 0, &p->indicator);
    case com::VT_R4:
    case com::VT_R8:
      p->real = v.vt == com::VT_R8 ? v.dblVal : v.fltVal;
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0,
                              &p->real, 0, &p->indicator);
    case com::VT_DATE: {
      com::DateParts d{};
      if (!com::DateToParts(v.date, &d)) Throw("The date cannot be represented.");
      p->timestamp = SQL_TIMESTAMP_STRUCT{static_cast<SQLSMALLINT>(d.year),
                                          static_cast<SQLUSMALLINT>(d.month),
                                          static_cast<SQLUSMALLINT>(d.day),
                                          static_cast<SQLUSMALLINT>(d.hour),
                                          static_cast<SQLUSMALLINT>(d.minute),
                                          static_cast<SQLUSMALLINT>(d.second), 0};
      // A date column gets a date: some drivers store a timestamp
      // parameter with its time even there.
      if (type == kAdDbDate) {
        p->date = SQL_DATE_STRUCT{p->timestamp.year, p->timestamp.month, p->timestamp.day};
        return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 10,
                                0, &p->date, sizeof p->date, &p->indicator);
      }
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                              SQL_TYPE_TIMESTAMP, 19, 0, &p->timestamp, sizeof p->timestamp,
                              &p->indicator);
    }
    case com::VT_ARRAY | com::VT_UI1:
      com::Variant::GetBytes(v, &p->bytes);
      p->indicator = static_cast<SQLLEN>(p->bytes.size());
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY,
                              std::max<SQLULEN>(1, p->bytes.size()), 0, p->bytes.data(),
                              static_cast<SQLLEN>(p->bytes.size()), &p->indicator);
    default: {
      if (v.vt == com::VT_BSTR) {
        p->text.assign(com::Bstr::View(v.bstrVal));
      } else {
        com::VariantToText(v, &p->text);
      }
      // The drivers end text at a NUL (psqlODBC, sqliteodbc) and PostgreSQL
      // cannot store one: refused, rather than saved cut short.
      if (p->text.find(u'\0') != std::u16string::npos) {
        throw EngineError(kErrDataConversion, kSource,
                          "Text holding the character U+0000 cannot be sent to an ODBC data "
                          "source: drivers end text there.");
      }
      p->indicator = static_cast<SQLLEN>(p->text.size() * sizeof(char16_t));
      // A currency travels as its exact decimal text.
      const SQLSMALLINT sql_type = v.vt == com::VT_CY ? SQL_NUMERIC
                                   : IsLong(type)      ? SQL_WLONGVARCHAR
                                                       : SQL_WVARCHAR;
      return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, sql_type,
                              std::max<SQLULEN>(1, p->text.size()), v.vt == com::VT_CY ? 4 : 0,
                              p->text.data(), p->indicator, &p->indicator);
    }
  }
}

}  // namespace

// Parameter buffers a command's recordset keeps while it may run again.
struct BoundParameters {
  std::vector<ParameterBuffer> buffers;
};

com::Variant AdoValue(const com::VARIANT& value, int16_t type) {
  com::Variant given;
  com::VariantCopyInd(given.get(), &value);
  if (given.vt() == com::VT_NULL || given.vt() == com::VT_EMPTY) return com::Variant::Null();
  com::VARTYPE want = com::VT_EMPTY;
  switch (type) {
    case kAdBoolean: want = com::VT_BOOL; break;
    case kAdSmallInt: case kAdInteger: case kAdBigInt: case kAdTinyInt: want = com::VT_I8; break;
    case kAdSingle: case kAdDouble: want = com::VT_R8; break;
    case kAdCurrency: want = com::VT_CY; break;
    case kAdDate: case kAdDbDate: case kAdDbTime: case kAdDbTimeStamp: want = com::VT_DATE; break;
    case kAdBinary: case kAdVarBinary: case kAdLongVarBinary:
      if (given.vt() == (com::VT_ARRAY | com::VT_UI1)) break;
      want = com::VT_BSTR;
      break;
    case kAdEmpty: case kAdVariant: break;
    default: want = com::VT_BSTR; break;
  }
  if (want == com::VT_EMPTY || want == given.vt()) return given;
  com::Variant stored;
  if (com::Failed(com::VariantChangeType(stored.get(), given.get(), 0, want))) {
    throw EngineError(static_cast<int32_t>(0x80020005u), kSource,
                      "Multiple-step operation generated errors. Check each status value.");
  }
  return stored;
}

int16_t AdoTypeOf(int sql_type) {
  switch (sql_type) {
    case SQL_CHAR: return kAdChar;
    case SQL_VARCHAR: return kAdVarChar;
    case SQL_LONGVARCHAR: return kAdLongVarChar;
    case SQL_WCHAR: return kAdWChar;
    case SQL_WVARCHAR: return kAdVarWChar;
    case SQL_WLONGVARCHAR: return kAdLongVarWChar;
    case SQL_DECIMAL:
    case SQL_NUMERIC: return kAdNumeric;
    case SQL_SMALLINT: return kAdSmallInt;
    case SQL_INTEGER: return kAdInteger;
    case SQL_BIGINT: return kAdBigInt;
    case SQL_TINYINT: return kAdTinyInt;
    case SQL_REAL: return kAdSingle;
    case SQL_FLOAT:
    case SQL_DOUBLE: return kAdDouble;
    case SQL_BIT: return kAdBoolean;
    case SQL_TYPE_DATE:
    case SQL_DATE: return kAdDbDate;
    case SQL_TYPE_TIME:
    case SQL_TIME: return kAdDbTime;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: return kAdDbTimeStamp;
    case SQL_BINARY: return kAdBinary;
    case SQL_VARBINARY: return kAdVarBinary;
    case SQL_LONGVARBINARY: return kAdLongVarBinary;
    case SQL_GUID: return kAdGuid;
    default: return kAdVarWChar;
  }
}

// --- Handles -----------------------------------------------------------------------------------

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}
OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
  if (this != &other) {
    reset();
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}
OdbcHandle::~OdbcHandle() { reset(); }
void OdbcHandle::reset() {
  if (handle_ == nullptr) return;
  if (type_ == SQL_HANDLE_DBC && !SQL_SUCCEEDED(SQLDisconnect(handle_))) {
    // A driver refuses to disconnect while a transaction is open (ODBC's
    // 25000), and the handle could not be freed either: undo the
    // transaction and disconnect again rather than keep it, and its locks,
    // for the rest of the process.
    SQLEndTran(SQL_HANDLE_DBC, handle_, SQL_ROLLBACK);
    SQLDisconnect(handle_);
  }
  SQLFreeHandle(type_, std::exchange(handle_, nullptr));
}

// --- Connection --------------------------------------------------------------------------------

std::shared_ptr<OdbcConnection> OdbcConnection::Open(std::string_view connection_string,
                                                     std::string_view user,
                                                     std::string_view password) {
  std::shared_ptr<OdbcConnection> c(new OdbcConnection());
  SQLHANDLE env = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    Throw("The ODBC environment cannot be allocated.");
  }
  c->env_ = OdbcHandle(SQL_HANDLE_ENV, env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLHANDLE dbc = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) c->Fail(SQL_HANDLE_ENV, env);
  std::string text(connection_string);
  if (!user.empty()) text += ";UID=" + std::string(user);
  if (!password.empty()) text += ";PWD=" + std::string(password);
  std::u16string wide = Wide(text);
  SQLWCHAR out[1024];
  SQLSMALLINT out_length = 0;
  const SQLRETURN rc =
      SQLDriverConnectW(dbc, nullptr, W(wide), static_cast<SQLSMALLINT>(wide.size()), out,
                        static_cast<SQLSMALLINT>(std::size(out)), &out_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    std::vector<ErrorRecord> records = Diagnostics(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (records.empty()) Throw("The connection cannot be opened.");
    throw EngineError(std::move(records));
  }
  c->dbc_ = OdbcHandle(SQL_HANDLE_DBC, dbc);
  SQLWCHAR dbms[64] = {};
  SQLSMALLINT dbms_length = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DBMS_NAME, dbms, sizeof dbms, &dbms_length))) {
    c->takes_default_in_values_ =
        std::u16string_view(reinterpret_cast<const char16_t*>(dbms)).starts_with(u"PostgreSQL");
  }
  return c;
}

OdbcConnection::~OdbcConnection() {
  try {
    Close();
  } catch (...) {
    // Nobody to tell when the last owner lets go.
  }
}

void OdbcConnection::Fail(short handle_type, void* handle) const {
  std::vector<ErrorRecord> records = Diagnostics(handle_type, handle);
  if (records.empty()) Throw("The driver reported a failure without a description.");
  throw EngineError(std::move(records));
}

void OdbcConnection::Run(const char* sql) {
  SQLHANDLE stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &stmt))) {
    Fail(SQL_HANDLE_DBC, dbc_.get());
  }
  OdbcHandle owner(SQL_HANDLE_STMT, stmt);
  std::u16string wide = Wide(sql);
  const SQLRETURN rc = SQLExecDirectW(stmt, W(wide), static_cast<SQLINTEGER>(wide.size()));
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) Fail(SQL_HANDLE_STMT, stmt);
}

void OdbcConnection::Execute(std::string_view sql) {
  if (!IsOpen()) Throw("Operation is not allowed when the object is closed.");
  FlushQueued();
  Run(std::string(sql).c_str());
}

OdbcHandle OdbcConnection::Prepare(std::string_view sql) {
  SQLHANDLE stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &stmt))) {
    Fail(SQL_HANDLE_DBC, dbc_.get());
  }
  OdbcHandle owner(SQL_HANDLE_STMT, stmt);
  std::u16string wide = Wide(sql);
  if (!SQL_SUCCEEDED(SQLPrepareW(stmt, W(wide), static_cast<SQLINTEGER>(wide.size())))) {
    Fail(SQL_HANDLE_STMT, stmt);
  }
  return owner;
}

std::unique_ptr<OdbcRecordset> OdbcConnection::OpenRecordset(std::string_view sql,
                                                             bool read_only) {
  if (!IsOpen()) Throw("Operation is not allowed when the object is closed.");
  FlushQueued();
  OdbcHandle owner = Prepare(sql);
  return std::make_unique<OdbcRecordset>(shared_from_this(), std::move(owner), std::string(sql),
                                         read_only);
}

OdbcConnection::CommandResult OdbcConnection::ExecuteCommand(std::string_view sql,
                                                             const ParameterList& parameters) {
  if (!IsOpen()) Throw("Operation is not allowed when the object is closed.");
  FlushQueued();
  OdbcHandle owner = Prepare(sql);
  SQLHANDLE stmt = owner.get();
  auto bound = std::make_shared<BoundParameters>();
  bound->buffers.resize(parameters.size());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const Parameter& parameter = *parameters[i];
    if (parameter.direction != kAdParamInput && parameter.direction != kAdParamUnknown) {
      throw EngineError(kErrArguments, kSource, "Only input parameters are supported.");
    }
    const com::Variant value = AdoValue(*parameter.value.get(), parameter.type);
    const SQLRETURN rc =
        BindValue(stmt, static_cast<SQLUSMALLINT>(i + 1), *value.get(), parameter.type,
                  SqlTypeOfAdo(parameter.type), static_cast<SQLULEN>(parameter.size),
                  &bound->buffers[i]);
    if (!SQL_SUCCEEDED(rc)) Fail(SQL_HANDLE_STMT, stmt);
  }
  SQLSMALLINT columns = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns))) Fail(SQL_HANDLE_STMT, stmt);
  CommandResult result;
  if (columns == 0) {
    const SQLRETURN rc = SQLExecute(stmt);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) Fail(SQL_HANDLE_STMT, stmt);
    SQLLEN count = -1;
    if (rc != SQL_NO_DATA) SQLRowCount(stmt, &count);
    result.records_affected = rc == SQL_NO_DATA ? 0 : count;
    return result;
  }
  result.recordset = std::make_unique<OdbcRecordset>(shared_from_this(), std::move(owner),
                                                     std::string(sql), /*read_only=*/true);
  result.recordset->KeepBound(std::move(bound));
  result.recordset->Eof();  // runs now: a failure is the command's
  return result;
}

void OdbcConnection::BeginAppend() {
  if (in_append_) return;
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
    Fail(SQL_HANDLE_DBC, dbc_.get());
  }
  in_append_ = true;
  rows_since_commit_ = 0;
}

void OdbcConnection::Savepoint() { Run("SAVEPOINT quillon_row"); }
void OdbcConnection::ReleaseSavepoint() { Run("RELEASE SAVEPOINT quillon_row"); }
void OdbcConnection::RollbackToSavepoint() { Run("ROLLBACK TO SAVEPOINT quillon_row"); }

void OdbcConnection::RowsSaved(int rows) {
  rows_since_commit_ += rows;
  if (rows_since_commit_ < kRowsPerCommit) return;
  rows_since_commit_ = 0;
  Commit();
}

bool OdbcConnection::AbandonTransaction() {
  SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
  const bool nothing_lost = rows_since_commit_ == 0;
  rows_since_commit_ = 0;
  return nothing_lost;
}

void OdbcConnection::Queued(OdbcRecordset* recordset, OdbcRecordset* only_if) {
  if (only_if != nullptr && queued_ != only_if) return;
  if (recordset != nullptr && queued_ != nullptr && queued_ != recordset) FlushQueued();
  queued_ = recordset;
}

void OdbcConnection::FlushQueued() {
  if (queued_ == nullptr) return;
  OdbcRecordset* recordset = std::exchange(queued_, nullptr);
  recordset->Flush();
}

// A commit the driver refuses (a lock, a constraint checked at commit, a
// lost connection) is rolled back at once: neither the transaction nor the
// locks it holds may outlive the failure, or a file database would stay
// locked for the rest of the process.
void OdbcConnection::Commit() {
  if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_COMMIT))) return;
  std::vector<ErrorRecord> records = Diagnostics(SQL_HANDLE_DBC, dbc_.get());
  SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
  if (records.empty()) Throw("The appended rows could not be saved.");
  throw EngineError(std::move(records));
}

void OdbcConnection::CommitAppend() {
  if (!in_append_ || !IsOpen()) return;
  FlushQueued();
  in_append_ = false;
  struct Autocommit {
    void* dbc;
    ~Autocommit() {
      SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                        0);
    }
  } again{dbc_.get()};
  Commit();
}

void OdbcConnection::Close() {
  if (!IsOpen()) return;
  struct Closer {
    OdbcConnection* self;
    ~Closer() {
      self->dbc_.reset();
      self->env_.reset();
    }
  } closer{this};
  CommitAppend();
}

// --- Recordset -----------------------------------------------------------------------------------

OdbcRecordset::OdbcRecordset(std::shared_ptr<OdbcConnection> connection, OdbcHandle stmt,
                             std::string sql, bool read_only)
    : connection_(std::move(connection)),
      stmt_(std::move(stmt)),
      sql_(std::move(sql)),
      read_only_(read_only),
      buffers_(std::make_unique<BoundParameters>()) {
  SQLSMALLINT columns = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(stmt_.get(), &columns))) {
    connection_->Fail(SQL_HANDLE_STMT, stmt_.get());
  }
  for (SQLSMALLINT i = 1; i <= columns; ++i) {
    SQLWCHAR name[256];
    SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeColW(stmt_.get(), i, name,
                                       static_cast<SQLSMALLINT>(std::size(name)), &name_length,
                                       &sql_type, &size, &digits, &nullable))) {
      connection_->Fail(SQL_HANDLE_STMT, stmt_.get());
    }
    name_length = std::min<SQLSMALLINT>(name_length, static_cast<SQLSMALLINT>(std::size(name) - 1));
    FieldDescription f;
    f.name = com::Utf16ToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(name), name_length));
    f.type = AdoTypeOf(sql_type);
    f.size = static_cast<int32_t>(std::min<SQLULEN>(size, std::numeric_limits<int32_t>::max()));
    f.precision = f.size;
    f.scale = digits;
    f.required = nullable == SQL_NO_NULLS;
    f.attributes = (read_only_ ? 0 : kAdFldUpdatable) |
                   (nullable != SQL_NO_NULLS ? kAdFldIsNullable | kAdFldMayBeNull : 0) |
                   (IsLong(f.type) ? kAdFldLong : 0);
    fields_.push_back(std::move(f));
    sql_types_.push_back(sql_type);
  }
  table_ = TableOfSelect(sql_);
}

OdbcRecordset::~OdbcRecordset() {
  try {
    Close();
  } catch (...) {
    // As for the connection.
  }
  connection_->Queued(nullptr, this);
}

bool OdbcRecordset::IsOpen() const { return stmt_.get() != nullptr && connection_->IsOpen(); }

void OdbcRecordset::RequireOpen() const {
  if (!IsOpen()) Throw("Operation is not allowed when the object is closed.");
}

void OdbcRecordset::Fetch() {
  const SQLRETURN rc = SQLFetch(stmt_.get());
  if (rc == SQL_NO_DATA) {
    eof_ = true;
    row_.clear();
    return;
  }
  if (!SQL_SUCCEEDED(rc)) {
    eof_ = true;
    connection_->Fail(SQL_HANDLE_STMT, stmt_.get());
  }
  eof_ = false;
  any_row_ = true;
  // Columns are read in order once per row (SQLGetData allows no going
  // back), and kept for the field objects to read in any order.
  row_.clear();
  for (size_t i = 0; i < fields_.size(); ++i) row_.push_back(ReadColumn(i));
}

// The statement runs when rows are first asked for, so a recordset opened
// to receive rows does not read the whole table first.
void OdbcRecordset::Start() {
  RequireOpen();
  if (executed_) return;
  if (!SQL_SUCCEEDED(SQLExecute(stmt_.get()))) connection_->Fail(SQL_HANDLE_STMT, stmt_.get());
  executed_ = true;
  any_row_ = false;
  position_ = 0;
  Fetch();
}

bool OdbcRecordset::Bof() {
  Start();
  return !any_row_ || (eof_ && position_ == 0);
}

bool OdbcRecordset::Eof() {
  Start();
  return eof_;
}

void OdbcRecordset::MoveFirst() {
  RequireOpen();
  if (executed_ && position_ == 0) return;
  if (executed_) SQLFreeStmt(stmt_.get(), SQL_CLOSE);
  executed_ = false;
  Start();
}

void OdbcRecordset::MoveNext() {
  Start();
  if (eof_) Throw("Either BOF or EOF is True, or the current record has been deleted.");
  ++position_;
  Fetch();
}

com::Variant OdbcRecordset::ReadColumn(size_t index) {
  SQLHSTMT stmt = stmt_.get();
  const SQLUSMALLINT column = static_cast<SQLUSMALLINT>(index + 1);
  SQLLEN indicator = 0;
  auto check = [&](SQLRETURN rc) {
    if (!SQL_SUCCEEDED(rc)) connection_->Fail(SQL_HANDLE_STMT, stmt);
  };
  switch (fields_[index].type) {
    case kAdSmallInt: case kAdInteger: case kAdBigInt: case kAdTinyInt: {
      SQLBIGINT v = 0;
      check(SQLGetData(stmt, column, SQL_C_SBIGINT, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return com::Variant::Null();
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
        return com::Variant::I4(static_cast<int32_t>(v));
      }
      com::Variant big;
      big.get()->vt = com::VT_I8;
      big.get()->llVal = v;
      return big;
    }
    case kAdSingle: case kAdDouble: {
      double v = 0;
      check(SQLGetData(stmt, column, SQL_C_DOUBLE, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return com::Variant::Null();
      return com::Variant::R8(v);
    }
    case kAdBoolean: {
      unsigned char v = 0;
      check(SQLGetData(stmt, column, SQL_C_BIT, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return com::Variant::Null();
      return com::Variant::Bool(v != 0);
    }
    case kAdDbDate: case kAdDbTime: case kAdDbTimeStamp: {
      SQL_TIMESTAMP_STRUCT ts{};
      check(SQLGetData(stmt, column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &indicator));
      if (indicator == SQL_NULL_DATA) return com::Variant::Null();
      com::DateParts parts{ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second};
      if (fields_[index].type == kAdDbTime) parts.year = 1899, parts.month = 12, parts.day = 30;
      com::DATE date = 0;
      if (!com::PartsToDate(parts, &date)) Throw("The date cannot be represented.");
      return com::Variant::Date(date);
    }
    case kAdBinary: case kAdVarBinary: case kAdLongVarBinary: {
      std::string bytes;
      char buffer[kChunk];
      for (;;) {
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_BINARY, buffer, sizeof buffer,
                                        &indicator);
        if (rc == SQL_NO_DATA) break;
        check(rc);
        if (indicator == SQL_NULL_DATA) return com::Variant::Null();
        const size_t got = (indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(sizeof buffer))
                               ? sizeof buffer
                               : static_cast<size_t>(indicator);
        bytes.append(buffer, got);
        if (rc == SQL_SUCCESS) break;
      }
      return com::Variant::Bytes(bytes);
    }
    default: {
      std::u16string text;
      char16_t buffer[kChunk];
      for (;;) {
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, buffer, sizeof buffer,
                                        &indicator);
        if (rc == SQL_NO_DATA) break;
        check(rc);
        if (indicator == SQL_NULL_DATA) return com::Variant::Null();
        // Each piece but the last fills the buffer less its terminator.
        const size_t room = std::size(buffer) - 1;
        size_t got = room;
        if (indicator != SQL_NO_TOTAL && static_cast<size_t>(indicator) / 2 < room) {
          got = static_cast<size_t>(indicator) / 2;
        }
        text.append(buffer, got);
        if (rc == SQL_SUCCESS) break;
      }
      return com::Variant::String(text);
    }
  }
}

com::Variant OdbcRecordset::GetValue(size_t index) {
  RequireOpen();
  if (index >= fields_.size()) Throw("Item cannot be found in the collection.");
  if (adding_) return assigned_[index] ? pending_[index] : com::Variant::Null();
  Start();
  if (eof_) Throw("Either BOF or EOF is True, or the current record has been deleted.");
  return row_[index];
}

void OdbcRecordset::AddNew() {
  RequireOpen();
  if (read_only_ || table_.empty()) {
    Throw("Current Recordset does not support updating.");
  }
  connection_->BeginAppend();
  pending_.assign(fields_.size(), com::Variant());
  assigned_.assign(fields_.size(), false);
  adding_ = true;
}

void OdbcRecordset::SetValue(size_t index, const com::VARIANT& value) {
  RequireOpen();
  if (index >= fields_.size()) Throw("Item cannot be found in the collection.");
  if (!adding_) Throw("The operation requested by the application is not allowed in this context.");
  pending_[index] = AdoValue(value, fields_[index].type);
  assigned_[index] = true;
}

// The insert of one row per `fields_.size()` flags of `pattern`: the
// columns any row assigns, each row's unassigned ones as DEFAULT (only in
// a pattern of rows that differ, which only a connection taking DEFAULT in
// VALUES gets).
void* OdbcRecordset::InsertFor(const std::vector<bool>& pattern) {
  auto found = inserts_.find(pattern);
  if (found != inserts_.end()) return found->second.get();
  const size_t n = fields_.size();
  const size_t rows = pattern.size() / n;
  std::vector<bool> used(n, false);
  for (size_t k = 0; k < pattern.size(); ++k) used[k % n] = used[k % n] || pattern[k];
  std::string names;
  for (size_t i = 0; i < n; ++i) {
    if (!used[i]) continue;
    if (!names.empty()) names += ", ";
    names += Quote(fields_[i].name);
  }
  std::string sql = "INSERT INTO " + table_;
  if (names.empty()) {
    sql += " DEFAULT VALUES";
  } else {
    sql += " (" + names + ") VALUES ";
    for (size_t r = 0; r < rows; ++r) {
      sql += r == 0 ? "(" : ", (";
      bool first = true;
      for (size_t i = 0; i < n; ++i) {
        if (!used[i]) continue;
        sql += first ? "" : ", ";
        sql += pattern[r * n + i] ? "?" : "DEFAULT";
        first = false;
      }
      sql += ")";
    }
  }
  // Batches of rows that differ can each have a pattern of their own:
  // those statements are not kept for ever.
  if (inserts_.size() >= kMaxInserts) inserts_.clear();
  return inserts_.emplace(pattern, connection_->Prepare(sql)).first->second.get();
}

void OdbcRecordset::Update() {
  RequireOpen();
  if (!adding_) Throw("The operation requested by the application is not allowed in this context.");
  adding_ = false;
  // A row that assigns nothing is a DEFAULT VALUES insert, which takes one
  // row only: sent alone, after what waits.
  const bool empty_row = std::find(assigned_.begin(), assigned_.end(), true) == assigned_.end();
  if (empty_row) Flush();
  if (batch_rows_ <= 1 || empty_row) {
    // The assigned values alone, in field order, as the statement takes them.
    std::vector<com::Variant> values;
    values.reserve(pending_.size());
    for (size_t i = 0; i < pending_.size(); ++i) {
      if (assigned_[i]) values.push_back(std::move(pending_[i]));
    }
    InsertRows(assigned_, values.data());
    return;
  }
  // Rows of other fields go into a batch of their own, unless the data
  // source takes DEFAULT for the fields a row leaves out.
  const size_t n = fields_.size();
  if (queued_rows_ > 0 && !connection_->TakesDefaultInValues() &&
      !std::equal(assigned_.begin(), assigned_.end(), queued_pattern_.begin())) {
    Flush();
  }
  if (queued_rows_ == 0) connection_->Queued(this);
  queued_pattern_.insert(queued_pattern_.end(), assigned_.begin(), assigned_.end());
  for (size_t i = 0; i < n; ++i) {
    if (assigned_[i]) queued_.push_back(std::move(pending_[i]));
  }
  ++queued_rows_;
  const size_t room = std::max<size_t>(1, kMaxBatchParameters / std::max<size_t>(1, n));
  if (queued_rows_ >= std::min(batch_rows_, room)) Flush();
}

void OdbcRecordset::Flush() {
  if (queued_rows_ == 0) return;
  connection_->Queued(nullptr);
  const std::vector<com::Variant> values = std::move(queued_);
  const std::vector<bool> pattern = std::move(queued_pattern_);
  queued_.clear();
  queued_pattern_.clear();
  const size_t rows = std::exchange(queued_rows_, 0);
  try {
    InsertRows(pattern, values.data());
  } catch (const EngineError&) {
    if (rows == 1) throw;
    // Which row was refused: each again on its own, so that the rows
    // before it are saved and its own error is the one told. Rows queued
    // after it are dropped with the failure.
    const size_t n = fields_.size();
    const com::Variant* row_values = values.data();
    for (size_t r = 0; r < rows; ++r) {
      const std::vector<bool> mask(pattern.begin() + static_cast<std::ptrdiff_t>(r * n),
                                   pattern.begin() + static_cast<std::ptrdiff_t>((r + 1) * n));
      InsertRows(mask, row_values);
      row_values += std::count(mask.begin(), mask.end(), true);
    }
  }
}

// Inserts the rows of `pattern` (one per fields_.size() flags), `values`
// holding their assigned values in order, under one savepoint: all of
// them, or none and the driver's error.
void OdbcRecordset::InsertRows(const std::vector<bool>& pattern, const com::Variant* values) {
  SQLHSTMT stmt = InsertFor(pattern);
  const size_t n = fields_.size();
  // Parameter buffers live until the statement has run.
  std::vector<ParameterBuffer>& params = buffers_->buffers;
  params.resize(std::max(params.size(), pattern.size()));
  SQLUSMALLINT number = 0;
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
  const com::Variant* value = values;
  for (size_t k = 0; k < pattern.size(); ++k) {
    if (!pattern[k]) continue;
    const size_t i = k % n;
    ParameterBuffer* buffer = &params[number];
    ++number;
    const SQLRETURN rc = BindValue(stmt, number, *(value++)->get(), fields_[i].type,
                                   sql_types_[i], static_cast<SQLULEN>(fields_[i].size), buffer);
    if (!SQL_SUCCEEDED(rc)) connection_->Fail(SQL_HANDLE_STMT, stmt);
  }
  connection_->Savepoint();
  const SQLRETURN rc = SQLExecute(stmt);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    std::vector<ErrorRecord> records = Diagnostics(SQL_HANDLE_STMT, stmt);
    SQLFreeStmt(stmt, SQL_CLOSE);
    // Undo these rows alone. When the savepoint went with the whole
    // transaction (a driver may roll back a failing transaction itself, and
    // a lost connection takes everything), the transaction is abandoned;
    // rows appended in it before these are then lost, which is said.
    try {
      connection_->RollbackToSavepoint();
    } catch (const EngineError& e) {
      if (!connection_->AbandonTransaction()) {
        records.insert(records.end(), e.records().begin(), e.records().end());
        records.push_back({kProviderError, kSource,
                           "The rows appended since the last commit were rolled back with the "
                           "transaction."});
      }
    }
    if (records.empty()) Throw("The row could not be added.");
    throw EngineError(std::move(records));
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
  connection_->ReleaseSavepoint();
  connection_->RowsSaved(static_cast<int>(pattern.size() / std::max<size_t>(1, n)));
}

void OdbcRecordset::Close() {
  if (stmt_.get() == nullptr) return;
  // Rows still queued go first; when that fails, the rows before the
  // refused one are committed all the same and the failure is told after.
  std::exception_ptr failure;
  if (connection_->IsOpen()) {
    try {
      Flush();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  connection_->Queued(nullptr, this);
  queued_.clear();
  queued_pattern_.clear();
  queued_rows_ = 0;
  if (!connection_->IsOpen()) {
    for (auto& [mask, handle] : inserts_) handle.release();
    stmt_.release();
  }
  inserts_.clear();
  stmt_.reset();
  adding_ = false;
  if (connection_->IsOpen()) {
    try {
      connection_->CommitAppend();
    } catch (...) {
      if (!failure) throw;
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quillon::engines
