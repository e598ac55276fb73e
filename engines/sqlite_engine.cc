#include "engines/sqlite_engine.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/runtime.h"
#include "quillon/platform/codepage.h"

namespace quillon::engines {
namespace {

constexpr int kErrNoCurrentRecord = 3021;
constexpr int kErrUpdateWithoutAddNew = 3020;
constexpr int kErrDuplicate = 3022;
constexpr int kErrFileNotFound = 3024;
constexpr int kErrReadOnly = 3027;
constexpr int kErrNoSuchTable = 3078;
constexpr int kErrLocked = 3260;
constexpr int kErrRequired = 3314;
constexpr int kErrConstraint = 3317;
constexpr int kErrClosed = 3420;
constexpr int kErrConversion = 3421;
constexpr int kErrOverflow = 3349;
constexpr int kErrTooFewParameters = 3061;
constexpr int kErrSelectExecuted = 3065;
constexpr int kErrOther = 3000;

// Locked files are retried this long before the lock is reported.
constexpr int kBusyTimeoutMs = 2000;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

int DaoNumberOf(int rc, const char* message) {
  const std::string text = message != nullptr ? message : "";
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrLocked;
    case SQLITE_READONLY:
      return kErrReadOnly;
    case SQLITE_CANTOPEN:
      return kErrFileNotFound;
    case SQLITE_CONSTRAINT:
      if (rc == SQLITE_CONSTRAINT_NOTNULL) return kErrRequired;
      if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
        return kErrDuplicate;
      }
      return kErrConstraint;
    case SQLITE_MISMATCH:
      return kErrConversion;
    case SQLITE_ERROR:
      if (text.starts_with("no such table")) return kErrNoSuchTable;
      return kErrOther;
    default:
      return kErrOther;
  }
}

[[noreturn]] void Throw(int number, const char* source, std::string description) {
  throw EngineError(number, source, std::move(description));
}

bool Coerce(const com::VARIANT& in, com::VARTYPE vt, com::Variant* out) {
  return com::Succeeded(com::VariantChangeType(out->get(), &in, 0, vt));
}

// Whether a variant means "no value": Null or nothing at all.
bool IsNothing(const com::VARIANT& v) {
  return v.vt == com::VT_NULL || v.vt == com::VT_EMPTY;
}

// The fixed date forms "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" and
// "HH:MM:SS" as a date value; false for anything else. Dates are read and
// checked on every row, so this avoids the general text coercion.
template <class Char>
bool ParseFixedDate(std::basic_string_view<Char> t, com::DATE* out) {
  auto digits = [&](size_t at, size_t n, int* v) {
    if (at + n > t.size()) return false;
    int x = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      x = x * 10 + (t[i] - '0');
    }
    *v = x;
    return true;
  };
  com::DateParts p{1899, 12, 30, 0, 0, 0};
  size_t time_at = std::string_view::npos;
  if (t.size() == 8) {
    time_at = 0;
  } else if (t.size() == 10 || (t.size() == 19 && t[10] == ' ')) {
    if (!digits(0, 4, &p.year) || t[4] != '-' || !digits(5, 2, &p.month) || t[7] != '-' ||
        !digits(8, 2, &p.day)) {
      return false;
    }
    if (t.size() == 19) time_at = 11;
  } else {
    return false;
  }
  if (time_at != std::string_view::npos &&
      (!digits(time_at, 2, &p.hour) || t[time_at + 2] != ':' || !digits(time_at + 3, 2, &p.minute) ||
       t[time_at + 5] != ':' || !digits(time_at + 6, 2, &p.second))) {
    return false;
  }
  return com::PartsToDate(p, out);
}

// UTF-8 text as a new automation string, converted straight into it (a
// byte gives at most one unit; the string shrinks when there were fewer).
com::Variant TextVariant(std::string_view utf8) {
  if (utf8.size() > 0x3FFFFFF0u) throw std::bad_alloc();
  com::BSTR text = com::AllocStringForWriting(static_cast<com::UINT>(utf8.size()));
  if (text == nullptr) throw std::bad_alloc();
  com::Variant owner = com::Variant::AdoptBstr(text);
  const size_t units = platform::CodePage::Get(platform::CodePage::kUtf8).ToUtf16(utf8, text);
  if (units != utf8.size() && !com::SysReAllocStringLen(&owner.get()->bstrVal, nullptr,
                                                        static_cast<com::UINT>(units))) {
    throw std::bad_alloc();
  }
  return owner;
}

[[noreturn]] void Overflow() { Throw(kErrOverflow, "DAO.Field", "Numeric field overflow."); }

// A stored whole number as a currency: four decimals in a 64-bit integer.
int64_t CurrencyOf(int64_t units) {
  int64_t scaled = 0;
  if (__builtin_mul_overflow(units, int64_t{10000}, &scaled)) Overflow();
  return scaled;
}

// A stored real as a currency, rounded to four decimals (halves away from
// zero). Below 2^53 the scaled product is exact enough to round; above it
// the product's own rounding shows in the last digits, so there the
// number's shortest decimal form decides.
int64_t CurrencyOf(double v) {
  const double product = v * 10000.0;
  if (std::fabs(product) < 9007199254740992.0) return std::llround(product);
  if (!(std::fabs(v) < 1e15)) Overflow();
  char digits[64];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v, std::chars_format::fixed);
  if (ec != std::errc()) Overflow();
  const char* p = digits;
  const bool negative = *p == '-';
  if (negative) ++p;
  uint64_t magnitude = 0;
  for (; p < end && *p != '.'; ++p) magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
  if (p < end) ++p;
  for (int place = 0; place < 4; ++place) {
    magnitude = magnitude * 10 + (p < end ? static_cast<uint64_t>(*p++ - '0') : 0);
  }
  if (p < end && *p >= '5') ++magnitude;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) +
                         (negative ? 1 : 0);
  if (magnitude > limit) Overflow();
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

