// The four engine adapters. Every engine call goes late-bound through
// IDispatch by member name, with the arguments the engines document, so
// any engine that answers those names serves.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/platform/codepage.h"
#include "quillon/recordset/recordset.h"

namespace quillon::recordset {
namespace {

using com::ComPtr;
using com::IDispatch;
using com::Variant;

// The engines' documented identities (what this binding creates and asks
// for).
constexpr com::CLSID kDao36Engine = com::Guid("{00000100-0000-0010-8000-00AA006D2EA4}");
constexpr com::CLSID kDao35Engine = com::Guid("{00000010-0000-0010-8000-00AA006D2EA4}");
constexpr com::CLSID kDao30Engine = com::Guid("{00025E15-0000-0000-C000-000000000046}");
constexpr com::IID kDao35EngineIid = com::Guid("{00000021-0000-0010-8000-00AA006D2EA4}");
constexpr com::IID kDao30EngineIid = com::Guid("{00025E17-0000-0000-C000-000000000046}");
constexpr com::IID kDao35DatabaseIid = com::Guid("{00000071-0000-0010-8000-00AA006D2EA4}");
constexpr com::IID kDao30DatabaseIid = com::Guid("{00025E72-0000-0000-C000-000000000046}");
constexpr com::CLSID kAdoConnection = com::Guid("{00000514-0000-0010-8000-00AA006D2EA4}");
constexpr com::IID kAdoConnectionIid = com::Guid("{00000550-0000-0010-8000-00AA006D2EA4}");
constexpr com::CLSID kAdoRecordset = com::Guid("{00000535-0000-0010-8000-00AA006D2EA4}");
constexpr com::IID kAdoRecordsetIid = com::Guid("{0000054F-0000-0010-8000-00AA006D2EA4}");

// DAO recordset types and options; ADO cursor and lock types.
constexpr int16_t kDbOpenDynaset = 2;
constexpr int16_t kDbOpenSnapshot = 4;
constexpr int16_t kDbReadOnly = 4;
constexpr int16_t kDbSqlPassThrough = 64;
constexpr int32_t kDbUpdateRegular = 1;
constexpr int32_t kAdUseClient = 3;
constexpr int32_t kAdCacheSize = 100;
constexpr int32_t kAdOpenForwardOnly = 0;
constexpr int32_t kAdOpenStatic = 3;
constexpr int32_t kAdLockReadOnly = 1;
constexpr int32_t kAdLockOptimistic = 3;
constexpr int32_t kAdCmdUnspecified = -1;
constexpr int32_t kAdFieldIsNullable = 0x20;

enum class Engine { kDao36, kDao35, kDao30, kAdo };

struct EngineIds {
  const com::CLSID* clsid;
  const com::IID* iid;
  const com::IID* database_iid;
};

EngineIds IdsOf(Engine engine) {
  switch (engine) {
    case Engine::kDao36: return {&kDao36Engine, &kDao35EngineIid, &kDao35DatabaseIid};
    case Engine::kDao35: return {&kDao35Engine, &kDao35EngineIid, &kDao35DatabaseIid};
    case Engine::kDao30: return {&kDao30Engine, &kDao30EngineIid, &kDao30DatabaseIid};
    case Engine::kAdo: return {&kAdoConnection, &kAdoConnectionIid, &kAdoConnectionIid};
  }
  return {};
}

ComPtr<IDispatch> CreateEngineObject(const com::CLSID& clsid, const com::IID& iid) {
  ComPtr<IDispatch> object;
  if (com::Failed(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, iid,
                                        object.put_void()))) {
    return nullptr;
  }
  return object;
}

std::u16string Wide(std::string_view bytes) { return platform::ProcessCodePage().ToUtf16(bytes); }

std::string Narrow(std::u16string_view text) {
  return platform::ProcessCodePage().FromUtf16(text.substr(0, text.find(u'\0')));
}

// One late-bound call; false when the engine failed.
template <size_t N>
bool TryCall(IDispatch* object, std::u16string_view name, com::WORD flags,
             std::array<Variant, N>& args, Variant* result) {
  std::array<com::VARIANT, N> raw{};
  for (size_t i = 0; i < N; ++i) raw[i] = *args[i].get();
  return com::Succeeded(com::InvokeByName(object, name, flags, raw, result ? result->get() : nullptr,
                                          nullptr));
}

// The per-row calls go by DISPID, resolved once: looking a name up on
// every call costs as much as the call itself.
constexpr com::DISPID kUnresolved = com::DISPID_UNKNOWN;

bool InvokeId(IDispatch* object, com::DISPID id, com::WORD flags, com::VARIANT* args, unsigned n,
              com::VARIANT* result) {
  // Only the first n are passed (and read); most calls pass none.
  std::array<com::VARIANT, 2> reversed;
  for (unsigned i = 0; i < n; ++i) reversed[i] = args[n - 1 - i];
  com::DISPID put = com::DISPID_PROPERTYPUT;
  com::DISPPARAMS params{reversed.data(), nullptr, n, 0};
  if ((flags & com::DISPATCH_PROPERTYPUT) != 0) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  // No EXCEPINFO: a failure is read from the engine's error collection
  // (ThrowEngineError), so the per-value calls need not fill and free one.
  com::UINT arg_error = 0;
  const com::HRESULT hr =
      object->Invoke(id, com::GUID_NULL, 0, flags, &params, result, nullptr, &arg_error);
  return com::Succeeded(hr);
}

class EngineAdapter final : public RecordsetAdapter {
 public:
  explicit EngineAdapter(Engine engine) : engine_kind_(engine) {}
  ~EngineAdapter() override { Close(); }

