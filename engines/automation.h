// The engines' automation classes: DAO 3.6/3.5/3.0 engines with their
// databases over SQLite, the ADO connection over ODBC, and the recordset,
// field and error objects both share. Every member is one forwarding line
// to a plain handle below, which works on the classes of sqlite_engine.h
// and odbc_engine.h. A failure (an EngineError) fills the error collection
// of the engine or connection (shared by every object it made) and returns
// 0x800A0000 + number (DAO) or E_FAIL (ADO) with error information.
#ifndef QUILLON_ENGINES_AUTOMATION_H_
#define QUILLON_ENGINES_AUTOMATION_H_

#include <memory>
#include <string>
#include <vector>

#include "engines/cursor.h"
#include "engines/identities.h"
#include "engines/odbc_engine.h"
#include "engines/sqlite_engine.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/forward.h"
#include "quillon/component/object.h"

namespace quillon::engines {

using com::BSTR;
using com::HRESULT;
using com::IDispatch;
using com::VARIANT;
using com::VARIANT_BOOL;

com::Module& EnginesModule();

// The error collection of one engine or connection.
struct ErrorList {
  std::vector<ErrorRecord> records;
  bool ado = false;
};

// How the engines' failures leave a member: the error collection is
// replaced by the failure's records (unless `record` is off: reading the
// collection itself must not change it), and the code is 0x800A0000 + the
// first record's number for DAO, E_FAIL for ADO, with error information.
// The list is found through `errors` when the failure is reported, so a
// member that moves its object to another collection (an ADO recordset
// opened on a connection) reports into the new one.
class EngineConvention final : public com::ErrorConvention {
 public:
  EngineConvention(const std::shared_ptr<ErrorList>& errors, bool record = true)
      : errors_(errors), record_(record) {}
  HRESULT FromError(const Error& error) const override;
  HRESULT FromForeign(const ForeignError& error) const override;
  HRESULT FromInvalidArgument(const std::invalid_argument& error) const override;

