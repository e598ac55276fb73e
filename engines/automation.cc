#include "engines/automation.h"

#include <cctype>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::engines {
namespace {

constexpr int32_t kDaoHelpContextBase = 5000000;
constexpr int32_t kErrItemNotFound = 3265;
constexpr int32_t kErrInvalidPath = 3044;
constexpr int32_t kErrObjectClosed = 3704;  // ADO: operation not allowed when closed
constexpr int16_t kDbOpenDynaset = 2;
constexpr int32_t kAdLockReadOnly = 1;

BSTR Alloc(std::u16string_view text) {
  BSTR b = com::SysAllocStringLen(text.data(), static_cast<com::UINT>(text.size()));
  if (b == nullptr) throw std::bad_alloc();
  return b;
}

BSTR AllocUtf8(std::string_view text) { return Alloc(com::Utf8ToUtf16(text)); }

std::string Utf8(BSTR text) { return com::Utf16ToUtf8(com::Bstr::View(text)); }

bool IsMissing(const VARIANT& v) {
  const VARIANT& d = (v.vt == (com::VT_BYREF | com::VT_VARIANT) && v.pvarVal) ? *v.pvarVal : v;
  return d.vt == com::VT_EMPTY || (d.vt == com::VT_ERROR && d.scode == com::DISP_E_PARAMNOTFOUND);
}

// An optional argument coerced to `vt`; `fallback` when missing.
com::Variant Optional(const VARIANT& v, com::VARTYPE vt, com::Variant fallback) {
  if (IsMissing(v)) return fallback;
  com::Variant out;
  if (com::Failed(com::VariantChangeType(out.get(), &v, 0, vt))) {
    throw EngineError(3421, "DAO", "Data type conversion error.");
  }
  return out;
}

com::HRESULT CodeOf(const ErrorList& errors, int32_t number) {
  if (errors.ado) return com::E_FAIL;
  return com::MakeHresult(0x800A0000u | (static_cast<uint32_t>(number) & 0xFFFFu));
}

// Every engine operation runs through here: a failure replaces the
// engine's error collection with its records and is reported with the
// first one.
template <class F>
com::HRESULT Run(ErrorList& errors, F&& body) noexcept {
  try {
    body();
    return com::S_OK;
  } catch (const EngineError& e) {
    try {
      errors.records = e.records();
      const ErrorRecord& first = errors.records.front();
      return com::ReportError(CodeOf(errors, first.number), com::Utf8ToUtf16(first.description),
                              com::Utf8ToUtf16(first.source), nullptr, 0);
    } catch (...) {
      return com::E_OUTOFMEMORY;
    }
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  } catch (...) {
    return com::E_UNEXPECTED;
  }
}

// For members that only allocate their result.
template <class F>
com::HRESULT AllocGuard(F&& body) noexcept {
  try {
    body();
    return com::S_OK;
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

template <class T, class I, class... A>
IDispatch* NewObject(A&&... args) {
  auto object = com::Object<T>::Create(EnginesModule(), std::forward<A>(args)...);
  IDispatch* d = static_cast<I*>(object.get());
  d->AddRef();
  return d;
}

}  // namespace

// --- Errors ---------------------------------------------------------------------------------

HRESULT ErrorsObject::get_Count(int32_t* count) {
  if (count == nullptr) return com::E_POINTER;
  *count = static_cast<int32_t>(errors_->records.size());
  return com::S_OK;
}

HRESULT ErrorsObject::get_Item(VARIANT Index, IDispatch** item) {
  if (item == nullptr) return com::E_POINTER;
  *item = nullptr;
  com::Variant i;
  if (com::Failed(com::VariantChangeType(i.get(), &Index, 0, com::VT_I4))) {
    return com::DISP_E_TYPEMISMATCH;
  }
  const int32_t n = i.get()->lVal;
  if (n < 0 || n >= static_cast<int32_t>(errors_->records.size())) return com::DISP_E_BADINDEX;
  try {
    *item = NewObject<ErrorObject, IEngineError>(errors_->records[n], errors_->ado);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
  return com::S_OK;
}

HRESULT ErrorObject::get_Number(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = record_.number;
  return com::S_OK;
}
HRESULT ErrorObject::get_Source(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return AllocGuard([&] { *value = AllocUtf8(record_.source); });
}
HRESULT ErrorObject::get_Description(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return AllocGuard([&] { *value = AllocUtf8(record_.description); });
}
HRESULT ErrorObject::get_HelpFile(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return AllocGuard([&] { *value = Alloc(u""); });
}
HRESULT ErrorObject::get_HelpContext(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = ado_ ? 0 : kDaoHelpContextBase + record_.number;
  return com::S_OK;
}

// --- Fields ---------------------------------------------------------------------------------

HRESULT FieldsObject::get_Count(int32_t* count) {
  if (count == nullptr) return com::E_POINTER;
  *count = static_cast<int32_t>(cursor_->fields().size());
  return com::S_OK;
}

HRESULT FieldsObject::get_Item(VARIANT Index, IDispatch** item) {
  if (item == nullptr) return com::E_POINTER;
  *item = nullptr;
  return Run(*errors_, [&] {
    const auto& fields = cursor_->fields();
    com::Variant given;
    com::VariantCopyInd(given.get(), &Index);
    size_t index = fields.size();
    if (given.vt() == com::VT_BSTR) {
      const std::string wanted = com::Utf16ToUtf8(com::Bstr::View(given.get()->bstrVal));
      auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t k = 0; k < a.size(); ++k) {
          if (std::tolower(static_cast<unsigned char>(a[k])) !=
              std::tolower(static_cast<unsigned char>(b[k]))) {
            return false;
          }
        }
        return true;
      };
      for (size_t k = 0; k < fields.size(); ++k) {
        if (same(fields[k].name, wanted)) index = k;
      }
    } else {
      com::Variant i;
      if (com::Succeeded(com::VariantChangeType(i.get(), given.get(), 0, com::VT_I4)) &&
          i.get()->lVal >= 0) {
        index = static_cast<size_t>(i.get()->lVal);
      }
    }
    if (index >= fields.size()) {
      throw EngineError(kErrItemNotFound, "Fields", "Item not found in this collection.");
    }
    *item = NewObject<FieldObject, IEngineField>(cursor_, index, errors_);
  });
}

HRESULT FieldObject::get_Name(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Run(*errors_, [&] { *value = AllocUtf8(field().name); });
}
HRESULT FieldObject::get_Type(int16_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = field().type;
  return com::S_OK;
}
HRESULT FieldObject::get_Size(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = field().size;
  return com::S_OK;
}
HRESULT FieldObject::get_Required(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = field().required ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return com::S_OK;
}
HRESULT FieldObject::get_Value(VARIANT* value) {
  if (value == nullptr) return com::E_POINTER;
  return Run(*errors_, [&] { *value = cursor_->GetValue(index_).Detach(); });
}
HRESULT FieldObject::put_Value(VARIANT value) {
  return Run(*errors_, [&] { cursor_->SetValue(index_, value); });
}
HRESULT FieldObject::get_DefinedSize(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = field().size;
  return com::S_OK;
}
HRESULT FieldObject::get_Precision(int16_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = static_cast<int16_t>(field().precision);
  return com::S_OK;
}
HRESULT FieldObject::get_NumericScale(int16_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = static_cast<int16_t>(field().scale);
  return com::S_OK;
}
HRESULT FieldObject::get_Attributes(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = field().attributes;
  return com::S_OK;
}

// --- Recordsets -------------------------------------------------------------------------------

Cursor& RecordsetObjectBase::cursor() {
  if (!cursor_ || !cursor_->IsOpen()) {
    throw EngineError(kErrObjectClosed, "Recordset",
                      "Operation is not allowed when the object is closed.");
  }
  return *cursor_;
}

HRESULT RecordsetObjectBase::get_BOF(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  return Run(*errors_, [&] { *value = cursor().Bof() ? com::VARIANT_TRUE : com::VARIANT_FALSE; });
}
HRESULT RecordsetObjectBase::get_EOF(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  return Run(*errors_, [&] { *value = cursor().Eof() ? com::VARIANT_TRUE : com::VARIANT_FALSE; });
}
HRESULT RecordsetObjectBase::MoveFirst() {
  return Run(*errors_, [&] { cursor().MoveFirst(); });
}
HRESULT RecordsetObjectBase::MoveNext() {
  return Run(*errors_, [&] { cursor().MoveNext(); });
}
HRESULT RecordsetObjectBase::AddNew() {
  return Run(*errors_, [&] { cursor().AddNew(); });
}
HRESULT RecordsetObjectBase::Update(VARIANT /*First*/, VARIANT /*Second*/) {
  return Run(*errors_, [&] { cursor().Update(); });
}
HRESULT RecordsetObjectBase::get_Fields(IDispatch** fields) {
  if (fields == nullptr) return com::E_POINTER;
  *fields = nullptr;
  return Run(*errors_, [&] {
    cursor();
    *fields = NewObject<FieldsObject, IEngineFields>(cursor_, errors_);
  });
}
HRESULT RecordsetObjectBase::Close() {
  return Run(*errors_, [&] {
    if (cursor_) cursor_->Close();
  });
}

HRESULT RecordsetObjectBase::Open(VARIANT Source, VARIANT ActiveConnection, int32_t /*CursorType*/,
                                  int32_t LockType, int32_t /*Options*/) {
  // Find the connection first, so that a failing Open is told in its
  // error collection, where ADO callers look.
  const VARIANT& c = (ActiveConnection.vt == (com::VT_BYREF | com::VT_VARIANT))
                         ? *ActiveConnection.pvarVal
                         : ActiveConnection;
  com::ComPtr<IOdbcConnectionAccess> access;
  if ((c.vt == com::VT_UNKNOWN || c.vt == com::VT_DISPATCH) && c.punkVal != nullptr) {
    c.punkVal->QueryInterface(IID_IOdbcConnectionAccess, access.put_void());
  }
  if (access) errors_ = access->Errors();
  return Run(*errors_, [&] {
    if (!access || !access->Connection() || !access->Connection()->IsOpen()) {
      throw EngineError(3001, "ADODB.Recordset",
                        "Arguments are of the wrong type, are out of acceptable range, or are in "
                        "conflict with one another.");
    }
    com::Variant source = Optional(Source, com::VT_BSTR, com::Variant::String(u""));
    if (cursor_) cursor_->Close();
    cursor_ = access->Connection()->OpenRecordset(
        com::Utf16ToUtf8(com::Bstr::View(source.get()->bstrVal)), LockType == kAdLockReadOnly);
  });
}

HRESULT RecordsetObjectBase::get_CursorLocation(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = cursor_location_;
  return com::S_OK;
}
HRESULT RecordsetObjectBase::put_CursorLocation(int32_t value) {
  cursor_location_ = value;
  return com::S_OK;
}
HRESULT RecordsetObjectBase::get_CacheSize(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = cache_size_;
  return com::S_OK;
}
HRESULT RecordsetObjectBase::put_CacheSize(int32_t value) {
  if (value < 1) return com::E_INVALIDARG;
  cache_size_ = value;
  return com::S_OK;
}

// --- DAO databases and engines ---------------------------------------------------------------

HRESULT DaoDatabaseObjectBase::OpenRecordset(BSTR Name, VARIANT Type, VARIANT Options,
                                             VARIANT LockEdit, IDispatch** recordset) {
  if (recordset == nullptr) return com::E_POINTER;
  *recordset = nullptr;
  // DAO 3.0's OpenRecordset has no lock argument.
  if (!takes_lock_ && !IsMissing(LockEdit)) return com::DISP_E_BADPARAMCOUNT;
  return Run(*errors_, [&] {
    const int type = Optional(Type, com::VT_I4, com::Variant::I4(kDbOpenDynaset)).get()->lVal;
    const int options = Optional(Options, com::VT_I4, com::Variant::I4(0)).get()->lVal;
    std::shared_ptr<Cursor> cursor = db_->OpenRecordset(Utf8(Name), type, options);
    *recordset = NewObject<RecordsetObject<false>, IEngineRecordset>(cursor, errors_);
  });
}

HRESULT DaoDatabaseObjectBase::Execute(BSTR Query, VARIANT /*Options*/) {
  return Run(*errors_, [&] { db_->Execute(Utf8(Query)); });
}

HRESULT DaoDatabaseObjectBase::Close() {
  return Run(*errors_, [&] { db_->Close(); });
}

HRESULT DaoDatabaseObjectBase::get_Name(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Run(*errors_, [&] { *value = AllocUtf8(db_->path()); });
}

namespace {

std::string PathOf(BSTR name, const VARIANT& connect) {
  com::Variant text = Optional(connect, com::VT_BSTR, com::Variant::String(u""));
  std::string path =
      DatabasePathFromConnect(Utf8(name), com::Utf16ToUtf8(com::Bstr::View(text.get()->bstrVal)));
  if (path.empty()) throw EngineError(kErrInvalidPath, "DAO.DBEngine", "The path is not valid.");
  return path;
}

}  // namespace

std::shared_ptr<ErrorList> DaoEngineObjectBase::SharedErrors(const DaoVersion& version) {
  static std::mutex mutex;
  static std::map<const DaoVersion*, std::shared_ptr<ErrorList>> lists;
  std::lock_guard lock(mutex);
  auto& list = lists[&version];
  if (!list) list = std::make_shared<ErrorList>();
  return list;
}

HRESULT DaoEngineObjectBase::OpenDatabase(BSTR Name, VARIANT /*Exclusive*/, VARIANT ReadOnly,
                                          VARIANT Connect, IDispatch** database) {
  if (database == nullptr) return com::E_POINTER;
  *database = nullptr;
  return Run(*errors_, [&] {
    const bool read_only =
        Optional(ReadOnly, com::VT_BOOL, com::Variant::Bool(false)).get()->boolVal != 0;
    auto db = SqliteDatabase::Open(PathOf(Name, Connect), read_only);
    *database = MakeDatabase(std::move(db)).detach();
  });
}

HRESULT DaoEngineObjectBase::CreateDatabase(BSTR Name, VARIANT /*Locale*/, VARIANT /*Option*/,
                                            IDispatch** database) {
  if (database == nullptr) return com::E_POINTER;
  *database = nullptr;
  return Run(*errors_, [&] {
    auto db = SqliteDatabase::Open(PathOf(Name, VARIANT{}), false, /*create=*/true);
    *database = MakeDatabase(std::move(db)).detach();
  });
}

HRESULT DaoEngineObjectBase::get_Errors(IDispatch** errors) {
  if (errors == nullptr) return com::E_POINTER;
  *errors = nullptr;
  try {
    *errors = NewObject<ErrorsObject, IEngineErrors>(errors_);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
  return com::S_OK;
}

HRESULT DaoEngineObjectBase::get_Version(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Run(*errors_, [&] { *value = Alloc(version_.version); });
}

// --- ADO connection ---------------------------------------------------------------------------

AdoConnectionObject::AdoConnectionObject(com::Module& module)
    : ObjectBase(module), errors_(std::make_shared<ErrorList>()) {
  errors_->ado = true;
}

HRESULT AdoConnectionObject::Open(BSTR ConnectionString, BSTR UserID, BSTR Password,
                                  int32_t /*Options*/) {
  return Run(*errors_, [&] {
    if (connection_) connection_->Close();
    connection_.reset();
    connection_ = OdbcConnection::Open(Utf8(ConnectionString), Utf8(UserID), Utf8(Password));
  });
}

HRESULT AdoConnectionObject::Execute(BSTR CommandText) {
  return Run(*errors_, [&] {
    if (!connection_ || !connection_->IsOpen()) {
      throw EngineError(kErrObjectClosed, "ADODB.Connection",
                        "Operation is not allowed when the object is closed.");
    }
    connection_->Execute(Utf8(CommandText));
  });
}

HRESULT AdoConnectionObject::Close() {
  return Run(*errors_, [&] {
    if (connection_) connection_->Close();
  });
}

HRESULT AdoConnectionObject::get_Errors(IDispatch** errors) {
  if (errors == nullptr) return com::E_POINTER;
  *errors = nullptr;
  try {
    *errors = NewObject<ErrorsObject, IEngineErrors>(errors_);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
  return com::S_OK;
}

HRESULT AdoConnectionObject::get_State(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = connection_ && connection_->IsOpen() ? 1 : 0;
  return com::S_OK;
}

}  // namespace quillon::engines
