// LoadFromText with arbitrary bytes, appending into an in-memory SQLite
// table (binary, text, integer, real, date and boolean columns) through
// the DAO-shaped engine's recordset. Whatever the text, reading must end
// without a crash, leak or undefined behaviour; failures are engine errors.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "engines/sqlite_engine.h"
#include "quillon/recordset/recordset.h"

namespace {

using quillon::engines::Cursor;
using quillon::engines::EngineError;
using quillon::recordset::RecordsetAdapter;
using quillon::recordset::RecordsetException;

template <class F>
auto Guard(F&& f) {
  try {
    return f();
  } catch (const EngineError& e) {
    throw RecordsetException(e.number());
  }
}

// The binding's reader and writer over an engine cursor called directly,
// with engine errors turned into recordset exceptions as the binding does.
class CursorAdapter final : public RecordsetAdapter {
 public:
  explicit CursorAdapter(std::unique_ptr<Cursor> cursor) : cursor_(std::move(cursor)) {
    for (const auto& f : cursor_->fields()) {
      quillon::recordset::FieldInfo info;
      info.name = f.name;
      info.type = f.type;
      fields_.push_back(info);
    }
  }
  void OpenByName(std::string_view, std::string_view, bool, int) override {}
  void OpenOnDatabase(quillon::com::IDispatch*, std::string_view, bool, int) override {}
  void Close() override { cursor_->Close(); }
  bool IsOpen() const override { return cursor_->IsOpen(); }
  bool IsEof() override { return Guard([&] { return cursor_->Eof(); }); }
  void MoveFirst() override { Guard([&] { cursor_->MoveFirst(); return 0; }); }
  void MoveNext() override { Guard([&] { cursor_->MoveNext(); return 0; }); }
  void AddNew() override { Guard([&] { cursor_->AddNew(); return 0; }); }
  void Update() override { Guard([&] { cursor_->Update(); return 0; }); }
  std::string MakeSelect(std::string_view name) const override { return std::string(name); }
  bool IsBinaryCapable(int16_t type) const override {
    return type == 9 || type == 11 || type == 15 || type == 17;
  }

 protected:
  void ReadValue(int index, quillon::com::VARIANT* value) override {
    *value = Guard([&] { return cursor_->GetValue(index); }).Detach();
  }
  void WriteValue(int index, const quillon::com::VARIANT& value) override {
    Guard([&] { cursor_->SetValue(index, value); return 0; });
  }

 private:
  std::unique_ptr<Cursor> cursor_;
};

std::shared_ptr<quillon::engines::SqliteDatabase>& Database() {
  static std::shared_ptr<quillon::engines::SqliteDatabase> db = [] {
    auto d = quillon::engines::SqliteDatabase::Open(":memory:", false, true);
    d->Execute(
        "CREATE TABLE t (id INTEGER, name VARCHAR(20) NOT NULL, amount REAL, day DATE, "
        "flag BOOLEAN, data BLOB, note TEXT)");
    return d;
  }();
  return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& db = Database();
  {
    CursorAdapter adapter(db->OpenRecordset("SELECT * FROM t", 2, 0));
    try {
      adapter.LoadFromText(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const RecordsetException&) {
      // Engine refusals (conversion, required field) are expected answers.
    }
    adapter.Close();
  }
  // What was appended must read back as text without failing.
  {
    CursorAdapter reader(db->OpenRecordset("SELECT * FROM t", 4, 4));
    std::string text;
    reader.SaveAsText(&text);
  }
  db->Execute("DELETE FROM t");
  return 0;
}