com::Variant CurrencyVariant(int64_t scaled) {
  com::Variant cy;
  cy.get()->vt = com::VT_CY;
  cy.get()->cyVal.int64 = scaled;
  return cy;
}

// A stored number as a date: only the years 100 to 9999 have one.
com::Variant DateVariant(double days) {
  if (!(days >= -657435.0 && days < 2958466.0)) Overflow();
  return com::Variant::Date(days);
}

// A currency as the real that stores it. Past 2^53 the integer itself is
// no exact double, so its decimal form is read instead, correctly rounded.
double RealOfCurrency(int64_t scaled) {
  if (scaled > -9007199254740992 && scaled < 9007199254740992) {
    return static_cast<double>(scaled) / 10000.0;
  }
  std::u16string text;
  com::VARIANT cy{};
  cy.vt = com::VT_CY;
  cy.cyVal.int64 = scaled;
  com::VariantToText(cy, &text);
  const std::string ascii(text.begin(), text.end());
  double real = 0;
  std::from_chars(ascii.data(), ascii.data() + ascii.size(), real);
  return real;
}

// The variant kind a field of DAO type `type` stores; VT_EMPTY for fields
// that keep what they are given (binary, decimal).
com::VARTYPE StoredKind(int16_t type) {
  switch (type) {
    case kDbBoolean: return com::VT_BOOL;
    case kDbByte: case kDbInteger: case kDbLong: case kDbBigInt: return com::VT_I8;
    case kDbCurrency: return com::VT_CY;
    case kDbSingle: case kDbDouble: return com::VT_R8;
    case kDbDate: return com::VT_DATE;
    case kDbText: case kDbMemo: return com::VT_BSTR;
    default: return com::VT_EMPTY;
  }
}

// A value as the engine stores it in a field of DAO type `type`: Null for
// nothing, the field's type otherwise (0, binary and decimal fields keep
// the value as given). 3421 when it does not convert, 3349 when it does
// not fit.
com::Variant StoredValue(const com::VARIANT& value, int16_t type) {
  const com::VARIANT& given_ref =
      (value.vt == (com::VT_BYREF | com::VT_VARIANT) && value.pvarVal != nullptr) ? *value.pvarVal
                                                                                 : value;
  if (IsNothing(given_ref)) return com::Variant::Null();
  com::Variant stored;
  if (type == kDbDate && given_ref.vt == com::VT_BSTR && [&] {
        com::DATE ignored = 0;
        return ParseFixedDate(com::Bstr::View(given_ref.bstrVal), &ignored);
      }()) {
    // Already in the stored form.
    com::VariantCopy(stored.get(), &given_ref);
    return stored;
  }
  com::Variant given;
  com::VariantCopyInd(given.get(), &value);
  const com::VARTYPE want = StoredKind(type);
  if (want == com::VT_EMPTY || want == given.vt()) return given;
  const com::HRESULT hr = com::VariantChangeType(stored.get(), given.get(), 0, want);
  if (hr == com::DISP_E_OVERFLOW) Overflow();
  if (com::Failed(hr)) Throw(kErrConversion, "DAO.Field", "Data type conversion error.");
  return stored;
}

// Binds a stored value to parameter `param` (1-based). Strings are bound
// without a copy: the value must outlive the statement's step.
int BindStored(sqlite3_stmt* stmt, int param, const com::VARIANT& v) {
  switch (v.vt) {
    case com::VT_NULL: case com::VT_EMPTY: return sqlite3_bind_null(stmt, param);
    case com::VT_BOOL: return sqlite3_bind_int(stmt, param, v.boolVal != 0 ? 1 : 0);
    case com::VT_I2: return sqlite3_bind_int(stmt, param, v.iVal);
    case com::VT_I4: return sqlite3_bind_int(stmt, param, v.lVal);
    case com::VT_I8: return sqlite3_bind_int64(stmt, param, v.llVal);
    case com::VT_R8: return sqlite3_bind_double(stmt, param, v.dblVal);
    case com::VT_CY:
      // Whole amounts stay integers; the rest needs the fraction.
      return v.cyVal.int64 % 10000 == 0
                 ? sqlite3_bind_int64(stmt, param, v.cyVal.int64 / 10000)
                 : sqlite3_bind_double(stmt, param, RealOfCurrency(v.cyVal.int64));
    case com::VT_ARRAY | com::VT_UI1: {
      std::string bytes;
      com::Variant::GetBytes(v, &bytes);
      return sqlite3_bind_blob64(stmt, param, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    }
    case com::VT_BSTR:
      return sqlite3_bind_text16(stmt, param, v.bstrVal,
                                 static_cast<int>(com::Bstr::View(v.bstrVal).size() * 2),
                                 SQLITE_STATIC);
    default: {
      // Dates are stored in the fixed text form, so every reader sees them
      // the same way; everything else in its text form.
      std::u16string text;
      if (com::Failed(com::VariantToText(v, &text))) {
        com::Variant as_text;
        if (!Coerce(v, com::VT_BSTR, &as_text)) {
          Throw(kErrConversion, "DAO.Field", "Data type conversion error.");
        }
        text.assign(com::Bstr::View(as_text.get()->bstrVal));
      }
      const std::string utf8 = com::Utf16ToUtf8(text);
      return sqlite3_bind_text64(stmt, param, utf8.data(), utf8.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    }
  }
}

// --- The record being added ------------------------------------------------------------

// A plain decimal integer ("-" and at most 19 digits) that fits 64 bits.
// Other forms (blanks, "+", exponents, fractions) take the general
// conversion; this one is exact where that one went through a double.
bool PlainInteger(std::u16string_view text, int64_t* out) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == u'-';
  if (negative) ++i;
  if (i == text.size() || text.size() - i > 19) return false;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9') return false;
    magnitude = magnitude * 10 + (c - u'0');
  }
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) +
                         (negative ? 1 : 0);
  if (magnitude > limit) return false;
  *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// A real written as std::from_chars reads it, as the general conversion