 private:
  HRESULT Report(std::vector<ErrorRecord> records) const;
  const std::shared_ptr<ErrorList>& errors_;
  bool record_;
};

// Text the engines keep as UTF-8, whatever the process code page.
struct Utf8Text {
  std::string bytes;
};
Utf8Text In(BSTR text, com::forward_internal::Tag<Utf8Text>);
void Out(const Utf8Text& text, BSTR* out);

// A new automation object a member hands out (null for none).
struct Made {
  com::ComPtr<IDispatch> object;
};
void Out(const Made& made, IDispatch** out);

// Whether an optional argument was left out (or given as Empty).
inline bool IsMissing(const VARIANT& v) {
  const VARIANT& d = com::Referenced(v);
  return d.vt == com::VT_EMPTY || (d.vt == com::VT_ERROR && d.scode == com::DISP_E_PARAMNOTFOUND);
}

// A value a member hands out.
struct Value {
  com::Variant variant;
};
void Out(Value&& value, VARIANT* out);

// Where a member reports how many records it changed (an optional
// by-reference argument).
struct RecordCount {
  VARIANT* target = nullptr;
  void Set(int64_t count) const;
};
RecordCount In(VARIANT* target, com::forward_internal::Tag<RecordCount>);

// --- Interfaces (dispatch only; DISPIDs are this library's own) ----------------------

struct IEngineErrors : IDispatch {
  virtual HRESULT get_Count(int32_t* count) = 0;
  virtual HRESULT get_Item(VARIANT Index, IDispatch** item) = 0;
};
struct IEngineError : IDispatch {
  virtual HRESULT get_Number(int32_t* value) = 0;
  virtual HRESULT get_Source(BSTR* value) = 0;
  virtual HRESULT get_Description(BSTR* value) = 0;
  virtual HRESULT get_HelpFile(BSTR* value) = 0;
  virtual HRESULT get_HelpContext(int32_t* value) = 0;
};
struct IEngineFields : IDispatch {
  virtual HRESULT get_Count(int32_t* count) = 0;
  virtual HRESULT get_Item(VARIANT Index, IDispatch** item) = 0;
};
struct IEngineField : IDispatch {
  virtual HRESULT get_Name(BSTR* value) = 0;
  virtual HRESULT get_Type(int16_t* value) = 0;
  virtual HRESULT get_Size(int32_t* value) = 0;
  virtual HRESULT get_Required(VARIANT_BOOL* value) = 0;
  virtual HRESULT get_Value(VARIANT* value) = 0;
  virtual HRESULT put_Value(VARIANT value) = 0;
  virtual HRESULT get_DefinedSize(int32_t* value) = 0;
  virtual HRESULT get_Precision(int16_t* value) = 0;
  virtual HRESULT get_NumericScale(int16_t* value) = 0;
  virtual HRESULT get_Attributes(int32_t* value) = 0;
};
// DAO and ADO recordsets answer the same names; Open, CursorLocation and
// CacheSize serve ADO recordsets.
struct IEngineRecordset : IDispatch {
  virtual HRESULT get_BOF(VARIANT_BOOL* value) = 0;
  virtual HRESULT get_EOF(VARIANT_BOOL* value) = 0;
  virtual HRESULT MoveFirst() = 0;
  virtual HRESULT MoveNext() = 0;
  virtual HRESULT AddNew() = 0;
  virtual HRESULT Update(VARIANT First, VARIANT Second) = 0;
  virtual HRESULT get_Fields(IDispatch** fields) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT Open(VARIANT Source, VARIANT ActiveConnection, int32_t CursorType,
                       int32_t LockType, int32_t Options) = 0;
  virtual HRESULT get_CursorLocation(int32_t* value) = 0;
  virtual HRESULT put_CursorLocation(int32_t value) = 0;
  virtual HRESULT get_CacheSize(int32_t* value) = 0;
  virtual HRESULT put_CacheSize(int32_t value) = 0;
};
struct IDaoEngine : IDispatch {
  virtual HRESULT OpenDatabase(BSTR Name, VARIANT Exclusive, VARIANT ReadOnly, VARIANT Connect,
                               IDispatch** database) = 0;
  virtual HRESULT CreateDatabase(BSTR Name, VARIANT Locale, VARIANT Option,
                                 IDispatch** database) = 0;
  virtual HRESULT get_Errors(IDispatch** errors) = 0;
  virtual HRESULT get_Version(BSTR* value) = 0;
};
struct IDaoDatabase : IDispatch {
  virtual HRESULT OpenRecordset(BSTR Name, VARIANT Type, VARIANT Options, VARIANT LockEdit,
                                IDispatch** recordset) = 0;
  virtual HRESULT Execute(BSTR Query, VARIANT Options) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT get_Name(BSTR* value) = 0;
  virtual HRESULT CreateQueryDef(VARIANT Name, VARIANT SQLText, IDispatch** querydef) = 0;
};
// A parameter of a query definition or a command; Value is the default
// member.
struct IEngineParameter : IDispatch {
  virtual HRESULT get_Value(VARIANT* value) = 0;
  virtual HRESULT put_Value(VARIANT value) = 0;
  virtual HRESULT get_Name(BSTR* value) = 0;
  virtual HRESULT put_Name(BSTR value) = 0;
  virtual HRESULT get_Type(int32_t* value) = 0;
  virtual HRESULT put_Type(int32_t value) = 0;
  virtual HRESULT get_Direction(int32_t* value) = 0;
  virtual HRESULT put_Direction(int32_t value) = 0;
  virtual HRESULT get_Size(int32_t* value) = 0;
  virtual HRESULT put_Size(int32_t value) = 0;
};
struct IEngineParameters : IDispatch {
  virtual HRESULT get_Item(VARIANT Index, IDispatch** item) = 0;
  virtual HRESULT get_Count(int32_t* count) = 0;
  virtual HRESULT Append(IDispatch* Object) = 0;
  virtual HRESULT Delete(VARIANT Index) = 0;
};
struct IDaoQueryDef : IDispatch {
  virtual HRESULT get_Name(BSTR* value) = 0;
  virtual HRESULT get_SQL(BSTR* value) = 0;
  virtual HRESULT put_SQL(BSTR value) = 0;
  virtual HRESULT get_Parameters(IDispatch** parameters) = 0;
  virtual HRESULT Execute(VARIANT Options) = 0;
  virtual HRESULT OpenRecordset(VARIANT Type, VARIANT Options, VARIANT LockEdit,
                                IDispatch** recordset) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT get_RecordsAffected(int32_t* value) = 0;
};
struct IAdoCommand : IDispatch {
  virtual HRESULT get_ActiveConnection(VARIANT* value) = 0;
  virtual HRESULT put_ActiveConnection(VARIANT value) = 0;
  virtual HRESULT get_CommandText(BSTR* value) = 0;
  virtual HRESULT put_CommandText(BSTR value) = 0;
  virtual HRESULT get_CommandType(int32_t* value) = 0;
  virtual HRESULT put_CommandType(int32_t value) = 0;
  virtual HRESULT get_Parameters(IDispatch** parameters) = 0;
  virtual HRESULT CreateParameter(VARIANT Name, VARIANT Type, VARIANT Direction, VARIANT Size,
                                  VARIANT Value, IDispatch** parameter) = 0;
  virtual HRESULT Execute(VARIANT* RecordsAffected, VARIANT Parameters, VARIANT Options,
                          IDispatch** recordset) = 0;
};
struct IAdoConnection : IDispatch {
  virtual HRESULT Open(BSTR ConnectionString, BSTR UserID, BSTR Password, int32_t Options) = 0;
  virtual HRESULT Execute(BSTR CommandText) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT get_Errors(IDispatch** errors) = 0;
  virtual HRESULT get_State(int32_t* value) = 0;
};

// How an ADO recordset finds the ODBC connection behind a connection
// object it is given (both live in this library).
inline constexpr com::IID IID_IOdbcConnectionAccess =
    com::Guid("{6B1E2D40-7C1A-4F0E-9B55-3E0C2A9D7F01}");
struct IOdbcConnectionAccess : com::IUnknown {
  virtual std::shared_ptr<OdbcConnection> Connection() = 0;
  virtual std::shared_ptr<ErrorList> Errors() = 0;
};

// How a parameters collection finds the data behind a parameter object
// appended to it (both live in this library).
inline constexpr com::IID IID_IParameterAccess =
    com::Guid("{6B1E2D40-7C1A-4F0E-9B55-3E0C2A9D7F02}");
struct IParameterAccess : com::IUnknown {
  virtual std::shared_ptr<Parameter> Data() = 0;
};

inline constexpr auto kErrorsMemberList = com::Members<IEngineErrors>(
    com::Get<&IEngineErrors::get_Count>(1, u"Count"),
    com::Get<&IEngineErrors::get_Item>(0, u"Item(Index)"));
inline constexpr com::InterfaceTable<IEngineErrors> kErrorsMembers{u"Errors", &com::IID_IDispatch,
                                                                   kErrorsMemberList};

inline constexpr auto kErrorMemberList = com::Members<IEngineError>(
    com::Get<&IEngineError::get_Number>(1, u"Number"),
    com::Get<&IEngineError::get_Source>(2, u"Source"),
    com::Get<&IEngineError::get_Description>(0, u"Description"),
    com::Get<&IEngineError::get_HelpFile>(3, u"HelpFile"),
    com::Get<&IEngineError::get_HelpContext>(4, u"HelpContext"));
inline constexpr com::InterfaceTable<IEngineError> kErrorMembers{u"Error", &com::IID_IDispatch,
                                                                 kErrorMemberList};

inline constexpr auto kFieldsMemberList = com::Members<IEngineFields>(
    com::Get<&IEngineFields::get_Count>(1, u"Count"),
    com::Get<&IEngineFields::get_Item>(0, u"Item(Index)"));
inline constexpr com::InterfaceTable<IEngineFields> kFieldsMembers{u"Fields", &com::IID_IDispatch,
                                                                   kFieldsMemberList};

inline constexpr auto kFieldMemberList = com::Members<IEngineField>(
    com::Get<&IEngineField::get_Name>(1, u"Name"),
    com::Get<&IEngineField::get_Type>(2, u"Type"),
    com::Get<&IEngineField::get_Size>(3, u"Size"),
    com::Get<&IEngineField::get_Required>(4, u"Required"),
    com::Get<&IEngineField::get_Value>(0, u"Value"),
    com::Put<&IEngineField::put_Value>(0, u"Value"),
    com::Get<&IEngineField::get_DefinedSize>(5, u"DefinedSize"),
    com::Get<&IEngineField::get_Precision>(6, u"Precision"),
    com::Get<&IEngineField::get_NumericScale>(7, u"NumericScale"),
    com::Get<&IEngineField::get_Attributes>(8, u"Attributes"));
inline constexpr com::InterfaceTable<IEngineField> kFieldMembers{u"Field", &com::IID_IDispatch,
                                                                 kFieldMemberList};

inline constexpr auto kRecordsetMemberList = com::Members<IEngineRecordset>(
    com::Get<&IEngineRecordset::get_BOF>(1, u"BOF"),
    com::Get<&IEngineRecordset::get_EOF>(2, u"EOF"),
    com::Method<&IEngineRecordset::MoveFirst>(3, u"MoveFirst"),
    com::Method<&IEngineRecordset::MoveNext>(4, u"MoveNext"),
    com::Method<&IEngineRecordset::AddNew>(5, u"AddNew"),
    com::Method<&IEngineRecordset::Update>(6, u"Update(First, Second)", {.required = 0}),
    com::Get<&IEngineRecordset::get_Fields>(0, u"Fields"),
    com::Method<&IEngineRecordset::Close>(7, u"Close"),
    com::Method<&IEngineRecordset::Open>(
        8, u"Open(Source, ActiveConnection, CursorType, LockType, Options)", {.required = 0}),
    com::Get<&IEngineRecordset::get_CursorLocation>(9, u"CursorLocation"),
    com::Put<&IEngineRecordset::put_CursorLocation>(9, u"CursorLocation"),
    com::Get<&IEngineRecordset::get_CacheSize>(10, u"CacheSize"),
    com::Put<&IEngineRecordset::put_CacheSize>(10, u"CacheSize"));
inline constexpr com::InterfaceTable<IEngineRecordset> kRecordsetMembers{
    u"Recordset", &com::IID_IDispatch, kRecordsetMemberList};

inline constexpr auto kDaoEngineMemberList = com::Members<IDaoEngine>(
    com::Function<&IDaoEngine::OpenDatabase>(1, u"OpenDatabase(Name, Exclusive, ReadOnly, Connect)",
                                             {.required = 1}),
    com::Function<&IDaoEngine::CreateDatabase>(2, u"CreateDatabase(Name, Locale, Option)",
                                               {.required = 1}),
    com::Get<&IDaoEngine::get_Errors>(3, u"Errors"),
    com::Get<&IDaoEngine::get_Version>(4, u"Version"));
inline constexpr com::InterfaceTable<IDaoEngine> kDaoEngineMembers{
    u"_DBEngine", &ids::IID_DaoEngine, kDaoEngineMemberList};

inline constexpr auto kDaoDatabaseMemberList = com::Members<IDaoDatabase>(
    com::Function<&IDaoDatabase::OpenRecordset>(1, u"OpenRecordset(Name, Type, Options, LockEdit)",
                                                {.required = 1}),
    com::Method<&IDaoDatabase::Execute>(2, u"Execute(Query, Options)", {.required = 1}),
    com::Method<&IDaoDatabase::Close>(3, u"Close"),
    com::Get<&IDaoDatabase::get_Name>(0, u"Name"),
    com::Function<&IDaoDatabase::CreateQueryDef>(4, u"CreateQueryDef(Name, SQLText)",
                                                 {.required = 0}));
inline constexpr com::InterfaceTable<IDaoDatabase> kDaoDatabaseMembers{
    u"Database", &ids::IID_DaoDatabase, kDaoDatabaseMemberList};

inline constexpr auto kParameterMemberList = com::Members<IEngineParameter>(
    com::Get<&IEngineParameter::get_Value>(0, u"Value"),
    com::Put<&IEngineParameter::put_Value>(0, u"Value"),
    com::Get<&IEngineParameter::get_Name>(1, u"Name"),
    com::Put<&IEngineParameter::put_Name>(1, u"Name"),
    com::Get<&IEngineParameter::get_Type>(2, u"Type"),
    com::Put<&IEngineParameter::put_Type>(2, u"Type"),
    com::Get<&IEngineParameter::get_Direction>(3, u"Direction"),
    com::Put<&IEngineParameter::put_Direction>(3, u"Direction"),
    com::Get<&IEngineParameter::get_Size>(4, u"Size"),
    com::Put<&IEngineParameter::put_Size>(4, u"Size"));
inline constexpr com::InterfaceTable<IEngineParameter> kParameterMembers{
    u"Parameter", &com::IID_IDispatch, kParameterMemberList};

inline constexpr auto kParametersMemberList = com::Members<IEngineParameters>(
    com::Get<&IEngineParameters::get_Item>(0, u"Item(Index)"),
    com::Get<&IEngineParameters::get_Count>(1, u"Count"),
    com::Method<&IEngineParameters::Append>(2, u"Append(Object)"),
    com::Method<&IEngineParameters::Delete>(3, u"Delete(Index)"));
inline constexpr com::InterfaceTable<IEngineParameters> kParametersMembers{
    u"Parameters", &com::IID_IDispatch, kParametersMemberList};

inline constexpr auto kQueryDefMemberList = com::Members<IDaoQueryDef>(
    com::Get<&IDaoQueryDef::get_Name>(1, u"Name"),
    com::Get<&IDaoQueryDef::get_SQL>(2, u"SQL"),
    com::Put<&IDaoQueryDef::put_SQL>(2, u"SQL"),
    com::Get<&IDaoQueryDef::get_Parameters>(3, u"Parameters"),
    com::Method<&IDaoQueryDef::Execute>(4, u"Execute(Options)", {.required = 0}),
    com::Function<&IDaoQueryDef::OpenRecordset>(5, u"OpenRecordset(Type, Options, LockEdit)",
                                                {.required = 0}),
    com::Method<&IDaoQueryDef::Close>(6, u"Close"),
    com::Get<&IDaoQueryDef::get_RecordsAffected>(7, u"RecordsAffected"));
inline constexpr com::InterfaceTable<IDaoQueryDef> kQueryDefMembers{
    u"QueryDef", &com::IID_IDispatch, kQueryDefMemberList};

inline constexpr auto kAdoCommandMemberList = com::Members<IAdoCommand>(
    com::Get<&IAdoCommand::get_ActiveConnection>(1, u"ActiveConnection"),
    com::Put<&IAdoCommand::put_ActiveConnection>(1, u"ActiveConnection"),
    com::Get<&IAdoCommand::get_CommandText>(2, u"CommandText"),
    com::Put<&IAdoCommand::put_CommandText>(2, u"CommandText"),
    com::Get<&IAdoCommand::get_CommandType>(3, u"CommandType"),
    com::Put<&IAdoCommand::put_CommandType>(3, u"CommandType"),
    com::Get<&IAdoCommand::get_Parameters>(4, u"Parameters"),
    com::Function<&IAdoCommand::CreateParameter>(
        5, u"CreateParameter(Name, Type, Direction, Size, Value)", {.required = 0}),
    com::Function<&IAdoCommand::Execute>(6, u"Execute(RecordsAffected, Parameters, Options)",
                                         {.required = 0}));
inline constexpr com::InterfaceTable<IAdoCommand> kAdoCommandMembers{
    u"_Command", &com::IID_IDispatch, kAdoCommandMemberList};

inline constexpr auto kAdoConnectionMemberList = com::Members<IAdoConnection>(
    com::Method<&IAdoConnection::Open>(1, u"Open(ConnectionString, UserID, Password, Options)",
                                       {.required = 0}),
    com::Method<&IAdoConnection::Execute>(2, u"Execute(CommandText)"),
    com::Method<&IAdoConnection::Close>(3, u"Close"),
    com::Get<&IAdoConnection::get_Errors>(4, u"Errors"),
    com::Get<&IAdoConnection::get_State>(5, u"State"));
inline constexpr com::InterfaceTable<IAdoConnection> kAdoConnectionMembers{
    u"_Connection", &ids::IID_AdoConnection, kAdoConnectionMemberList};

// --- Plain handles: what the objects forward to --------------------------------------------

class ErrorView {
 public:
  ErrorView(ErrorRecord record, bool ado) : record_(std::move(record)), ado_(ado) {}
  int32_t Number() const { return record_.number; }
  Utf8Text Source() const { return {record_.source}; }
  Utf8Text Description() const { return {record_.description}; }
  Utf8Text HelpFile() const { return {}; }
  int32_t HelpContext() const;

