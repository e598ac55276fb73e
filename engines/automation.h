// The engines' automation classes: DAO 3.6/3.5/3.0 engines with their
// databases over SQLite, the ADO connection over ODBC, and the recordset,
// field and error objects both share. Every member forwards to the plain
// classes of sqlite_engine.h and odbc_engine.h; a failure fills the
// engine's error collection (shared by every object the engine made) and
// returns 0x800A0000 + number (DAO) or E_FAIL (ADO) with error information.
#ifndef QUILLON_ENGINES_AUTOMATION_H_
#define QUILLON_ENGINES_AUTOMATION_H_

#include <memory>
#include <vector>

#include "engines/cursor.h"
#include "engines/identities.h"
#include "engines/odbc_engine.h"
#include "engines/sqlite_engine.h"
#include "quillon/component/dispatch.h"
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
    com::Get<&IDaoDatabase::get_Name>(0, u"Name"));
inline constexpr com::InterfaceTable<IDaoDatabase> kDaoDatabaseMembers{
    u"Database", &ids::IID_DaoDatabase, kDaoDatabaseMemberList};

inline constexpr auto kAdoConnectionMemberList = com::Members<IAdoConnection>(
    com::Method<&IAdoConnection::Open>(1, u"Open(ConnectionString, UserID, Password, Options)",
                                       {.required = 0}),
    com::Method<&IAdoConnection::Execute>(2, u"Execute(CommandText)"),
    com::Method<&IAdoConnection::Close>(3, u"Close"),
    com::Get<&IAdoConnection::get_Errors>(4, u"Errors"),
    com::Get<&IAdoConnection::get_State>(5, u"State"));
inline constexpr com::InterfaceTable<IAdoConnection> kAdoConnectionMembers{
    u"_Connection", &ids::IID_AdoConnection, kAdoConnectionMemberList};

// --- Objects -------------------------------------------------------------------------------

class ErrorsObject : public com::ObjectBase,
                     public com::DispatchImpl<IEngineErrors, kErrorsMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ErrorsObject, IEngineErrors>(com::IID_IDispatch)};
  ErrorsObject(com::Module& module, std::shared_ptr<ErrorList> errors)
      : ObjectBase(module), errors_(std::move(errors)) {}
  HRESULT get_Count(int32_t* count) override;
  HRESULT get_Item(VARIANT Index, IDispatch** item) override;

 private:
  std::shared_ptr<ErrorList> errors_;
};

class ErrorObject : public com::ObjectBase, public com::DispatchImpl<IEngineError, kErrorMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ErrorObject, IEngineError>(com::IID_IDispatch)};
  ErrorObject(com::Module& module, ErrorRecord record, bool ado)
      : ObjectBase(module), record_(std::move(record)), ado_(ado) {}
  HRESULT get_Number(int32_t* value) override;
  HRESULT get_Source(BSTR* value) override;
  HRESULT get_Description(BSTR* value) override;
  HRESULT get_HelpFile(BSTR* value) override;
  HRESULT get_HelpContext(int32_t* value) override;

 private:
  ErrorRecord record_;
  bool ado_;
};

class FieldsObject : public com::ObjectBase,
                     public com::DispatchImpl<IEngineFields, kFieldsMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<FieldsObject, IEngineFields>(com::IID_IDispatch)};
  FieldsObject(com::Module& module, std::shared_ptr<Cursor> cursor,
               std::shared_ptr<ErrorList> errors)
      : ObjectBase(module), cursor_(std::move(cursor)), errors_(std::move(errors)) {}
  HRESULT get_Count(int32_t* count) override;
  HRESULT get_Item(VARIANT Index, IDispatch** item) override;

 private:
  std::shared_ptr<Cursor> cursor_;
  std::shared_ptr<ErrorList> errors_;
};