  void set_pass_through(bool on) { pass_through_ = on; }

  void OpenByName(std::string_view database_name, std::string_view recordset_name,
                  bool for_reading, int option) override {
    Close();
    try {
      if (database_name.empty()) throw RecordsetException(kBadParameter);
      if (IsAdo()) {
        OpenAdoConnection(database_name);
      } else {
        OpenDaoDatabase(database_name);
      }
      OpenRecordset(recordset_name, for_reading, option);
    } catch (...) {
      Close();
      throw;
    }
  }

  void OpenOnDatabase(IDispatch* database, std::string_view recordset_name, bool for_reading,
                      int option) override {
    Close();
    try {
      if (database == nullptr) throw RecordsetException(kBadParameter);
      const EngineIds ids = IdsOf(engine_kind_);
      if (!IsAdo()) CreateDaoEngine();
      database_dispatch_ = ComPtr<IDispatch>(database);
      if (com::Failed(database->QueryInterface(*ids.database_iid, database_.put_void()))) {
        throw RecordsetException(kBadParameter);
      }
      if (IsAdo()) errors_ = GetObject(database_.get(), u"Errors");
      OpenRecordset(recordset_name, for_reading, option);
    } catch (...) {
      Close();
      throw;
    }
  }

  void Close() override { Release(nullptr); }

  void CloseChecked() override {
    std::optional<RecordsetException> failure;
    Release(&failure);
    if (failure) throw *failure;
  }

  bool IsOpen() const override { return static_cast<bool>(recordset_); }

  bool IsEof() override {
    RequireOpen();
    if (IsAdo() && HotFlag(u"BOF", &bof_id_)) return true;
    return HotFlag(u"EOF", &eof_id_);
  }
  void MoveFirst() override {
    RequireOpen();
    Call(recordset_.get(), u"MoveFirst", com::DISPATCH_METHOD);
  }
  void MoveNext() override {
    RequireOpen();
    HotCall(u"MoveNext", &move_next_id_, nullptr, 0);
  }
  void AddNew() override {
    RequireOpen();
    HotCall(u"AddNew", &add_new_id_, nullptr, 0);
    edit_state_ = 2;
  }
  void Update() override {
    RequireOpen();
    if (IsAdo()) {
      HotCall(u"Update", &update_id_, nullptr, 0);
    } else {
      com::VARIANT args[2] = {*Variant::I4(kDbUpdateRegular).get(), *Variant::Bool(false).get()};
      HotCall(u"Update", &update_id_, args, 2);
    }
    edit_state_ = 0;
  }