 private:
  ErrorRecord record_;
  bool ado_;
};

struct ErrorsHandle {
  std::shared_ptr<ErrorList> errors;
  int32_t Count() const { return static_cast<int32_t>(errors->records.size()); }
  Made Item(const VARIANT& index) const;
};

struct FieldsHandle {
  std::shared_ptr<Cursor> cursor;
  std::shared_ptr<ErrorList> errors;
  int32_t Count() const { return static_cast<int32_t>(cursor->fields().size()); }
  // By position or by name (letter case aside); 3265 when there is none.
  Made Item(const VARIANT& index) const;
};

struct FieldHandle {
  std::shared_ptr<Cursor> cursor;
  size_t index;
  std::shared_ptr<ErrorList> errors;
  const FieldDescription& field() const { return cursor->fields()[index]; }
  Utf8Text Name() const { return {field().name}; }
  int16_t Type() const { return field().type; }
  int32_t Size() const { return field().size; }
  bool Required() const { return field().required; }
  Value GetValue() const { return {cursor->GetValue(index)}; }
  void SetValue(const VARIANT& value) const { cursor->SetValue(index, value); }
  int32_t DefinedSize() const { return field().size; }
  int16_t Precision() const { return static_cast<int16_t>(field().precision); }
  int16_t NumericScale() const { return static_cast<int16_t>(field().scale); }
  int32_t Attributes() const { return field().attributes; }
};

struct RecordsetHandle {
  std::shared_ptr<Cursor> cursor;
  std::shared_ptr<ErrorList> errors;
  int32_t cursor_location = 2;  // server side until told otherwise
  int32_t cache_size = 1;