// does once blanks and a "+" are gone; those forms take that conversion.
bool PlainReal(std::u16string_view text, double* out) {
  char ascii[64];
  if (text.empty() || text.size() > sizeof ascii) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0x80) return false;
    ascii[i] = static_cast<char>(text[i]);
  }
  const auto [end, ec] = std::from_chars(ascii, ascii + text.size(), *out);
  return ec == std::errc() && end == ascii + text.size() && std::isfinite(*out);
}

}  // namespace

char* PendingValue::Reserve(size_t n) {
  if (n > capacity) {
    bytes = std::make_unique<char[]>(n);
    capacity = n;
  }
  return bytes.get();
}

namespace {

// The common assignments kept without a variant: text into text, dates in
// their stored form, plain numbers into number fields, Null, bytes into
// binary fields. They store exactly what StoredValue would; false leaves
// the rest to it.
bool StoreDirectly(const com::VARIANT& value, int16_t type, PendingValue* p) {
  const com::VARIANT& v =
      (value.vt == (com::VT_BYREF | com::VT_VARIANT) && value.pvarVal != nullptr) ? *value.pvarVal
                                                                                 : value;
  using Kind = PendingValue::Kind;
  if (IsNothing(v)) {
    p->kind = Kind::kNull;
    return true;
  }
  if (v.vt == (com::VT_ARRAY | com::VT_UI1) && StoredKind(type) == com::VT_EMPTY &&
      v.parray != nullptr &&
      v.parray->cDims == 1 && v.parray->cbElements == 1) {
    const size_t n = v.parray->rgsabound[0].cElements;
    // An empty array may have no data at all, and no room was reserved.
    if (n > 0) std::memcpy(p->Reserve(n), v.parray->pvData, n);
    p->size = n;
    p->kind = Kind::kBlob;
    return true;
  }
  if (v.vt != com::VT_BSTR) return false;
  const std::u16string_view text = com::Bstr::View(v.bstrVal);
  switch (type) {
    case kDbByte: case kDbInteger: case kDbLong: case kDbBigInt:
      if (!PlainInteger(text, &p->integer)) return false;
      p->kind = Kind::kInteger;
      return true;
    case kDbSingle: case kDbDouble:
      if (!PlainReal(text, &p->real)) return false;
      p->kind = Kind::kReal;
      return true;
    case kDbDate: {
      com::DATE ignored = 0;
      if (!ParseFixedDate(text, &ignored)) return false;
      break;  // already in the stored form: kept as text
    }
    case kDbBoolean:
      // The text form booleans travel in; other spellings convert below.
      if (text != u"True" && text != u"False") return false;
      p->other = com::Variant::Bool(text == u"True");
      p->kind = Kind::kOther;
      return true;
    case kDbCurrency:
      return false;
    default:
      break;
  }
  const platform::CodePage& utf8 = platform::CodePage::Get(platform::CodePage::kUtf8);
  p->size = utf8.FromUtf16(text, p->Reserve(utf8.MaxNarrowLength(text.size())));
  p->kind = Kind::kText;
  return true;
}

int BindPending(sqlite3_stmt* stmt, int param, const PendingValue& p) {
  using Kind = PendingValue::Kind;
  switch (p.kind) {
    case Kind::kNull: return sqlite3_bind_null(stmt, param);
    case Kind::kInteger: return sqlite3_bind_int64(stmt, param, p.integer);
    case Kind::kReal: return sqlite3_bind_double(stmt, param, p.real);
    case Kind::kText:
      // (A null pointer would bind Null, not the empty text.)
      return sqlite3_bind_text64(stmt, param, p.size == 0 ? "" : p.bytes.get(), p.size,
                                 SQLITE_STATIC, SQLITE_UTF8);
    case Kind::kBlob:
      return sqlite3_bind_blob64(stmt, param, p.size == 0 ? "" : p.bytes.get(), p.size,
                                 SQLITE_STATIC);
    case Kind::kOther: return BindStored(stmt, param, *p.other.get());
  }
  return SQLITE_MISUSE;
}

// What a field of the record being added holds, as a variant.
com::Variant PendingVariant(const PendingValue& p) {
  using Kind = PendingValue::Kind;
  switch (p.kind) {
    case Kind::kNull: return com::Variant::Null();
    case Kind::kInteger: {
      com::Variant v;
      v.get()->vt = com::VT_I8;
      v.get()->llVal = p.integer;
      return v;
    }
    case Kind::kReal: return com::Variant::R8(p.real);
    case Kind::kText: return TextVariant(p.view());
    case Kind::kBlob: return com::Variant::Bytes(p.view());
    case Kind::kOther: return p.other;
  }
  return com::Variant::Null();
}

}  // namespace