  std::string MakeSelect(std::string_view name) const override {
    const platform::CodePage& cp = platform::ProcessCodePage();
    if (cp.Find(cp.ToUpper(name), "SELECT") != std::string::npos) return std::string(name);
    std::string statement = "SELECT * FROM ";
    if (!IsAdo() && !pass_through_ && cp.FindAnyOf(name, "[") == std::string::npos) {
      statement += '[';
      statement += name;
      statement += ']';
    } else {
      statement += name;
    }
    return statement;
  }

  bool IsBinaryCapable(int16_t type) const override {
    if (!IsAdo()) return type == 9 || type == 11 || type == 15 || type == 17;
    switch (type) {
      case 9: case 12: case 13: case 72: case 128: case 132: case 136: case 138: case 204:
      case 205:
        return true;
      default:
        return false;
    }
  }

 protected:
  void ReadValue(int index, com::VARIANT* value) override {
    IDispatch* field = fields_[index].field.get();
    const com::DISPID id = Resolve(field, u"Value", &value_ids_[index]);
    // Straight into `value`: a failed call leaves it empty.
    if (!InvokeId(field, id, com::DISPATCH_PROPERTYGET, nullptr, 0, value)) ThrowEngineError();
  }
  void WriteValue(int index, const com::VARIANT& value) override {
    IDispatch* field = fields_[index].field.get();
    const com::DISPID id = Resolve(field, u"Value", &value_ids_[index]);
    com::VARIANT arg = value;  // the callee copies what it keeps
    Variant ignored;
    if (!InvokeId(field, id, com::DISPATCH_PROPERTYPUT, &arg, 1, ignored.get())) {
      ThrowEngineError();
    }
  }

 private:
  // Closes the recordset and the database if they were opened here and
  // releases everything, never throwing: it runs on every failure path and
  // in the destructor, and an engine that refuses to close is released
  // anyway. `failure`, when given, receives the engine's error of the first
  // close the engine refused, read before the error collection goes.
  void Release(std::optional<RecordsetException>* failure) noexcept {
    auto close = [&](IDispatch* object) {
      std::array<Variant, 0> none{};
      Variant ignored;
      if (TryCall(object, u"Close", com::DISPATCH_METHOD, none, &ignored)) return;
      if (failure == nullptr || failure->has_value()) return;
      try {
        failure->emplace(EngineException());
      } catch (...) {
        failure->emplace(kEngineWithoutDescription);
      }
    };
    if (recordset_opened_here_ && recordset_) close(recordset_.get());
    if (database_opened_here_ && database_) close(database_.get());
    fields_.clear();
    field_collection_.reset();
    recordset_dispatch_.reset();
    recordset_.reset();
    database_dispatch_.reset();
    database_.reset();
    errors_.reset();
    engine_.reset();
    database_opened_here_ = false;
    recordset_opened_here_ = false;
    edit_state_ = 0;
    eof_id_ = bof_id_ = move_next_id_ = add_new_id_ = update_id_ = kUnresolved;
    value_ids_.clear();
  }

  bool IsAdo() const { return engine_kind_ == Engine::kAdo; }

  void RequireOpen() const {
    if (!recordset_) throw RecordsetException(kNotOpen);
  }