  Cursor& open() const;  // 3704 when closed
  bool Bof() const { return open().Bof(); }
  bool Eof() const { return open().Eof(); }
  void MoveFirst() const { open().MoveFirst(); }
  void MoveNext() const { open().MoveNext(); }
  void AddNew() const { open().AddNew(); }
  void Update(const VARIANT& /*first*/, const VARIANT& /*second*/) const { open().Update(); }
  Made Fields() const;
  void Close() const {
    if (cursor) cursor->Close();
  }
  // ADO: opens `source` on the connection object given.
  void Open(const VARIANT& source, const VARIANT& active_connection, int32_t cursor_type,
            int32_t lock_type, int32_t options);
  int32_t CursorLocation() const { return cursor_location; }
  void SetCursorLocation(int32_t value) { cursor_location = value; }
  int32_t CacheSize() const { return cache_size; }
  void SetCacheSize(int32_t value);
};

// The identities of one DAO version.
struct DaoVersion {
  const com::IID* engine_iid;
  const com::IID* database_iid;
  const char16_t* version;
  bool takes_lock_argument;
};

struct DaoDatabaseHandle {
  std::shared_ptr<SqliteDatabase> db;
  std::shared_ptr<ErrorList> errors;
  bool takes_lock_argument = true;
  Made OpenRecordset(const Utf8Text& name, const VARIANT& type, const VARIANT& options,
                     const VARIANT& lock_edit) const;
  void Execute(const Utf8Text& query, const VARIANT& options) const;
  void Close() const { db->Close(); }
  Utf8Text Name() const { return {db->path()}; }
  // A query definition of this database (kept with the object, not in the
  // file).
  Made CreateQueryDef(const VARIANT& name, const VARIANT& sql) const;
};

struct ParameterHandle {
  std::shared_ptr<Parameter> parameter;
  std::shared_ptr<ErrorList> errors;
  Value GetValue() const;
  void SetValue(const VARIANT& value) const;
  Utf8Text Name() const { return {parameter->name}; }
  void SetName(const Utf8Text& name) const { parameter->name = name.bytes; }
  int32_t Type() const { return parameter->type; }
  void SetType(int32_t type) const;
  int32_t Direction() const { return parameter->direction; }
  void SetDirection(int32_t direction) const { parameter->direction = direction; }
  int32_t Size() const { return parameter->size; }
  void SetSize(int32_t size) const { parameter->size = size; }
};

struct ParametersHandle {
  std::shared_ptr<ParameterList> list;
  std::shared_ptr<ErrorList> errors;
  bool fixed = false;  // a query's parameters come from its text
  int32_t Count() const { return static_cast<int32_t>(list->size()); }
  // By position or by name (letter case aside); 3265 when there is none.
  Made Item(const VARIANT& index) const;
  void Append(IDispatch* object) const;
  void Delete(const VARIANT& index) const;