// --- Handles -----------------------------------------------------------------------

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)) {}
SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    reset();
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}
SqliteStatement::~SqliteStatement() { reset(); }
void SqliteStatement::reset() {
  if (stmt_ != nullptr) sqlite3_finalize(std::exchange(stmt_, nullptr));
}

// --- Types and connect texts ---------------------------------------------------------

DeclaredType MapDeclaredType(std::string_view declared) {
  const std::string d = Upper(declared);
  int32_t size = 0;
  if (size_t open = d.find('('); open != std::string::npos) {
    size = std::atoi(d.c_str() + open + 1);
  }
  // Order matters: "BIGINT" before "INT", "DATETIME" is a date, "CHAR"
  // covers VARCHAR and CHARACTER.
  if (Contains(d, "BOOL") || Contains(d, "BIT")) return {kDbBoolean, 1};
  if (Contains(d, "BIGINT") || Contains(d, "INT8")) return {kDbBigInt, 8};
  if (Contains(d, "TINYINT")) return {kDbByte, 1};
  if (Contains(d, "SMALLINT")) return {kDbInteger, 2};
  if (Contains(d, "INT")) return {kDbLong, 4};
  if (Contains(d, "MONEY") || Contains(d, "CURRENCY")) return {kDbCurrency, 8};
  if (Contains(d, "DATE") || Contains(d, "TIME")) return {kDbDate, 8};
  if (Contains(d, "GUID") || Contains(d, "UUID")) return {kDbGuid, 16};
  if (Contains(d, "VARBINARY")) return {kDbVarBinary, size};
  if (Contains(d, "BINARY")) return {kDbBinary, size};
  if (Contains(d, "BLOB") || Contains(d, "BYTEA")) return {kDbLongBinary, 0};
  if (Contains(d, "CHAR") && size > 0) return {kDbText, size};
  if (Contains(d, "CHAR") || Contains(d, "TEXT") || Contains(d, "CLOB")) return {kDbMemo, 0};
  if (Contains(d, "REAL") || Contains(d, "FLOA") || Contains(d, "DOUB")) return {kDbDouble, 8};
  if (Contains(d, "DEC") || Contains(d, "NUMERIC")) return {kDbDecimal, 16};
  return {kDbMemo, 0};
}