  com::DISPID Resolve(IDispatch* object, const char16_t* name, com::DISPID* slot) {
    if (*slot == kUnresolved) {
      std::u16string copy(name);
      com::LPOLESTR names[] = {copy.data()};
      if (com::Failed(object->GetIDsOfNames(com::GUID_NULL, names, 1, 0, slot))) {
        *slot = kUnresolved;
        ThrowEngineError();
      }
    }
    return *slot;
  }
  void HotCall(const char16_t* name, com::DISPID* slot, com::VARIANT* args, unsigned n) {
    const com::DISPID id = Resolve(recordset_.get(), name, slot);
    Variant ignored;
    if (!InvokeId(recordset_.get(), id, com::DISPATCH_METHOD, args, n, ignored.get())) {
      ThrowEngineError();
    }
  }
  bool HotFlag(const char16_t* name, com::DISPID* slot) {
    const com::DISPID id = Resolve(recordset_.get(), name, slot);
    Variant v;
    if (!InvokeId(recordset_.get(), id, com::DISPATCH_PROPERTYGET, nullptr, 0, v.get())) {
      ThrowEngineError();
    }
    if (v.vt() == com::VT_BOOL) return v.get()->boolVal != 0;
    return Truth(v);
  }

  static bool Truth(const Variant& v) {
    Variant b;
    if (com::Failed(com::VariantChangeType(b.get(), v.get(), 0, com::VT_BOOL))) return false;
    return b.get()->boolVal != 0;
  }

  Variant Call(IDispatch* object, std::u16string_view name, com::WORD flags) {
    std::array<Variant, 0> none{};
    return CallWith(object, name, flags, none);
  }
  template <size_t N>
  Variant CallWith(IDispatch* object, std::u16string_view name, com::WORD flags,
                   std::array<Variant, N>& args) {
    Variant result;
    if (!TryCall(object, name, flags, args, &result)) ThrowEngineError();
    return result;
  }

  // A property that holds an object.
  ComPtr<IDispatch> GetObject(IDispatch* object, std::u16string_view name) {
    Variant v = Call(object, name, com::DISPATCH_PROPERTYGET);
    if (v.vt() != com::VT_DISPATCH || v.get()->pdispVal == nullptr) ThrowEngineError();
    return ComPtr<IDispatch>(v.get()->pdispVal);
  }

  void CreateDaoEngine() {
    const EngineIds ids = IdsOf(engine_kind_);
    engine_ = CreateEngineObject(*ids.clsid, *ids.iid);
    if (!engine_) throw RecordsetException(kNoEngine);
    errors_ = GetObject(engine_.get(), u"Errors");
  }

  void OpenDaoDatabase(std::string_view database_name) {
    CreateDaoEngine();
    std::string connect;
    if (database_name.find(';') != std::string_view::npos) {
      connect = database_name;
    } else {
      connect = ";Database=" + std::string(database_name);
    }
    std::array<Variant, 4> args{Variant::String(u""), Variant::Bool(false), Variant::Bool(false),
                                Variant::String(Wide(connect))};
    Variant db = CallWith(engine_.get(), u"OpenDatabase", com::DISPATCH_METHOD, args);
    if (db.vt() != com::VT_DISPATCH || db.get()->pdispVal == nullptr) ThrowEngineError();
    database_dispatch_ = ComPtr<IDispatch>(db.get()->pdispVal);
    database_opened_here_ = true;
    if (com::Failed(database_dispatch_->QueryInterface(*IdsOf(engine_kind_).database_iid,
                                                       database_.put_void()))) {
      throw RecordsetException(kBadParameter);
    }
  }

  void OpenAdoConnection(std::string_view connection_string) {
    ComPtr<IDispatch> connection = CreateEngineObject(kAdoConnection, kAdoConnectionIid);
    if (!connection) throw RecordsetException(kNoAdoConnection);
    database_ = connection;
    errors_ = GetObject(database_.get(), u"Errors");
    std::array<Variant, 4> args{Variant::String(Wide(connection_string)), Variant::String(u""),
                                Variant::String(u""), Variant::I4(0)};
    CallWith(database_.get(), u"Open", com::DISPATCH_METHOD, args);
    database_dispatch_ = database_;
    database_opened_here_ = true;
  }