class FieldObject : public com::ObjectBase, public com::DispatchImpl<IEngineField, kFieldMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<FieldObject, IEngineField>(com::IID_IDispatch)};
  FieldObject(com::Module& module, std::shared_ptr<Cursor> cursor, size_t index,
              std::shared_ptr<ErrorList> errors)
      : ObjectBase(module), cursor_(std::move(cursor)), index_(index), errors_(std::move(errors)) {}
  HRESULT get_Name(BSTR* value) override;
  HRESULT get_Type(int16_t* value) override;
  HRESULT get_Size(int32_t* value) override;
  HRESULT get_Required(VARIANT_BOOL* value) override;
  HRESULT get_Value(VARIANT* value) override;
  HRESULT put_Value(VARIANT value) override;
  HRESULT get_DefinedSize(int32_t* value) override;
  HRESULT get_Precision(int16_t* value) override;
  HRESULT get_NumericScale(int16_t* value) override;
  HRESULT get_Attributes(int32_t* value) override;

 private:
  const FieldDescription& field() const { return cursor_->fields()[index_]; }
  std::shared_ptr<Cursor> cursor_;
  size_t index_;
  std::shared_ptr<ErrorList> errors_;
};

class RecordsetObjectBase : public com::ObjectBase,
                            public com::DispatchImpl<IEngineRecordset, kRecordsetMembers> {
 public:
  RecordsetObjectBase(com::Module& module, std::shared_ptr<Cursor> cursor,
                      std::shared_ptr<ErrorList> errors)
      : ObjectBase(module), cursor_(std::move(cursor)), errors_(std::move(errors)) {}

  HRESULT get_BOF(VARIANT_BOOL* value) override;
  HRESULT get_EOF(VARIANT_BOOL* value) override;
  HRESULT MoveFirst() override;
  HRESULT MoveNext() override;
  HRESULT AddNew() override;
  HRESULT Update(VARIANT First, VARIANT Second) override;
  HRESULT get_Fields(IDispatch** fields) override;
  HRESULT Close() override;
  HRESULT Open(VARIANT Source, VARIANT ActiveConnection, int32_t CursorType, int32_t LockType,
               int32_t Options) override;
  HRESULT get_CursorLocation(int32_t* value) override;
  HRESULT put_CursorLocation(int32_t value) override;
  HRESULT get_CacheSize(int32_t* value) override;
  HRESULT put_CacheSize(int32_t value) override;

 protected:
  Cursor& cursor();  // throws when not open
  std::shared_ptr<Cursor> cursor_;
  std::shared_ptr<ErrorList> errors_;
  int32_t cursor_location_ = 2;  // server side until told otherwise
  int32_t cache_size_ = 1;
};

// A DAO recordset (made by OpenRecordset) or an ADO one (created by
// class); only the interfaces they answer differ.
template <bool kAdo>
class RecordsetObject : public RecordsetObjectBase {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<RecordsetObject, IEngineRecordset>(kAdo ? ids::IID_AdoRecordset
                                                         : com::IID_IDispatch),
      com::Entry<RecordsetObject, IEngineRecordset>(com::IID_IDispatch)};
  explicit RecordsetObject(com::Module& module)
      : RecordsetObjectBase(module, nullptr, std::make_shared<ErrorList>()) {}
  RecordsetObject(com::Module& module, std::shared_ptr<Cursor> cursor,
                  std::shared_ptr<ErrorList> errors)
      : RecordsetObjectBase(module, std::move(cursor), std::move(errors)) {}
};

// The identities of one DAO version.
struct DaoVersion {
  const com::IID* engine_iid;
  const com::IID* database_iid;
  const char16_t* version;
  bool takes_lock_argument;
};

class DaoDatabaseObjectBase : public com::ObjectBase,
                              public com::DispatchImpl<IDaoDatabase, kDaoDatabaseMembers> {
 public:
  DaoDatabaseObjectBase(com::Module& module, std::shared_ptr<SqliteDatabase> db,
                        std::shared_ptr<ErrorList> errors, bool takes_lock)
      : ObjectBase(module), db_(std::move(db)), errors_(std::move(errors)), takes_lock_(takes_lock) {}
  HRESULT OpenRecordset(BSTR Name, VARIANT Type, VARIANT Options, VARIANT LockEdit,
                        IDispatch** recordset) override;
  HRESULT Execute(BSTR Query, VARIANT Options) override;
  HRESULT Close() override;
  HRESULT get_Name(BSTR* value) override;

 private:
  std::shared_ptr<SqliteDatabase> db_;
  std::shared_ptr<ErrorList> errors_;
  bool takes_lock_;
};