std::string DatabasePathFromConnect(std::string_view name, std::string_view connect) {
  size_t start = 0;
  while (start <= connect.size()) {
    size_t end = connect.find(';', start);
    if (end == std::string_view::npos) end = connect.size();
    std::string_view pair = connect.substr(start, end - start);
    if (size_t eq = pair.find('='); eq != std::string_view::npos) {
      if (Upper(pair.substr(0, eq)) == "DATABASE") return std::string(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return std::string(name);
}

// --- Database -------------------------------------------------------------------------

std::shared_ptr<SqliteDatabase> SqliteDatabase::Open(const std::string& path, bool read_only,
                                                     bool create) {
  std::shared_ptr<SqliteDatabase> db(new SqliteDatabase());
  db->path_ = path;
  int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  if (create && !read_only) flags |= SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path.c_str(), &db->db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db->db_ != nullptr ? sqlite3_errmsg(db->db_) : "out of memory";
    sqlite3_close_v2(std::exchange(db->db_, nullptr));
    Throw(rc == SQLITE_CANTOPEN ? kErrFileNotFound : DaoNumberOf(rc, message.c_str()),
          "DAO.DBEngine", message + " (" + path + ")");
  }
  sqlite3_extended_result_codes(db->db_, 1);
  sqlite3_busy_timeout(db->db_, kBusyTimeoutMs);
  return db;
}

SqliteDatabase::~SqliteDatabase() {
  try {
    Close();
  } catch (...) {
    // A commit that fails while the object goes away has nobody to tell.
  }
}

void SqliteDatabase::Fail(int rc, const char* source) const {
  const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  Throw(DaoNumberOf(rc, message), source, message);
}

void SqliteDatabase::Execute(std::string_view sql) {
  if (db_ == nullptr) Throw(kErrClosed, "DAO.Database", "The database is closed.");
  const std::string text(sql);
  const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(sqlite3_extended_errcode(db_), "DAO.Database");
}

std::unique_ptr<SqliteRecordset> SqliteDatabase::OpenRecordset(std::string_view sql, int type,
                                                               int options) {
  if (db_ == nullptr) Throw(kErrClosed, "DAO.Database", "The database is closed.");
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  SqliteStatement owner(stmt);
  if (rc != SQLITE_OK) Fail(sqlite3_extended_errcode(db_), "DAO.Database");
  if (stmt == nullptr) Throw(kErrOther, "DAO.Database", "The statement is empty.");
  return RecordsetOver(std::move(owner), type, options);
}

std::unique_ptr<SqliteRecordset> SqliteDatabase::RecordsetOver(SqliteStatement stmt, int type,
                                                               int options) {
  const bool read_only = type == kDbOpenSnapshot || (options & kDbReadOnlyOption) != 0 ||
                         sqlite3_db_readonly(db_, "main") == 1;
  return std::make_unique<SqliteRecordset>(shared_from_this(), std::move(stmt), read_only);
}

void SqliteDatabase::BeginAppend() {
  if (in_append_ || sqlite3_get_autocommit(db_) == 0) return;
  Execute("BEGIN");
  in_append_ = true;
}

void SqliteDatabase::CommitAppend() {
  if (!in_append_ || db_ == nullptr) return;
  in_append_ = false;
  const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const int code = sqlite3_extended_errcode(db_);
    const std::string message = sqlite3_errmsg(db_);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    Throw(DaoNumberOf(code, message.c_str()), "DAO.Database", message);
  }
}

void SqliteDatabase::Close() {
  if (db_ == nullptr) return;
  struct Closer {
    SqliteDatabase* self;
    ~Closer() { sqlite3_close_v2(std::exchange(self->db_, nullptr)); }
  } closer{this};
  CommitAppend();
}

// --- Query definitions ------------------------------------------------------------------

namespace {

[[noreturn]] void BadQuery(const std::string& why) {
  Throw(kErrOther, "DAO.QueryDef", "Syntax error in query: " + why);
}

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// Past blanks and comments.
size_t SkipBlank(std::string_view sql, size_t p) {
  for (;;) {
    while (p < sql.size() && IsBlank(sql[p])) ++p;
    if (sql.substr(p, 2) == "--") {
      const size_t end = sql.find('\n', p);
      p = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(p, 2) == "/*") {
      const size_t end = sql.find("*/", p + 2);
      p = end == std::string_view::npos ? sql.size() : end + 2;
    } else {
      return p;
    }
  }
}

size_t NameEnd(std::string_view sql, size_t p) {
  while (p < sql.size() && IsNameChar(static_cast<unsigned char>(sql[p]))) ++p;
  return p;
}

// Jet's type names for parameters, as DAO field types (0: any value).
int16_t DaoTypeNamed(std::string_view name) {
  static const struct {
    const char* names;  // "|"-separated
    int16_t type;
  } kTypes[] = {
      {"|BIT|BOOLEAN|YESNO|LOGICAL|LOGICAL1|", kDbBoolean},
      {"|BYTE|INTEGER1|TINYINT|", kDbByte},
      {"|SHORT|SMALLINT|INTEGER2|", kDbInteger},
      {"|LONG|INT|INTEGER|INTEGER4|COUNTER|AUTOINCREMENT|", kDbLong},
      {"|CURRENCY|MONEY|", kDbCurrency},
      {"|SINGLE|REAL|FLOAT4|IEEESINGLE|", kDbSingle},
      {"|DOUBLE|FLOAT|FLOAT8|IEEEDOUBLE|NUMBER|NUMERIC|", kDbDouble},
      {"|DATETIME|DATE|TIME|TIMESTAMP|", kDbDate},
      {"|BINARY|VARBINARY|", kDbBinary},
      {"|TEXT|CHAR|VARCHAR|STRING|ALPHANUMERIC|", kDbText},
      {"|LONGBINARY|OLEOBJECT|GENERAL|IMAGE|", kDbLongBinary},
      {"|MEMO|LONGTEXT|LONGCHAR|NOTE|", kDbMemo},
      {"|GUID|", kDbGuid},
      {"|BIGINT|", kDbBigInt},
      {"|VALUE|VARIANT|", 0},
  };
  const std::string wanted = "|" + Upper(name) + "|";
  for (const auto& t : kTypes) {
    if (std::string_view(t.names).find(wanted) != std::string_view::npos) return t.type;
  }
  return -1;
}

// The end of a quoted run that starts at p (its quote doubled inside).
size_t QuotedEnd(std::string_view sql, size_t p, char close) {
  size_t at = p + 1;
  for (;;) {
    const size_t q = sql.find(close, at);
    if (q == std::string_view::npos) return sql.size();
    if (close != ']' && q + 1 < sql.size() && sql[q + 1] == close) {
      at = q + 2;
      continue;
    }
    return q + 1;
  }
}

}  // namespace

ParsedQuery ParseDaoQuery(std::string_view sql) {
  ParsedQuery out;
  std::vector<std::string> upper_names;
  auto declared = [&](std::string_view name) -> int {
    const std::string u = Upper(name);
    for (size_t i = 0; i < upper_names.size(); ++i) {
      if (upper_names[i] == u) return static_cast<int>(i);
    }
    return -1;
  };

  size_t p = SkipBlank(sql, 0);
  if (NameEnd(sql, p) == p + 10 && Upper(sql.substr(p, 10)) == "PARAMETERS") {
    p += 10;
    for (;;) {
      p = SkipBlank(sql, p);
      std::string name;
      if (p < sql.size() && sql[p] == '[') {
        const size_t close = sql.find(']', p + 1);
        if (close == std::string_view::npos) BadQuery("unclosed [ in the PARAMETERS clause");
        name = sql.substr(p + 1, close - p - 1);
        p = close + 1;
      } else {
        const size_t end = NameEnd(sql, p);
        name = sql.substr(p, end - p);
        p = end;
      }
      if (name.empty()) BadQuery("a parameter without a name");
      if (declared(name) >= 0) BadQuery("parameter " + name + " declared twice");
      p = SkipBlank(sql, p);
      const size_t type_end = NameEnd(sql, p);
      const int16_t type = DaoTypeNamed(sql.substr(p, type_end - p));
      if (type < 0) {
        BadQuery("unknown type \"" + std::string(sql.substr(p, type_end - p)) + "\" of " + name);
      }
      p = SkipBlank(sql, type_end);
      if (p < sql.size() && sql[p] == '(') {  // a size, as in Text (50)
        const size_t close = sql.find(')', p);
        if (close == std::string_view::npos) BadQuery("unclosed ( in the PARAMETERS clause");
        p = SkipBlank(sql, close + 1);
      }
      out.parameters.emplace_back(name, type);
      upper_names.push_back(Upper(name));
      if (p < sql.size() && sql[p] == ',') {
        ++p;
        continue;
      }
      if (p < sql.size() && sql[p] == ';') {
        ++p;
        break;
      }
      BadQuery("the PARAMETERS clause ends without ;");
    }
  }

  auto marker = [](int index) { return "?" + std::to_string(index + 1); };
  const std::string_view body = sql.substr(p);
  std::string& o = out.statement;
  o.reserve(body.size());
  int positional = 0;
  size_t i = 0;
  while (i < body.size()) {
    const char c = body[i];
    const auto u = static_cast<unsigned char>(c);
    const char next = i + 1 < body.size() ? body[i + 1] : '\0';
    size_t end = i + 1;
    if (c == '\'' || c == '"' || c == '`') {
      end = QuotedEnd(body, i, c);
    } else if ((c == '-' && next == '-') || (c == '/' && next == '*')) {
      end = SkipBlank(body, i);
    } else if (c == '[') {
      end = QuotedEnd(body, i, ']');
      const int index = declared(body.substr(i + 1, end - i - 2));
      if (index >= 0 && end <= body.size() && body[end - 1] == ']') {
        o += marker(index);
        i = end;
        continue;
      }
    } else if (c == '?') {
      if (next >= '0' && next <= '9') BadQuery("numbered ? markers; use ? alone");
      if (!upper_names.empty()) BadQuery("? markers next to a PARAMETERS clause");
      o += marker(positional++);
      i = end;
      continue;
    } else if ((c == ':' || c == '@' || c == '$') && IsNameStart(static_cast<unsigned char>(next))) {
      BadQuery("named markers (" + std::string(1, c) + "name); declare PARAMETERS instead");
    } else if ((c >= '0' && c <= '9') || (c == '.' && next >= '0' && next <= '9')) {
      // A number, exponent included, so that 1e5 holds no name e5.
      while (end < body.size() && (IsNameChar(static_cast<unsigned char>(body[end])) ||
                                   body[end] == '.' ||
                                   ((body[end] == '+' || body[end] == '-') &&
                                    (body[end - 1] == 'e' || body[end - 1] == 'E')))) {
        ++end;
      }
    } else if (IsNameStart(u)) {
      end = NameEnd(body, i);
      const int index = (!o.empty() && o.back() == '.') ? -1 : declared(body.substr(i, end - i));
      if (index >= 0) {
        o += marker(index);
        i = end;
        continue;
      }
    }
    o.append(body.substr(i, end - i));
    i = end;
  }
  for (int k = 0; k < positional; ++k) out.parameters.emplace_back(marker(k), int16_t{0});
  return out;
}

SqliteQuery::SqliteQuery(std::shared_ptr<SqliteDatabase> db, std::string name, std::string sql)
    : db_(std::move(db)), name_(std::move(name)) {
  SetSql(std::move(sql));
}

void SqliteQuery::SetSql(std::string sql) {
  ParsedQuery parsed = ParseDaoQuery(sql);
  ParameterList fresh;
  for (const auto& [name, type] : parsed.parameters) {
    auto parameter = std::make_shared<Parameter>();
    parameter->name = name;
    parameter->type = type;
    fresh.push_back(std::move(parameter));
  }
  parsed_ = std::move(parsed);
  sql_ = std::move(sql);
  // The list object stays: collections handed out before see the new one.
  *parameters_ = std::move(fresh);
}

SqliteStatement SqliteQuery::Prepare() {
  if (!db_->IsOpen()) Throw(kErrClosed, "DAO.QueryDef", "The database is closed.");
  const std::string& text = parsed_.statement;
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(db_->handle(), text.data(), static_cast<int>(text.size()),
                                    &raw, &tail);
  SqliteStatement stmt(raw);
  if (rc != SQLITE_OK) db_->Fail(sqlite3_extended_errcode(db_->handle()), "DAO.QueryDef");
  if (raw == nullptr) Throw(kErrOther, "DAO.QueryDef", "The statement is empty.");
  const std::string_view rest(tail, static_cast<size_t>(text.data() + text.size() - tail));
  size_t after = SkipBlank(rest, 0);
  while (after < rest.size() && rest[after] == ';') after = SkipBlank(rest, after + 1);
  if (after < rest.size()) {
    Throw(kErrOther, "DAO.QueryDef", "Characters found after end of SQL statement.");
  }
  int missing = 0;
  for (const auto& parameter : *parameters_) missing += parameter->assigned ? 0 : 1;
  if (missing > 0) {
    Throw(kErrTooFewParameters, "DAO.QueryDef",
          "Too few parameters. Expected " + std::to_string(missing) + ".");
  }
  const int markers = sqlite3_bind_parameter_count(raw);
  for (int i = 0; i < markers && i < static_cast<int>(parameters_->size()); ++i) {
    const Parameter& parameter = *(*parameters_)[i];
    const com::Variant stored = StoredValue(*parameter.value.get(), parameter.type);
    // A transient copy of text: the stored value goes when this returns.
    int bound = SQLITE_OK;
    if (stored.vt() == com::VT_BSTR) {
      const std::u16string_view text16 = com::Bstr::View(stored.get()->bstrVal);
      bound = sqlite3_bind_text16(raw, i + 1, text16.data(), static_cast<int>(text16.size() * 2),
                                  SQLITE_TRANSIENT);
    } else {
      bound = BindStored(raw, i + 1, *stored.get());
    }
    if (bound != SQLITE_OK) db_->Fail(bound, "DAO.QueryDef");
  }
  return stmt;
}

void SqliteQuery::Execute() {
  SqliteStatement stmt = Prepare();
  // Whether or not it finds any, a statement with columns returns rows.
  if (sqlite3_column_count(stmt.get()) > 0) {
    Throw(kErrSelectExecuted, "DAO.QueryDef", "Cannot execute a select query.");
  }
  const int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_DONE) db_->Fail(sqlite3_extended_errcode(db_->handle()), "DAO.QueryDef");
  records_affected_ = sqlite3_changes64(db_->handle());
}