  void OpenRecordset(std::string_view recordset_name, bool for_reading, int option) {
    if (recordset_name.empty()) return;  // database only: record operations give 1003
    const std::u16string statement = Wide(MakeSelect(recordset_name));
    if (IsAdo()) {
      ComPtr<IDispatch> rs = CreateEngineObject(kAdoRecordset, kAdoRecordsetIid);
      if (!rs) throw RecordsetException(kNoAdoConnection);
      if (option == 0) {
        std::array<Variant, 1> location{Variant::I4(kAdUseClient)};
        CallWith(rs.get(), u"CursorLocation", com::DISPATCH_PROPERTYPUT, location);
        std::array<Variant, 1> cache{Variant::I4(kAdCacheSize)};
        CallWith(rs.get(), u"CacheSize", com::DISPATCH_PROPERTYPUT, cache);
      }
      std::array<Variant, 5> args{
          Variant::String(statement), Variant::Unknown(database_.get()),
          Variant::I4(for_reading ? kAdOpenForwardOnly : kAdOpenStatic),
          Variant::I4(for_reading ? kAdLockReadOnly : kAdLockOptimistic),
          Variant::I4(kAdCmdUnspecified)};
      CallWith(rs.get(), u"Open", com::DISPATCH_METHOD, args);
      recordset_ = rs;
    } else {
      int16_t type = kDbOpenDynaset;
      int16_t options = 0;
      if (for_reading) {
        type = kDbOpenSnapshot;
        options = kDbReadOnly;
      }
      if (pass_through_) options += kDbSqlPassThrough;
      Variant rs;
      if (engine_kind_ == Engine::kDao30) {
        std::array<Variant, 3> args{Variant::String(statement), Variant::I2(type),
                                    Variant::I2(options)};
        rs = CallWith(database_.get(), u"OpenRecordset", com::DISPATCH_METHOD, args);
      } else {
        std::array<Variant, 4> args{Variant::String(statement), Variant::I2(type),
                                    Variant::I2(options), Variant::Missing()};
        rs = CallWith(database_.get(), u"OpenRecordset", com::DISPATCH_METHOD, args);
      }
      if (rs.vt() != com::VT_DISPATCH || rs.get()->pdispVal == nullptr) ThrowEngineError();
      recordset_ = ComPtr<IDispatch>(rs.get()->pdispVal);
    }
    recordset_dispatch_ = recordset_;
    recordset_opened_here_ = true;
    field_collection_ = GetObject(recordset_.get(), u"Fields");
    LoadFieldInfo();
  }

  int32_t IntProperty(IDispatch* object, std::u16string_view name) {
    Variant v = Call(object, name, com::DISPATCH_PROPERTYGET);
    Variant i;
    if (com::Failed(com::VariantChangeType(i.get(), v.get(), 0, com::VT_I4))) return 0;
    return i.get()->lVal;
  }

  void LoadFieldInfo() {
    fields_.clear();
    const int32_t count = IntProperty(field_collection_.get(), u"Count");
    for (int32_t i = 0; i < count; ++i) {
      std::array<Variant, 1> index{IsAdo() ? Variant::I4(i) : Variant::I2(static_cast<int16_t>(i))};
      Variant item = CallWith(field_collection_.get(), u"Item", com::DISPATCH_PROPERTYGET, index);
      if (item.vt() != com::VT_DISPATCH || item.get()->pdispVal == nullptr) ThrowEngineError();
      FieldInfo info;
      info.field = ComPtr<IDispatch>(item.get()->pdispVal);
      IDispatch* field = info.field.get();
      Variant name = Call(field, u"Name", com::DISPATCH_PROPERTYGET);
      if (name.vt() == com::VT_BSTR) info.name = Narrow(com::Bstr::View(name.get()->bstrVal));
      info.upper_name = platform::ProcessCodePage().ToUpper(info.name);
      info.type = static_cast<int16_t>(IntProperty(field, u"Type"));
      if (IsAdo()) {
        switch (info.type) {
          case 8: case 129: case 130: case 200: case 202:
            info.size = static_cast<int16_t>(IntProperty(field, u"DefinedSize"));
            break;
          default:
            info.size = static_cast<int16_t>(IntProperty(field, u"Precision"));
        }
        info.width = static_cast<int16_t>(IntProperty(field, u"NumericScale"));
        info.nullable = (IntProperty(field, u"Attributes") & kAdFieldIsNullable) != 0 ? 1 : 0;
      } else {
        info.size = static_cast<int16_t>(IntProperty(field, u"Size"));
        info.width = 255;
        info.nullable = Truth(Call(field, u"Required", com::DISPATCH_PROPERTYGET)) ? 0 : 1;
      }
      fields_.push_back(std::move(info));
    }
    value_ids_.assign(fields_.size(), kUnresolved);
  }