 private:
  size_t Find(const VARIANT& index) const;
};

struct QueryDefHandle {
  std::shared_ptr<SqliteQuery> query;
  std::shared_ptr<ErrorList> errors;
  Utf8Text Name() const { return {query->name()}; }
  Utf8Text Sql() const { return {query->sql()}; }
  void SetSql(const Utf8Text& sql) const { query->SetSql(sql.bytes); }
  Made Parameters() const;
  void Execute(const VARIANT& /*options*/) const { query->Execute(); }
  Made OpenRecordset(const VARIANT& type, const VARIANT& options, const VARIANT& lock_edit) const;
  void Close() const {}
  int32_t RecordsAffected() const { return static_cast<int32_t>(query->records_affected()); }
};

struct AdoCommandHandle {
  com::ComPtr<IDispatch> connection_object;
  com::ComPtr<IOdbcConnectionAccess> access;
  std::shared_ptr<ErrorList> errors;  // the connection's, once there is one
  std::string text;
  int32_t type = 8;  // adCmdUnknown
  std::shared_ptr<ParameterList> parameters = std::make_shared<ParameterList>();

  Value ActiveConnection() const;
  // A connection object of this library, or a connection string that
  // opens one of the command's own.
  void SetActiveConnection(const VARIANT& connection_or_text);
  Utf8Text CommandText() const { return {text}; }
  void SetCommandText(const Utf8Text& value) { text = value.bytes; }
  int32_t CommandType() const { return type; }
  void SetCommandType(int32_t value);
  Made Parameters() const;
  Made CreateParameter(const VARIANT& name, const VARIANT& data_type, const VARIANT& direction,
                       const VARIANT& size, const VARIANT& value) const;
  // Runs the text with its ? markers bound to the parameters in order (or
  // to the values of an array given as `values`). A statement with rows
  // gives an open read-only recordset, any other a closed one, or nothing
  // with adExecuteNoRecords.
  Made Execute(RecordCount records_affected, const VARIANT& values, const VARIANT& options) const;
};

struct DaoEngineHandle {
  const DaoVersion* version;
  std::shared_ptr<ErrorList> errors;
  // Wraps a database in the version's database class.
  Made (*make_database)(std::shared_ptr<SqliteDatabase> db, std::shared_ptr<ErrorList> errors);

  Made OpenDatabase(const Utf8Text& name, const VARIANT& exclusive, const VARIANT& read_only,
                    const VARIANT& connect) const;
  Made CreateDatabase(const Utf8Text& name, const VARIANT& locale, const VARIANT& option) const;
  Made Errors() const;
  Utf8Text Version() const;
};

struct AdoConnectionHandle {
  std::shared_ptr<OdbcConnection> connection;
  std::shared_ptr<ErrorList> errors;
  void Open(const Utf8Text& connection_string, const Utf8Text& user, const Utf8Text& password,
            int32_t options);
  void Execute(const Utf8Text& command_text) const;
  void Close() const {
    if (connection) connection->Close();
  }
  Made Errors() const;
  int32_t State() const { return connection && connection->IsOpen() ? 1 : 0; }
};

// --- Objects -------------------------------------------------------------------------------

// What every object of the library shares: IDispatch over its table, the
// engine's error convention and forwarding to its plain handle.
template <class Self, class I, const com::InterfaceTable<I>& kTable>
class EngineObject : public com::ObjectBase,
                     public com::DispatchImpl<I, kTable>,
                     public com::Forwarding<Self> {
 public:
  EngineConvention Convention() {
    return EngineConvention(static_cast<Self*>(this)->plain().errors);
  }

 protected:
  explicit EngineObject(com::Module& module) : ObjectBase(module) {}
};

class ErrorsObject : public EngineObject<ErrorsObject, IEngineErrors, kErrorsMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ErrorsObject, IEngineErrors>(com::IID_IDispatch)};
  ErrorsObject(com::Module& module, std::shared_ptr<ErrorList> errors)
      : EngineObject(module), handle_{std::move(errors)} {}
  ErrorsHandle& plain() { return handle_; }
  // Reading the collection never replaces it.
  EngineConvention Convention() { return EngineConvention(handle_.errors, /*record=*/false); }

  HRESULT get_Count(int32_t* v) override { return Forward<&ErrorsHandle::Count>(v); }
  HRESULT get_Item(VARIANT Index, IDispatch** v) override {
    return Forward<&ErrorsHandle::Item>(Index, v);
  }

 private:
  ErrorsHandle handle_;
};

