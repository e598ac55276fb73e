#include "engines/automation.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::engines {
namespace {

constexpr int32_t kDaoHelpContextBase = 5000000;
constexpr int32_t kErrItemNotFound = 3265;
constexpr int32_t kErrInvalidPath = 3044;
constexpr int32_t kErrConversion = 3421;
constexpr int32_t kErrObjectClosed = 3704;  // ADO: operation not allowed when closed
constexpr int32_t kErrArguments = 3001;     // ADO: arguments of the wrong type
constexpr int32_t kErrNotSupported = 3251;  // operation not supported for this object
constexpr int32_t kErrNoConnection = 3709;  // ADO: no usable connection
constexpr int32_t kAdCmdText = 1;
constexpr int32_t kAdCmdTable = 2;
constexpr int32_t kAdCmdStoredProc = 4;
constexpr int32_t kAdCmdUnknown = 8;
constexpr int32_t kAdCmdFile = 256;
constexpr int32_t kAdCmdTableDirect = 512;
constexpr int32_t kAdExecuteNoRecords = 0x80;
constexpr int16_t kDbOpenDynaset = 2;
constexpr int32_t kAdLockReadOnly = 1;
constexpr int32_t kAdUseClient = 3;

// An optional argument coerced to `vt`; `fallback` when missing.
com::Variant Optional(const VARIANT& v, com::VARTYPE vt, com::Variant fallback) {
  if (IsMissing(v)) return fallback;
  com::Variant out;
  if (com::Failed(com::VariantChangeType(out.get(), &v, 0, vt))) {
    throw EngineError(kErrConversion, "DAO", "Data type conversion error.");
  }
  return out;
}

std::string OptionalText(const VARIANT& v) {
  com::Variant text = Optional(v, com::VT_BSTR, com::Variant::String(u""));
  return com::Utf16ToUtf8(com::Bstr::View(text.get()->bstrVal));
}

int32_t OptionalInt(const VARIANT& v, int32_t fallback) {
  return Optional(v, com::VT_I4, com::Variant::I4(fallback)).get()->lVal;
}

[[noreturn]] void WrongArguments(const char* source) {
  throw EngineError(kErrArguments, source,
                    "Arguments are of the wrong type, are out of acceptable range, or are in "
                    "conflict with one another.");
}

template <class T, class I, class... A>
Made NewObject(A&&... args) {
  auto object = com::Object<T>::Create(EnginesModule(), std::forward<A>(args)...);
  return {com::ComPtr<IDispatch>(static_cast<I*>(object.get()))};
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (std::tolower(static_cast<unsigned char>(a[k])) !=
        std::tolower(static_cast<unsigned char>(b[k]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

// --- Conversions and the convention --------------------------------------------------------

Utf8Text In(BSTR text, com::forward_internal::Tag<Utf8Text>) {
  return {com::Utf16ToUtf8(com::Bstr::View(text))};
}

void Out(const Utf8Text& text, BSTR* out) {
  const std::u16string wide = com::Utf8ToUtf16(text.bytes);
  BSTR b = com::SysAllocStringLen(wide.data(), static_cast<com::UINT>(wide.size()));
  if (b == nullptr) throw std::bad_alloc();
  *out = b;
}

void Out(const Made& made, IDispatch** out) {
  *out = made.object.get();
  if (*out != nullptr) (*out)->AddRef();
}

void Out(Value&& value, VARIANT* out) { *out = value.variant.Detach(); }

RecordCount In(VARIANT* target, com::forward_internal::Tag<RecordCount>) { return {target}; }

void RecordCount::Set(int64_t count) const {
  if (target == nullptr) return;
  com::VariantClear(target);
  target->vt = com::VT_I4;
  target->lVal = static_cast<int32_t>(std::clamp<int64_t>(count, -1, INT32_MAX));
}

HRESULT EngineConvention::Report(std::vector<ErrorRecord> records) const {
  if (records.empty()) records.push_back({});
  const ErrorRecord first = records.front();
  const bool ado = errors_ != nullptr && errors_->ado;
  if (record_ && errors_ != nullptr) errors_->records = std::move(records);
  const HRESULT code =
      ado ? com::E_FAIL
          : com::MakeHresult(0x800A0000u | (static_cast<uint32_t>(first.number) & 0xFFFFu));
  return com::ReportError(code, com::Utf8ToUtf16(first.description),
                          com::Utf8ToUtf16(first.source), nullptr, 0);
}

HRESULT EngineConvention::FromError(const Error& error) const {
  // The forwarding layer's own refusals (a byte array that is none).
  return Report({{error.number(), "Quillon", com::Utf16ToUtf8(error.Description())}});
}

HRESULT EngineConvention::FromForeign(const ForeignError& error) const {
  if (const auto* engine = dynamic_cast<const EngineError*>(&error)) {
    return Report(engine->records());
  }
  return Report({{error.code(), "", com::Utf16ToUtf8(error.Text())}});
}

HRESULT EngineConvention::FromInvalidArgument(const std::invalid_argument& error) const {
  return com::ReportError(com::E_INVALIDARG, com::Utf8ToUtf16(error.what()), u"", nullptr, 0);
}

// --- Errors ----------------------------------------------------------------------------------

int32_t ErrorView::HelpContext() const { return ado_ ? 0 : kDaoHelpContextBase + record_.number; }

Made ErrorsHandle::Item(const VARIANT& index) const {
  com::Variant i;
  if (com::Failed(com::VariantChangeType(i.get(), &index, 0, com::VT_I4)) ||
      i.get()->lVal < 0 || i.get()->lVal >= Count()) {
    throw EngineError(kErrItemNotFound, "Errors", "Item not found in this collection.");
  }
  return NewObject<ErrorObject, IEngineError>(errors->records[i.get()->lVal], errors->ado);
}

// --- Fields ----------------------------------------------------------------------------------

Made FieldsHandle::Item(const VARIANT& index) const {
  const auto& fields = cursor->fields();
  const VARIANT& given = com::Referenced(index);
  size_t at = fields.size();
  if (given.vt == com::VT_BSTR) {
    const std::string wanted = com::Utf16ToUtf8(com::Bstr::View(given.bstrVal));
    for (size_t k = 0; k < fields.size(); ++k) {
      if (SameName(fields[k].name, wanted)) at = k;
    }
  } else {
    com::Variant i;
    if (com::Succeeded(com::VariantChangeType(i.get(), &given, 0, com::VT_I4)) &&
        i.get()->lVal >= 0) {
      at = static_cast<size_t>(i.get()->lVal);
    }
  }
  if (at >= fields.size()) {
    throw EngineError(kErrItemNotFound, "Fields", "Item not found in this collection.");
  }
  return NewObject<FieldObject, IEngineField>(cursor, at, errors);
}

// --- Recordsets ------------------------------------------------------------------------------

Cursor& RecordsetHandle::open() const {
  if (!cursor || !cursor->IsOpen()) {
    throw EngineError(kErrObjectClosed, "Recordset",
                      "Operation is not allowed when the object is closed.");
  }
  return *cursor;
}

Made RecordsetHandle::Fields() const {
  open();
  return NewObject<FieldsObject, IEngineFields>(cursor, errors);
}

void RecordsetHandle::Open(const VARIANT& source, const VARIANT& active_connection,
                           int32_t /*cursor_type*/, int32_t lock_type, int32_t /*options*/) {
  // The connection is found first, so that a failing Open is told in its
  // error collection, where ADO callers look.
  const VARIANT& c = com::Referenced(active_connection);
  com::ComPtr<IOdbcConnectionAccess> access;
  if ((c.vt == com::VT_UNKNOWN || c.vt == com::VT_DISPATCH) && c.punkVal != nullptr) {
    c.punkVal->QueryInterface(IID_IOdbcConnectionAccess, access.put_void());
  }
  if (access) errors = access->Errors();
  if (!access || !access->Connection() || !access->Connection()->IsOpen()) {
    WrongArguments("ADODB.Recordset");
  }
  const std::string sql = OptionalText(source);
  if (cursor) cursor->Close();
  auto opened = access->Connection()->OpenRecordset(sql, lock_type == kAdLockReadOnly);
  // A client-side cursor caching several records also sends the records
  // added to it that many at a time (see OdbcRecordset::SetBatchRows).
  if (cursor_location == kAdUseClient && cache_size > 1) {
    opened->SetBatchRows(static_cast<size_t>(cache_size));
  }
  cursor = std::move(opened);
}

void RecordsetHandle::SetCacheSize(int32_t value) {
  if (value < 1) throw std::invalid_argument("CacheSize must be at least 1.");
  cache_size = value;
}

// --- DAO databases and engines ---------------------------------------------------------------

Made DaoDatabaseHandle::OpenRecordset(const Utf8Text& name, const VARIANT& type,
                                      const VARIANT& options, const VARIANT& /*lock_edit*/) const {
  const int t = Optional(type, com::VT_I4, com::Variant::I4(kDbOpenDynaset)).get()->lVal;
  const int o = Optional(options, com::VT_I4, com::Variant::I4(0)).get()->lVal;
  std::shared_ptr<Cursor> cursor = db->OpenRecordset(name.bytes, t, o);
  return NewObject<RecordsetObject<false>, IEngineRecordset>(std::move(cursor), errors);
}

void DaoDatabaseHandle::Execute(const Utf8Text& query, const VARIANT& /*options*/) const {
  db->Execute(query.bytes);
}

Made DaoDatabaseHandle::CreateQueryDef(const VARIANT& name, const VARIANT& sql) const {
  auto query = std::make_shared<SqliteQuery>(db, OptionalText(name), OptionalText(sql));
  return NewObject<QueryDefObject, IDaoQueryDef>(std::move(query), errors, takes_lock_argument);
}

// --- Query definitions, commands and their parameters -----------------------------------------

Value ParameterHandle::GetValue() const { return {parameter->value}; }

void ParameterHandle::SetValue(const VARIANT& value) const {
  com::Variant copy;
  if (com::Failed(com::VariantCopyInd(copy.get(), &value))) throw std::bad_alloc();
  parameter->value = std::move(copy);
  parameter->assigned = true;
}

void ParameterHandle::SetType(int32_t type) const {
  if (type < 0 || type > INT16_MAX) WrongArguments("Parameter");
  parameter->type = static_cast<int16_t>(type);
}

size_t ParametersHandle::Find(const VARIANT& index) const {
  const VARIANT& given = com::Referenced(index);
  if (given.vt == com::VT_BSTR) {
    const std::string wanted = com::Utf16ToUtf8(com::Bstr::View(given.bstrVal));
    for (size_t k = 0; k < list->size(); ++k) {
      if (SameName((*list)[k]->name, wanted)) return k;
    }
  } else {
    com::Variant i;
    if (com::Succeeded(com::VariantChangeType(i.get(), &given, 0, com::VT_I4)) &&
        i.get()->lVal >= 0 && static_cast<size_t>(i.get()->lVal) < list->size()) {
      return static_cast<size_t>(i.get()->lVal);
    }
  }
  throw EngineError(kErrItemNotFound, "Parameters", "Item not found in this collection.");
}

Made ParametersHandle::Item(const VARIANT& index) const {
  return NewObject<ParameterObject, IEngineParameter>((*list)[Find(index)], errors);
}

void ParametersHandle::Append(IDispatch* object) const {
  if (fixed) {
    throw EngineError(kErrNotSupported, "Parameters",
                      "A query's parameters come from its SQL text.");
  }
  com::ComPtr<IParameterAccess> access;
  if (object == nullptr ||
      com::Failed(object->QueryInterface(IID_IParameterAccess, access.put_void()))) {
    WrongArguments("Parameters");
  }
  list->push_back(access->Data());
}

void ParametersHandle::Delete(const VARIANT& index) const {
  if (fixed) {
    throw EngineError(kErrNotSupported, "Parameters",
                      "A query's parameters come from its SQL text.");
  }
  list->erase(list->begin() + static_cast<std::ptrdiff_t>(Find(index)));
}

Made QueryDefHandle::Parameters() const {
  return NewObject<ParametersObject, IEngineParameters>(query->parameters(), errors,
                                                        /*fixed=*/true);
}

Made QueryDefHandle::OpenRecordset(const VARIANT& type, const VARIANT& options,
                                   const VARIANT& /*lock_edit*/) const {
  std::shared_ptr<Cursor> cursor =
      query->OpenRecordset(OptionalInt(type, kDbOpenDynaset), OptionalInt(options, 0));
  return NewObject<RecordsetObject<false>, IEngineRecordset>(std::move(cursor), errors);
}

AdoCommandObject::AdoCommandObject(com::Module& module) : EngineObject(module) {
  handle_.errors = std::make_shared<ErrorList>();
  handle_.errors->ado = true;
}

Value AdoCommandHandle::ActiveConnection() const {
  return {com::Variant::Dispatch(connection_object.get())};
}

void AdoCommandHandle::SetActiveConnection(const VARIANT& connection_or_text) {
  const VARIANT& given = com::Referenced(connection_or_text);
  com::ComPtr<IOdbcConnectionAccess> found;
  com::ComPtr<IDispatch> object;
  if (given.vt == com::VT_BSTR) {
    // A connection string: a connection of the command's own.
    auto made = com::Object<AdoConnectionObject>::Create(EnginesModule());
    errors = made->plain().errors;
    made->plain().Open({com::Utf16ToUtf8(com::Bstr::View(given.bstrVal))}, {}, {}, 0);
    found = com::ComPtr<IOdbcConnectionAccess>(static_cast<IOdbcConnectionAccess*>(made.get()));
    object = com::ComPtr<IDispatch>(static_cast<IAdoConnection*>(made.get()));
  } else if ((given.vt == com::VT_DISPATCH || given.vt == com::VT_UNKNOWN) &&
             given.punkVal != nullptr) {
    if (com::Failed(given.punkVal->QueryInterface(IID_IOdbcConnectionAccess, found.put_void())) ||
        com::Failed(given.punkVal->QueryInterface(com::IID_IDispatch, object.put_void()))) {
      WrongArguments("ADODB.Command");
    }
    errors = found->Errors();
  } else if (!IsMissing(given) && given.vt != com::VT_NULL && given.vt != com::VT_DISPATCH &&
             given.vt != com::VT_UNKNOWN) {
    WrongArguments("ADODB.Command");
  } else {
    // Nothing: the command lets go of its connection.
    errors = std::make_shared<ErrorList>();
    errors->ado = true;
  }
  connection_object = std::move(object);
  access = std::move(found);
}

void AdoCommandHandle::SetCommandType(int32_t value) {
  switch (value) {
    case kAdCmdText: case kAdCmdTable: case kAdCmdStoredProc: case kAdCmdUnknown:
    case kAdCmdFile: case kAdCmdTableDirect:
      type = value;
      return;
    default:
      WrongArguments("ADODB.Command");
  }
}

Made AdoCommandHandle::Parameters() const {
  return NewObject<ParametersObject, IEngineParameters>(parameters, errors, /*fixed=*/false);
}

Made AdoCommandHandle::CreateParameter(const VARIANT& name, const VARIANT& data_type,
                                       const VARIANT& direction, const VARIANT& size,
                                       const VARIANT& value) const {
  auto parameter = std::make_shared<Parameter>();
  parameter->name = OptionalText(name);
  const int32_t t = OptionalInt(data_type, 0);
  if (t < 0 || t > INT16_MAX) WrongArguments("ADODB.Command");
  parameter->type = static_cast<int16_t>(t);
  parameter->direction = OptionalInt(direction, 1);
  parameter->size = OptionalInt(size, 0);
  ParameterHandle handle{parameter, errors};
  if (!IsMissing(value)) handle.SetValue(value);
  return NewObject<ParameterObject, IEngineParameter>(std::move(parameter), errors);
}

namespace {

// The values of an Execute's Parameters argument: the elements of an array,
// or the one value given.
std::vector<com::Variant> ValuesOf(const VARIANT& values) {
  const VARIANT& given = com::Referenced(values);
  std::vector<com::Variant> out;
  com::SAFEARRAY* array = nullptr;
  if (given.vt == (com::VT_ARRAY | com::VT_VARIANT)) array = given.parray;
  if (given.vt == (com::VT_BYREF | com::VT_ARRAY | com::VT_VARIANT) && given.pparray != nullptr) {
    array = *given.pparray;
  }
  if (array == nullptr) {
    out.emplace_back(given);
    return out;
  }
  int32_t lower = 0, upper = -1;
  void* data = nullptr;
  if (com::SafeArrayGetDim(array) != 1 || com::Failed(com::SafeArrayGetLBound(array, 1, &lower)) ||
      com::Failed(com::SafeArrayGetUBound(array, 1, &upper)) ||
      com::Failed(com::SafeArrayAccessData(array, &data))) {
    WrongArguments("ADODB.Command");
  }
  const auto* items = static_cast<const VARIANT*>(data);
  for (int64_t i = 0; i <= static_cast<int64_t>(upper) - lower; ++i) out.emplace_back(items[i]);
  com::SafeArrayUnaccessData(array);
  return out;
}

}  // namespace

Made AdoCommandHandle::Execute(RecordCount records_affected, const VARIANT& values,
                               const VARIANT& options) const {
  std::shared_ptr<OdbcConnection> connection = access ? access->Connection() : nullptr;
  if (!connection || !connection->IsOpen()) {
    throw EngineError(kErrNoConnection, "ADODB.Command",
                      "The connection cannot be used to perform this operation. It is either "
                      "closed or invalid in this context.");
  }
  if (text.empty()) {
    throw EngineError(kErrArguments, "ADODB.Command",
                      "Command text was not set for the command object.");
  }
  const int32_t flags = OptionalInt(options, -1);
  constexpr int32_t kTypeBits =
      kAdCmdText | kAdCmdTable | kAdCmdStoredProc | kAdCmdUnknown | kAdCmdFile | kAdCmdTableDirect;
  const int32_t command_type = (flags != -1 && (flags & kTypeBits) != 0) ? flags & kTypeBits : type;
  std::string sql = text;
  if (command_type == kAdCmdTable || command_type == kAdCmdTableDirect) {
    sql = "SELECT * FROM " + text;
  } else if (command_type == kAdCmdStoredProc || command_type == kAdCmdFile) {
    throw EngineError(kErrNotSupported, "ADODB.Command",
                      "Stored procedures and files are not supported by this provider.");
  }
  ParameterList bound = *parameters;
  if (!IsMissing(values)) {
    std::vector<com::Variant> given = ValuesOf(values);
    for (size_t i = 0; i < given.size(); ++i) {
      auto parameter = std::make_shared<Parameter>(i < bound.size() ? *bound[i] : Parameter{});
      parameter->value = std::move(given[i]);
      parameter->assigned = true;
      if (i < bound.size()) {
        bound[i] = std::move(parameter);
      } else {
        bound.push_back(std::move(parameter));
      }
    }
  }
  OdbcConnection::CommandResult result = connection->ExecuteCommand(sql, bound);
  records_affected.Set(result.records_affected);
  if (flags != -1 && (flags & kAdExecuteNoRecords) != 0) return {};
  // A statement without rows still gives a recordset, a closed one.
  return NewObject<RecordsetObject<true>, IEngineRecordset>(
      std::shared_ptr<Cursor>(std::move(result.recordset)), errors);
}

namespace {

std::string PathOf(const Utf8Text& name, const VARIANT& connect) {
  std::string path = DatabasePathFromConnect(name.bytes, OptionalText(connect));
  if (path.empty()) throw EngineError(kErrInvalidPath, "DAO.DBEngine", "The path is not valid.");
  return path;
}

}  // namespace

std::shared_ptr<ErrorList> SharedDaoErrors(const DaoVersion& version) {
  static std::mutex mutex;
  static std::map<const DaoVersion*, std::shared_ptr<ErrorList>> lists;
  std::lock_guard lock(mutex);
  auto& list = lists[&version];
  if (!list) list = std::make_shared<ErrorList>();
  return list;
}

Made DaoEngineHandle::OpenDatabase(const Utf8Text& name, const VARIANT& /*exclusive*/,
                                   const VARIANT& read_only, const VARIANT& connect) const {
  const bool read_only_flag =
      Optional(read_only, com::VT_BOOL, com::Variant::Bool(false)).get()->boolVal != 0;
  return make_database(SqliteDatabase::Open(PathOf(name, connect), read_only_flag), errors);
}

Made DaoEngineHandle::CreateDatabase(const Utf8Text& name, const VARIANT& /*locale*/,
                                     const VARIANT& /*option*/) const {
  return make_database(SqliteDatabase::Open(PathOf(name, VARIANT{}), false, /*create=*/true),
                       errors);
}

Made DaoEngineHandle::Errors() const { return NewObject<ErrorsObject, IEngineErrors>(errors); }

Utf8Text DaoEngineHandle::Version() const {
  return {com::Utf16ToUtf8(version->version)};
}

// --- ADO connection ---------------------------------------------------------------------------

AdoConnectionObject::AdoConnectionObject(com::Module& module)
    : EngineObject(module), handle_{nullptr, std::make_shared<ErrorList>()} {
  handle_.errors->ado = true;
}

void AdoConnectionHandle::Open(const Utf8Text& connection_string, const Utf8Text& user,
                               const Utf8Text& password, int32_t /*options*/) {
  if (connection) connection->Close();
  connection.reset();
  connection = OdbcConnection::Open(connection_string.bytes, user.bytes, password.bytes);
}

void AdoConnectionHandle::Execute(const Utf8Text& command_text) const {
  if (!connection || !connection->IsOpen()) {
    throw EngineError(kErrObjectClosed, "ADODB.Connection",
                      "Operation is not allowed when the object is closed.");
  }
  connection->Execute(command_text.bytes);
}

Made AdoConnectionHandle::Errors() const { return NewObject<ErrorsObject, IEngineErrors>(errors); }

}  // namespace quillon::engines