std::unique_ptr<SqliteRecordset> SqliteQuery::OpenRecordset(int type, int options) {
  return db_->RecordsetOver(Prepare(), type, options);
}

// --- Recordset ------------------------------------------------------------------------

SqliteRecordset::SqliteRecordset(std::shared_ptr<SqliteDatabase> db, SqliteStatement select,
                                 bool read_only)
    : db_(std::move(db)), select_(std::move(select)), read_only_(read_only) {
  sqlite3_stmt* stmt = select_.get();
  const int n = sqlite3_column_count(stmt);
  bool appendable = n > 0 && sqlite3_stmt_readonly(stmt) != 0;
  for (int i = 0; i < n; ++i) {
    FieldDescription field;
    field.name = sqlite3_column_name(stmt, i);
    const char* declared = sqlite3_column_decltype(stmt, i);
    const DeclaredType t = MapDeclaredType(declared != nullptr ? declared : "");
    field.type = t.type;
    field.size = t.size;
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
    if (table == nullptr || origin == nullptr || (!table_.empty() && table_ != table)) {
      appendable = false;
    } else {
      table_ = table;
      columns_.push_back(origin);
      int not_null = 0;
      if (sqlite3_table_column_metadata(db_->handle(), sqlite3_column_database_name(stmt, i),
                                        table, origin, nullptr, nullptr, &not_null, nullptr,
                                        nullptr) == SQLITE_OK) {
        field.required = not_null != 0;
      }
    }
    fields_.push_back(std::move(field));
  }
  if (!appendable) {
    table_.clear();
    columns_.clear();
  }
}