class ErrorObject : public EngineObject<ErrorObject, IEngineError, kErrorMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ErrorObject, IEngineError>(com::IID_IDispatch)};
  ErrorObject(com::Module& module, ErrorRecord record, bool ado)
      : EngineObject(module), view_(std::move(record), ado) {}
  ErrorView& plain() { return view_; }
  EngineConvention Convention() { return EngineConvention(no_errors_, /*record=*/false); }

  HRESULT get_Number(int32_t* v) override { return Forward<&ErrorView::Number>(v); }
  HRESULT get_Source(BSTR* v) override { return Forward<&ErrorView::Source>(v); }
  HRESULT get_Description(BSTR* v) override { return Forward<&ErrorView::Description>(v); }
  HRESULT get_HelpFile(BSTR* v) override { return Forward<&ErrorView::HelpFile>(v); }
  HRESULT get_HelpContext(int32_t* v) override { return Forward<&ErrorView::HelpContext>(v); }

 private:
  ErrorView view_;
  std::shared_ptr<ErrorList> no_errors_;
};

class FieldsObject : public EngineObject<FieldsObject, IEngineFields, kFieldsMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<FieldsObject, IEngineFields>(com::IID_IDispatch)};
  FieldsObject(com::Module& module, std::shared_ptr<Cursor> cursor,
               std::shared_ptr<ErrorList> errors)
      : EngineObject(module), handle_{std::move(cursor), std::move(errors)} {}
  FieldsHandle& plain() { return handle_; }

  HRESULT get_Count(int32_t* v) override { return Forward<&FieldsHandle::Count>(v); }
  HRESULT get_Item(VARIANT Index, IDispatch** v) override {
    return Forward<&FieldsHandle::Item>(Index, v);
  }

 private:
  FieldsHandle handle_;
};

class FieldObject : public EngineObject<FieldObject, IEngineField, kFieldMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<FieldObject, IEngineField>(com::IID_IDispatch)};
  FieldObject(com::Module& module, std::shared_ptr<Cursor> cursor, size_t index,
              std::shared_ptr<ErrorList> errors)
      : EngineObject(module), handle_{std::move(cursor), index, std::move(errors)} {}
  FieldHandle& plain() { return handle_; }

  HRESULT get_Name(BSTR* v) override { return Forward<&FieldHandle::Name>(v); }
  HRESULT get_Type(int16_t* v) override { return Forward<&FieldHandle::Type>(v); }
  HRESULT get_Size(int32_t* v) override { return Forward<&FieldHandle::Size>(v); }
  HRESULT get_Required(VARIANT_BOOL* v) override { return Forward<&FieldHandle::Required>(v); }
  HRESULT get_Value(VARIANT* v) override { return Forward<&FieldHandle::GetValue>(v); }
  HRESULT put_Value(VARIANT v) override { return Forward<&FieldHandle::SetValue>(v); }
  HRESULT get_DefinedSize(int32_t* v) override { return Forward<&FieldHandle::DefinedSize>(v); }
  HRESULT get_Precision(int16_t* v) override { return Forward<&FieldHandle::Precision>(v); }
  HRESULT get_NumericScale(int16_t* v) override { return Forward<&FieldHandle::NumericScale>(v); }
  HRESULT get_Attributes(int32_t* v) override { return Forward<&FieldHandle::Attributes>(v); }

 private:
  FieldHandle handle_;
};

// A DAO recordset (made by OpenRecordset) or an ADO one (created by
// class); only the interfaces they answer differ.
template <bool kAdo>
class RecordsetObject
    : public EngineObject<RecordsetObject<kAdo>, IEngineRecordset, kRecordsetMembers> {
  using Base = EngineObject<RecordsetObject<kAdo>, IEngineRecordset, kRecordsetMembers>;
  using H = RecordsetHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<RecordsetObject, IEngineRecordset>(kAdo ? ids::IID_AdoRecordset
                                                         : com::IID_IDispatch),
      com::Entry<RecordsetObject, IEngineRecordset>(com::IID_IDispatch)};
  explicit RecordsetObject(com::Module& module)
      : Base(module), handle_{nullptr, std::make_shared<ErrorList>()} {}
  RecordsetObject(com::Module& module, std::shared_ptr<Cursor> cursor,
                  std::shared_ptr<ErrorList> errors)
      : Base(module), handle_{std::move(cursor), std::move(errors)} {}
  RecordsetHandle& plain() { return handle_; }

  HRESULT get_BOF(VARIANT_BOOL* v) override { return this->template Forward<&H::Bof>(v); }
  HRESULT get_EOF(VARIANT_BOOL* v) override { return this->template Forward<&H::Eof>(v); }
  HRESULT MoveFirst() override { return this->template Forward<&H::MoveFirst>(); }
  HRESULT MoveNext() override { return this->template Forward<&H::MoveNext>(); }
  HRESULT AddNew() override { return this->template Forward<&H::AddNew>(); }
  HRESULT Update(VARIANT First, VARIANT Second) override {
    return this->template Forward<&H::Update>(First, Second);
  }
  HRESULT get_Fields(IDispatch** v) override { return this->template Forward<&H::Fields>(v); }
  HRESULT Close() override { return this->template Forward<&H::Close>(); }
  HRESULT Open(VARIANT Source, VARIANT ActiveConnection, int32_t CursorType, int32_t LockType,
               int32_t Options) override {
    return this->template Forward<&H::Open>(Source, ActiveConnection, CursorType, LockType,
                                            Options);
  }
  HRESULT get_CursorLocation(int32_t* v) override {
    return this->template Forward<&H::CursorLocation>(v);
  }
  HRESULT put_CursorLocation(int32_t v) override {
    return this->template Forward<&H::SetCursorLocation>(v);
  }
  HRESULT get_CacheSize(int32_t* v) override { return this->template Forward<&H::CacheSize>(v); }
  HRESULT put_CacheSize(int32_t v) override { return this->template Forward<&H::SetCacheSize>(v); }

 private:
  RecordsetHandle handle_;
};