template <const DaoVersion& kVersion>
class DaoDatabaseObject : public DaoDatabaseObjectBase {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<DaoDatabaseObject, IDaoDatabase>(*kVersion.database_iid),
      com::Entry<DaoDatabaseObject, IDaoDatabase>(com::IID_IDispatch)};
  DaoDatabaseObject(com::Module& module, std::shared_ptr<SqliteDatabase> db,
                    std::shared_ptr<ErrorList> errors)
      : DaoDatabaseObjectBase(module, std::move(db), std::move(errors),
                              kVersion.takes_lock_argument) {}
};

class DaoEngineObjectBase : public com::ObjectBase,
                            public com::DispatchImpl<IDaoEngine, kDaoEngineMembers> {
 public:
  // Like the engine it stands for, every engine object of one version
  // shares one error collection: a binding that opens its own engine object
  // to read the errors of a database the script opened sees them.
  DaoEngineObjectBase(com::Module& module, const DaoVersion& version)
      : ObjectBase(module), version_(version), errors_(SharedErrors(version)) {}
  static std::shared_ptr<ErrorList> SharedErrors(const DaoVersion& version);
  HRESULT OpenDatabase(BSTR Name, VARIANT Exclusive, VARIANT ReadOnly, VARIANT Connect,
                       IDispatch** database) override;
  HRESULT CreateDatabase(BSTR Name, VARIANT Locale, VARIANT Option,
                         IDispatch** database) override;
  HRESULT get_Errors(IDispatch** errors) override;
  HRESULT get_Version(BSTR* value) override;

 protected:
  virtual com::ComPtr<IDispatch> MakeDatabase(std::shared_ptr<SqliteDatabase> db) = 0;

  const DaoVersion& version_;
  std::shared_ptr<ErrorList> errors_;
};

template <const DaoVersion& kVersion>
class DaoEngineObject : public DaoEngineObjectBase {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<DaoEngineObject, IDaoEngine>(*kVersion.engine_iid),
      com::Entry<DaoEngineObject, IDaoEngine>(com::IID_IDispatch)};
  explicit DaoEngineObject(com::Module& module) : DaoEngineObjectBase(module, kVersion) {}

 protected:
  com::ComPtr<IDispatch> MakeDatabase(std::shared_ptr<SqliteDatabase> db) override {
    auto object =
        com::Object<DaoDatabaseObject<kVersion>>::Create(EnginesModule(), std::move(db), errors_);
    return com::ComPtr<IDispatch>(static_cast<IDaoDatabase*>(object.get()));
  }
};

class AdoConnectionObject : public com::ObjectBase,
                            public com::DispatchImpl<IAdoConnection, kAdoConnectionMembers>,
                            public IOdbcConnectionAccess {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<AdoConnectionObject, IAdoConnection>(ids::IID_AdoConnection),
      com::Entry<AdoConnectionObject, IAdoConnection>(com::IID_IDispatch),
      com::Entry<AdoConnectionObject, IOdbcConnectionAccess>(IID_IOdbcConnectionAccess)};
  explicit AdoConnectionObject(com::Module& module);
  HRESULT Open(BSTR ConnectionString, BSTR UserID, BSTR Password, int32_t Options) override;
  HRESULT Execute(BSTR CommandText) override;
  HRESULT Close() override;
  HRESULT get_Errors(IDispatch** errors) override;
  HRESULT get_State(int32_t* value) override;
  std::shared_ptr<OdbcConnection> Connection() override { return connection_; }
  std::shared_ptr<ErrorList> Errors() override { return errors_; }

 private:
  std::shared_ptr<OdbcConnection> connection_;
  std::shared_ptr<ErrorList> errors_;
};

}  // namespace quillon::engines

#endif  // QUILLON_ENGINES_AUTOMATION_H_