SqliteRecordset::~SqliteRecordset() {
  try {
    Close();
  } catch (...) {
    // As for the database: a failing commit at destruction has no caller.
  }
}

bool SqliteRecordset::IsOpen() const { return select_.get() != nullptr && db_->IsOpen(); }

void SqliteRecordset::RequireOpen() const {
  if (!IsOpen()) Throw(kErrClosed, "DAO.Recordset", "The recordset is closed.");
}

void SqliteRecordset::Step() {
  const int rc = sqlite3_step(select_.get());
  if (rc == SQLITE_ROW) {
    eof_ = false;
    any_row_ = true;
  } else if (rc == SQLITE_DONE) {
    eof_ = true;
  } else {
    eof_ = true;
    db_->Fail(sqlite3_extended_errcode(db_->handle()), "DAO.Recordset");
  }
}

// Rows are read only when first asked for, so a recordset opened to
// receive rows never holds a read position on its table.
void SqliteRecordset::Start() {
  RequireOpen();
  if (started_) return;
  started_ = true;
  Step();
}

bool SqliteRecordset::Bof() {
  Start();
  return !any_row_;
}

bool SqliteRecordset::Eof() {
  Start();
  return eof_;
}

void SqliteRecordset::MoveFirst() {
  RequireOpen();
  sqlite3_reset(select_.get());
  started_ = true;
  any_row_ = false;
  Step();
  if (eof_) Throw(kErrNoCurrentRecord, "DAO.Recordset", "No current record.");
}

void SqliteRecordset::MoveNext() {
  Start();
  if (eof_) Throw(kErrNoCurrentRecord, "DAO.Recordset", "No current record.");
  Step();
}

void SqliteRecordset::AddNew() {
  RequireOpen();
  if (read_only_ || table_.empty()) {
    Throw(kErrReadOnly, "DAO.Recordset", "Cannot update. Database or object is read-only.");
  }
  db_->BeginAppend();
  // The values' buffers stay, for the next row.
  pending_.resize(fields_.size());
  for (PendingValue& p : pending_) p.kind = PendingValue::Kind::kNull;
  assigned_.assign(fields_.size(), false);
  adding_ = true;
}