  [[noreturn]] void ThrowEngineError() { throw EngineException(); }

  // The engine's error collection as one exception: descriptions joined in
  // collection order; number, source and help of the first error.
  RecordsetException EngineException() {
    int32_t code = kEngineWithoutDescription;
    std::u16string source, description, help_file;
    int32_t help_context = 0;
    if (errors_) {
      std::array<Variant, 0> none{};
      Variant count_v;
      Variant count;
      if (TryCall(errors_.get(), u"Count", com::DISPATCH_PROPERTYGET, none, &count_v) &&
          com::Succeeded(com::VariantChangeType(count.get(), count_v.get(), 0, com::VT_I4))) {
        for (int32_t i = count.get()->lVal - 1; i >= 0; --i) {
          std::array<Variant, 1> index{IsAdo() ? Variant::I4(i)
                                                : Variant::I2(static_cast<int16_t>(i))};
          Variant item;
          if (!TryCall(errors_.get(), u"Item", com::DISPATCH_PROPERTYGET, index, &item) ||
              item.vt() != com::VT_DISPATCH || item.get()->pdispVal == nullptr) {
            continue;
          }
          IDispatch* error = item.get()->pdispVal;
          auto text = [&](std::u16string_view name) {
            Variant v;
            if (!TryCall(error, name, com::DISPATCH_PROPERTYGET, none, &v) ||
                v.vt() != com::VT_BSTR) {
              return std::u16string();
            }
            return std::u16string(com::Bstr::View(v.get()->bstrVal));
          };
          auto number = [&](std::u16string_view name) {
            Variant v, n;
            if (!TryCall(error, name, com::DISPATCH_PROPERTYGET, none, &v) ||
                com::Failed(com::VariantChangeType(n.get(), v.get(), 0, com::VT_I4))) {
              return int32_t{0};
            }
            return static_cast<int32_t>(n.get()->lVal);
          };
          description = text(u"Description") + description;
          if (i == 0) {
            code = number(u"Number");
            source = text(u"Source");
            help_file = text(u"HelpFile");
            help_context = number(u"HelpContext");
          }
        }
      }
    }
    if (description.empty()) {
      code = kEngineWithoutDescription;
      help_context = 0;
    }
    return RecordsetException(code, std::move(source), std::move(description),
                              std::move(help_file), help_context);
  }

  Engine engine_kind_;
  ComPtr<IDispatch> engine_;
  ComPtr<IDispatch> errors_;
  ComPtr<IDispatch> database_;
  ComPtr<IDispatch> database_dispatch_;
  ComPtr<IDispatch> recordset_;
  ComPtr<IDispatch> recordset_dispatch_;
  ComPtr<IDispatch> field_collection_;
  bool database_opened_here_ = false;
  bool recordset_opened_here_ = false;
  bool pass_through_ = false;
  int edit_state_ = 0;
  com::DISPID eof_id_ = kUnresolved;
  com::DISPID bof_id_ = kUnresolved;
  com::DISPID move_next_id_ = kUnresolved;
  com::DISPID add_new_id_ = kUnresolved;
  com::DISPID update_id_ = kUnresolved;
  std::vector<com::DISPID> value_ids_;  // per field
};

Engine DaoEngineOf(int32_t dao_type) {
  switch (dao_type) {
    case qlDAO36: return Engine::kDao36;
    case qlDAO35: return Engine::kDao35;
    default: return Engine::kDao30;
  }
}

}  // namespace