template <const DaoVersion& kVersion>
class DaoDatabaseObject
    : public EngineObject<DaoDatabaseObject<kVersion>, IDaoDatabase, kDaoDatabaseMembers> {
  using Base = EngineObject<DaoDatabaseObject<kVersion>, IDaoDatabase, kDaoDatabaseMembers>;
  using H = DaoDatabaseHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<DaoDatabaseObject, IDaoDatabase>(*kVersion.database_iid),
      com::Entry<DaoDatabaseObject, IDaoDatabase>(com::IID_IDispatch)};
  DaoDatabaseObject(com::Module& module, std::shared_ptr<SqliteDatabase> db,
                    std::shared_ptr<ErrorList> errors)
      : Base(module), handle_{std::move(db), std::move(errors), kVersion.takes_lock_argument} {}
  DaoDatabaseHandle& plain() { return handle_; }

  HRESULT OpenRecordset(BSTR Name, VARIANT Type, VARIANT Options, VARIANT LockEdit,
                        IDispatch** v) override {
    // DAO 3.0's OpenRecordset has no lock argument.
    if (!kVersion.takes_lock_argument && !IsMissing(LockEdit)) {
      return com::DISP_E_BADPARAMCOUNT;
    }
    return this->template Forward<&H::OpenRecordset>(Name, Type, Options, LockEdit, v);
  }
  HRESULT Execute(BSTR Query, VARIANT Options) override {
    return this->template Forward<&H::Execute>(Query, Options);
  }
  HRESULT Close() override { return this->template Forward<&H::Close>(); }
  HRESULT get_Name(BSTR* v) override { return this->template Forward<&H::Name>(v); }
  HRESULT CreateQueryDef(VARIANT Name, VARIANT SQLText, IDispatch** v) override {
    return this->template Forward<&H::CreateQueryDef>(Name, SQLText, v);
  }

 private:
  DaoDatabaseHandle handle_;
};

class ParameterObject : public EngineObject<ParameterObject, IEngineParameter, kParameterMembers>,
                        public IParameterAccess {
  using H = ParameterHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ParameterObject, IEngineParameter>(com::IID_IDispatch),
      com::Entry<ParameterObject, IParameterAccess>(IID_IParameterAccess)};
  ParameterObject(com::Module& module, std::shared_ptr<Parameter> parameter,
                  std::shared_ptr<ErrorList> errors)
      : EngineObject(module), handle_{std::move(parameter), std::move(errors)} {}
  ParameterHandle& plain() { return handle_; }

  HRESULT get_Value(VARIANT* v) override { return Forward<&H::GetValue>(v); }
  HRESULT put_Value(VARIANT v) override { return Forward<&H::SetValue>(v); }
  HRESULT get_Name(BSTR* v) override { return Forward<&H::Name>(v); }
  HRESULT put_Name(BSTR v) override { return Forward<&H::SetName>(v); }
  HRESULT get_Type(int32_t* v) override { return Forward<&H::Type>(v); }
  HRESULT put_Type(int32_t v) override { return Forward<&H::SetType>(v); }
  HRESULT get_Direction(int32_t* v) override { return Forward<&H::Direction>(v); }
  HRESULT put_Direction(int32_t v) override { return Forward<&H::SetDirection>(v); }
  HRESULT get_Size(int32_t* v) override { return Forward<&H::Size>(v); }
  HRESULT put_Size(int32_t v) override { return Forward<&H::SetSize>(v); }
  std::shared_ptr<Parameter> Data() override { return handle_.parameter; }

 private:
  ParameterHandle handle_;
};

class ParametersObject
    : public EngineObject<ParametersObject, IEngineParameters, kParametersMembers> {
  using H = ParametersHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ParametersObject, IEngineParameters>(com::IID_IDispatch)};
  ParametersObject(com::Module& module, std::shared_ptr<ParameterList> list,
                   std::shared_ptr<ErrorList> errors, bool fixed)
      : EngineObject(module), handle_{std::move(list), std::move(errors), fixed} {}
  ParametersHandle& plain() { return handle_; }

  HRESULT get_Item(VARIANT Index, IDispatch** v) override { return Forward<&H::Item>(Index, v); }
  HRESULT get_Count(int32_t* v) override { return Forward<&H::Count>(v); }
  HRESULT Append(IDispatch* Object) override { return Forward<&H::Append>(Object); }
  HRESULT Delete(VARIANT Index) override { return Forward<&H::Delete>(Index); }

 private:
  ParametersHandle handle_;
};

// A DAO query definition; version 3.0's OpenRecordset has no lock argument.
class QueryDefObject : public EngineObject<QueryDefObject, IDaoQueryDef, kQueryDefMembers> {
  using H = QueryDefHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<QueryDefObject, IDaoQueryDef>(com::IID_IDispatch)};
  QueryDefObject(com::Module& module, std::shared_ptr<SqliteQuery> query,
                 std::shared_ptr<ErrorList> errors, bool takes_lock_argument)
      : EngineObject(module),
        handle_{std::move(query), std::move(errors)},
        takes_lock_argument_(takes_lock_argument) {}
  QueryDefHandle& plain() { return handle_; }

  HRESULT get_Name(BSTR* v) override { return Forward<&H::Name>(v); }
  HRESULT get_SQL(BSTR* v) override { return Forward<&H::Sql>(v); }
  HRESULT put_SQL(BSTR v) override { return Forward<&H::SetSql>(v); }
  HRESULT get_Parameters(IDispatch** v) override { return Forward<&H::Parameters>(v); }
  HRESULT Execute(VARIANT Options) override { return Forward<&H::Execute>(Options); }
  HRESULT OpenRecordset(VARIANT Type, VARIANT Options, VARIANT LockEdit, IDispatch** v) override {
    if (!takes_lock_argument_ && !IsMissing(LockEdit)) return com::DISP_E_BADPARAMCOUNT;
    return Forward<&H::OpenRecordset>(Type, Options, LockEdit, v);
  }
  HRESULT Close() override { return Forward<&H::Close>(); }
  HRESULT get_RecordsAffected(int32_t* v) override { return Forward<&H::RecordsAffected>(v); }

 private:
  QueryDefHandle handle_;
  bool takes_lock_argument_;
};