com::Variant SqliteRecordset::GetValue(size_t index) {
  RequireOpen();
  if (index >= fields_.size()) Throw(3265, "DAO.Fields", "Item not found in this collection.");
  if (adding_) return assigned_[index] ? PendingVariant(pending_[index]) : com::Variant::Null();
  Start();
  if (eof_) Throw(kErrNoCurrentRecord, "DAO.Field", "No current record.");
  // The column's value once, then its parts: each sqlite3_column_* call
  // looks the column up again, and a row's values are read one call each.
  // The connection has no mutex of its own (the engine's calls are already
  // one at a time), so the unprotected value is as safe as those calls.
  sqlite3_value* value = sqlite3_column_value(select_.get(), static_cast<int>(index));
  const int16_t type = fields_[index].type;
  switch (sqlite3_value_type(value)) {
    case SQLITE_NULL:
      return com::Variant::Null();
    case SQLITE_INTEGER: {
      const int64_t v = sqlite3_value_int64(value);
      if (type == kDbBoolean) return com::Variant::Bool(v != 0);
      if (type == kDbCurrency) return CurrencyVariant(CurrencyOf(v));
      if (type == kDbDate) return DateVariant(static_cast<double>(v));
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
        return com::Variant::I4(static_cast<int32_t>(v));
      }
      com::Variant big;
      big.get()->vt = com::VT_I8;
      big.get()->llVal = v;
      return big;
    }
    case SQLITE_FLOAT: {
      const double v = sqlite3_value_double(value);
      if (type == kDbCurrency) return CurrencyVariant(CurrencyOf(v));
      if (type == kDbDate) return DateVariant(v);
      return com::Variant::R8(v);
    }
    case SQLITE_BLOB: {
      const auto* data = static_cast<const uint8_t*>(sqlite3_value_blob(value));
      const int size = sqlite3_value_bytes(value);
      return com::Variant::Bytes(std::span<const uint8_t>(data, static_cast<size_t>(size)));
    }
    default: {
      if (type == kDbDate) {
        const auto* data = reinterpret_cast<const char*>(sqlite3_value_text(value));
        const std::string_view text(data, static_cast<size_t>(sqlite3_value_bytes(value)));
        com::DATE date = 0;
        if (ParseFixedDate(text, &date)) return com::Variant::Date(date);
      }
      const auto* data = reinterpret_cast<const char*>(sqlite3_value_text(value));
      com::Variant text =
          TextVariant(std::string_view(data, static_cast<size_t>(sqlite3_value_bytes(value))));
      // Typed columns hold text in the fixed forms; give them their type back.
      com::VARTYPE want = com::VT_EMPTY;
      if (type == kDbBoolean) want = com::VT_BOOL;
      if (type == kDbDate) want = com::VT_DATE;
      if (want != com::VT_EMPTY) {
        com::Variant typed;
        if (Coerce(*text.get(), want, &typed)) return typed;
      }
      return text;
    }
  }
}

void SqliteRecordset::SetValue(size_t index, const com::VARIANT& value) {
  RequireOpen();
  if (index >= fields_.size()) Throw(3265, "DAO.Fields", "Item not found in this collection.");
  if (!adding_) {
    Throw(kErrUpdateWithoutAddNew, "DAO.Field", "Update or CancelUpdate without AddNew or Edit.");
  }
  PendingValue& pending = pending_[index];
  if (!StoreDirectly(value, fields_[index].type, &pending)) {
    pending.other = StoredValue(value, fields_[index].type);
    pending.kind = PendingValue::Kind::kOther;
  }
  assigned_[index] = true;
}

SqliteStatement& SqliteRecordset::InsertFor(const std::vector<bool>& assigned) {
  auto found = inserts_.find(assigned);
  if (found != inserts_.end()) return found->second;
  auto quote = [](const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
      out += c;
      if (c == '"') out += '"';
    }
    return out + "\"";
  };
  std::string sql = "INSERT INTO " + quote(table_);
  std::string names, marks;
  for (size_t i = 0; i < assigned.size(); ++i) {
    if (!assigned[i]) continue;
    if (!names.empty()) {
      names += ", ";
      marks += ", ";
    }
    names += quote(columns_[i]);
    marks += "?";
  }
  sql += names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_->handle(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    SqliteStatement discard(stmt);
    db_->Fail(sqlite3_extended_errcode(db_->handle()), "DAO.Recordset");
  }
  return inserts_.emplace(assigned, SqliteStatement(stmt)).first->second;
}

void SqliteRecordset::Update() {
  RequireOpen();
  if (!adding_) {
    Throw(kErrUpdateWithoutAddNew, "DAO.Recordset", "Update or CancelUpdate without AddNew or Edit.");
  }
  adding_ = false;
  // Rows of one import assign the same fields: the last statement serves.
  if (last_mask_ == nullptr || *last_mask_ != assigned_) {
    SqliteStatement& insert = InsertFor(assigned_);
    last_mask_ = &inserts_.find(assigned_)->first;
    last_insert_ = insert.get();
  }
  sqlite3_stmt* stmt = last_insert_;
  int param = 0;
  for (size_t i = 0; i < pending_.size(); ++i) {
    if (!assigned_[i]) continue;
    const int rc = BindPending(stmt, ++param, pending_[i]);
    if (rc != SQLITE_OK) db_->Fail(rc, "DAO.Recordset");
  }
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    // The failing row alone is undone (SQLite rolls back the statement);
    // the rows appended before it stay in the transaction.
    const std::string message = sqlite3_errmsg(db_->handle());
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    Throw(DaoNumberOf(rc, message.c_str()), "DAO.Recordset", message);
  }
  // The bindings stay: every assigned field is bound again before the
  // statement runs next.
  sqlite3_reset(stmt);
}

void SqliteRecordset::Close() {
  if (select_.get() == nullptr) return;
  last_mask_ = nullptr;
  last_insert_ = nullptr;
  inserts_.clear();
  select_.reset();
  adding_ = false;
  if (db_->IsOpen()) db_->CommitAppend();
}

}  // namespace quillon::engines