bool IsEngineAvailable(int32_t dao_type) {
  const EngineIds ids = IdsOf(DaoEngineOf(dao_type));
  return static_cast<bool>(CreateEngineObject(*ids.clsid, *ids.iid));
}

std::unique_ptr<RecordsetAdapter> CreateRecordsetAdapter(int32_t database_type) {
  switch (database_type) {
    case qlDAO35:
      return std::make_unique<EngineAdapter>(IsEngineAvailable(qlDAO35) ? Engine::kDao35
                                                                        : Engine::kDao30);
    case qlDAO30:
      return std::make_unique<EngineAdapter>(IsEngineAvailable(qlDAO30) ? Engine::kDao30
                                                                        : Engine::kDao35);
    case qlDAO36:
    case qlDAOPassThrough: {
      Engine chosen = Engine::kDao30;
      if (IsEngineAvailable(qlDAO36)) {
        chosen = Engine::kDao36;
      } else if (IsEngineAvailable(qlDAO35)) {
        chosen = Engine::kDao35;
      }
      auto adapter = std::make_unique<EngineAdapter>(chosen);
      adapter->set_pass_through(database_type == qlDAOPassThrough);
      return adapter;
    }
    default:
      return std::make_unique<EngineAdapter>(Engine::kAdo);
  }
}

namespace {

std::string Export(RecordsetAdapter& adapter) {
  std::string text;
  adapter.SaveAsText(&text);
  return text;
}

// Two failures of one import as one: the first one's number and help,
// both texts on their own lines.
RecordsetException Joined(const RecordsetException& first, const RecordsetException& then) {
  return RecordsetException(first.code(), first.source(), first.Text() + u"\n" + then.Text(),
                            first.help_file(), first.help_context());
}

// The rows are saved only once the recordset has closed, so its close is
// part of the import: a close the engine refuses fails the import, also
// after a failing row (whose predecessors that close would have saved).
void Import(RecordsetAdapter& adapter, std::string_view text) {
  try {
    adapter.LoadFromText(text);
  } catch (const RecordsetException& failure) {
    try {
      adapter.CloseChecked();
    } catch (const RecordsetException& closing) {
      throw Joined(failure, closing);
    }
    throw;
  }
  adapter.CloseChecked();
}

}  // namespace

std::string ExportRecordset(int32_t database_type, std::string_view database_name,
                            std::string_view recordset_name) {
  auto adapter = CreateRecordsetAdapter(database_type);
  adapter->OpenByName(database_name, recordset_name, /*for_reading=*/true, 0);
  return Export(*adapter);
}

std::string ExportRecordset(int32_t database_type, com::IDispatch* database,
                            std::string_view recordset_name) {
  auto adapter = CreateRecordsetAdapter(database_type);
  adapter->OpenOnDatabase(database, recordset_name, /*for_reading=*/true, 0);
  return Export(*adapter);
}

void ImportRecordset(int32_t database_type, std::string_view database_name,
                     std::string_view recordset_name, std::string_view text) {
  auto adapter = CreateRecordsetAdapter(database_type);
  adapter->OpenByName(database_name, recordset_name, /*for_reading=*/false, 0);
  Import(*adapter, text);
}

void ImportRecordset(int32_t database_type, com::IDispatch* database,
                     std::string_view recordset_name, std::string_view text) {
  auto adapter = CreateRecordsetAdapter(database_type);
  adapter->OpenOnDatabase(database, recordset_name, /*for_reading=*/false, 0);
  Import(*adapter, text);
}

}  // namespace quillon::recordset