// Like the engine it stands for, every engine object of one version shares
// one error collection: a binding that opens its own engine object to read
// the errors of a database the script opened sees them.
std::shared_ptr<ErrorList> SharedDaoErrors(const DaoVersion& version);

template <const DaoVersion& kVersion>
class DaoEngineObject
    : public EngineObject<DaoEngineObject<kVersion>, IDaoEngine, kDaoEngineMembers> {
  using Base = EngineObject<DaoEngineObject<kVersion>, IDaoEngine, kDaoEngineMembers>;
  using H = DaoEngineHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<DaoEngineObject, IDaoEngine>(*kVersion.engine_iid),
      com::Entry<DaoEngineObject, IDaoEngine>(com::IID_IDispatch)};
  explicit DaoEngineObject(com::Module& module)
      : Base(module), handle_{&kVersion, SharedDaoErrors(kVersion), &MakeDatabase} {}
  DaoEngineHandle& plain() { return handle_; }

  HRESULT OpenDatabase(BSTR Name, VARIANT Exclusive, VARIANT ReadOnly, VARIANT Connect,
                       IDispatch** v) override {
    return this->template Forward<&H::OpenDatabase>(Name, Exclusive, ReadOnly, Connect, v);
  }
  HRESULT CreateDatabase(BSTR Name, VARIANT Locale, VARIANT Option, IDispatch** v) override {
    return this->template Forward<&H::CreateDatabase>(Name, Locale, Option, v);
  }
  HRESULT get_Errors(IDispatch** v) override { return this->template Forward<&H::Errors>(v); }
  HRESULT get_Version(BSTR* v) override { return this->template Forward<&H::Version>(v); }

 private:
  static Made MakeDatabase(std::shared_ptr<SqliteDatabase> db, std::shared_ptr<ErrorList> errors) {
    auto object =
        com::Object<DaoDatabaseObject<kVersion>>::Create(EnginesModule(), std::move(db), errors);
    return {com::ComPtr<IDispatch>(static_cast<IDaoDatabase*>(object.get()))};
  }
  DaoEngineHandle handle_;
};

class AdoConnectionObject
    : public EngineObject<AdoConnectionObject, IAdoConnection, kAdoConnectionMembers>,
      public IOdbcConnectionAccess {
  using H = AdoConnectionHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<AdoConnectionObject, IAdoConnection>(ids::IID_AdoConnection),
      com::Entry<AdoConnectionObject, IAdoConnection>(com::IID_IDispatch),
      com::Entry<AdoConnectionObject, IOdbcConnectionAccess>(IID_IOdbcConnectionAccess)};
  explicit AdoConnectionObject(com::Module& module);
  AdoConnectionHandle& plain() { return handle_; }

  HRESULT Open(BSTR ConnectionString, BSTR UserID, BSTR Password, int32_t Options) override {
    return Forward<&H::Open>(ConnectionString, UserID, Password, Options);
  }
  HRESULT Execute(BSTR CommandText) override { return Forward<&H::Execute>(CommandText); }
  HRESULT Close() override { return Forward<&H::Close>(); }
  HRESULT get_Errors(IDispatch** v) override { return Forward<&H::Errors>(v); }
  HRESULT get_State(int32_t* v) override { return Forward<&H::State>(v); }
  std::shared_ptr<OdbcConnection> Connection() override { return handle_.connection; }
  std::shared_ptr<ErrorList> Errors() override { return handle_.errors; }

 private:
  AdoConnectionHandle handle_;
};

class AdoCommandObject : public EngineObject<AdoCommandObject, IAdoCommand, kAdoCommandMembers> {
  using H = AdoCommandHandle;

 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<AdoCommandObject, IAdoCommand>(com::IID_IDispatch)};
  explicit AdoCommandObject(com::Module& module);
  AdoCommandHandle& plain() { return handle_; }

  HRESULT get_ActiveConnection(VARIANT* v) override { return Forward<&H::ActiveConnection>(v); }
  HRESULT put_ActiveConnection(VARIANT v) override {
    return Forward<&H::SetActiveConnection>(v);
  }
  HRESULT get_CommandText(BSTR* v) override { return Forward<&H::CommandText>(v); }
  HRESULT put_CommandText(BSTR v) override { return Forward<&H::SetCommandText>(v); }
  HRESULT get_CommandType(int32_t* v) override { return Forward<&H::CommandType>(v); }
  HRESULT put_CommandType(int32_t v) override { return Forward<&H::SetCommandType>(v); }
  HRESULT get_Parameters(IDispatch** v) override { return Forward<&H::Parameters>(v); }
  HRESULT CreateParameter(VARIANT Name, VARIANT Type, VARIANT Direction, VARIANT Size,
                          VARIANT Value, IDispatch** v) override {
    return Forward<&H::CreateParameter>(Name, Type, Direction, Size, Value, v);
  }
  HRESULT Execute(VARIANT* RecordsAffected, VARIANT Parameters, VARIANT Options,
                  IDispatch** v) override {
    return Forward<&H::Execute>(RecordsAffected, Parameters, Options, v);
  }

 private:
  AdoCommandHandle handle_;
};

}  // namespace quillon::engines

#endif  // QUILLON_ENGINES_AUTOMATION_H_
