// Recordset transfer: the engine-neutral recordset object, the recordset
// text that carries a whole recordset as one value, and the binding to the
// DAO and ADO engines, which are reached late-bound through IDispatch by
// member name.
//
// The recordset text: values of one row separated by tabs, rows by CR LF,
// no CR LF after the last row, no header. A value is quoted (between
// double quotes, its double quotes doubled) when it holds a tab, CR or LF
// or starts with a double quote. Null and the empty string both travel as
// the empty value; byte arrays travel as hex byte text ("\\x" and two
// upper-case digits per byte). Every other value is written in the
// runtime's fixed, locale-independent text form (VariantToText): integers
// in decimal, reals in the shortest form that reads back to the same
// value, currency with up to four decimals, booleans "True"/"False", dates
// "YYYY-MM-DD", "HH:MM:SS" or "YYYY-MM-DD HH:MM:SS".
//
// Errors: every operation throws RecordsetException; std::bad_alloc for
// exhausted memory.
//
// Threading: none; an adapter is used on the thread that made it.
#ifndef QUILLON_RECORDSET_RECORDSET_H_
#define QUILLON_RECORDSET_RECORDSET_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/errors.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/types.h"

namespace quillon::recordset {

// The database-type constants scripts pass; any other value selects ADO.
enum DatabaseType : int32_t {
  qlDAO35 = 0,
  qlDAO30 = 1,
  qlADO = 2,
  qlDAO36 = 3,
  qlDAOPassThrough = 4,
};

// Codes of the binding's own failures; an engine failure carries the
// engine's error number instead.
enum RecordsetCode : int32_t {
  kEngineWithoutDescription = 1001,
  kNoEngine = 1002,
  kNotOpen = 1003,
  kBadParameter = 1004,
  kConversionFailed = 1005,
  kBadFieldName = 1006,
  kNoAdoConnection = 1011,
  kNoSchema = 1012,
};

class RecordsetException : public ForeignError {
 public:
  explicit RecordsetException(int32_t code) : code_(code) {}
  RecordsetException(int32_t code, std::u16string source, std::u16string description,
                     std::u16string help_file, int32_t help_context)
      : code_(code),
        source_(std::move(source)),
        description_(std::move(description)),
        help_file_(std::move(help_file)),
        help_context_(help_context) {}

  int32_t code() const override { return code_; }
  const std::u16string& source() const { return source_; }
  const std::u16string& description() const { return description_; }
  const std::u16string& help_file() const { return help_file_; }
  int32_t help_context() const { return help_context_; }

  // The string-table number its message comes from: 20001-20007 for the
  // binding's codes, 20099 for any other code.
  int MessageNumber() const;
  // What a script sees: the description when there is one, otherwise the
  // message of MessageNumber().
  std::u16string Text() const override;
  // MessageNumber() when Text() is its message, 0 for an engine's own text.
  int TextNumber() const override { return description_.empty() ? MessageNumber() : 0; }
  const char* what() const noexcept override;

 private:
  int32_t code_;
  std::u16string source_;
  std::u16string description_;
  std::u16string help_file_;
  int32_t help_context_ = 0;
  mutable std::string what_;
};

// Metadata of one field, as LoadFieldInfo reads it from the engine.
struct FieldInfo {
  com::ComPtr<com::IDispatch> field;  // the engine's field object
  std::string name;                   // code-page bytes
  std::string upper_name;
  int16_t type = 0;  // DAO field type or ADO data type number
  int16_t size = 0;
  int16_t width = 0;
  uint8_t nullable = 0;
};

class RecordsetAdapter {
 public:
  virtual ~RecordsetAdapter() = default;
  RecordsetAdapter(const RecordsetAdapter&) = delete;
  RecordsetAdapter& operator=(const RecordsetAdapter&) = delete;

  // --- Opening (per engine) ----------------------------------------------------
  // Opens `recordset_name` (a table, a query or a statement) of the
  // database named `database_name`. `for_reading`: opened to be sent (a
  // read-only snapshot or forward-only cursor) rather than to receive rows.
  // An empty recordset name opens the database only. Failures close again.
  virtual void OpenByName(std::string_view database_name, std::string_view recordset_name,
                          bool for_reading, int option) = 0;
  // The same on a database object the script opened; it is never closed
  // here, only released.
  virtual void OpenOnDatabase(com::IDispatch* database, std::string_view recordset_name,
                              bool for_reading, int option) = 0;
  // Closes what this adapter opened and releases everything it holds.
  // Never throws: an engine that refuses to close is released anyway.
  virtual void Close() = 0;
  // Closes as Close does, then raises the engine's error when the engine
  // refused to close the recordset or the database. For a recordset that
  // received rows that refusal means they were not saved (an engine may
  // keep appended rows in a transaction it commits when the recordset
  // closes), so the import sequence ends with this rather than Close. An
  // adapter whose closing cannot fail keeps this default.
  virtual void CloseChecked() { Close(); }

  // --- Cursor and records (per engine); 1003 when nothing is open ---------------
  virtual bool IsOpen() const = 0;
  virtual bool IsEof() = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveNext() = 0;
  virtual void AddNew() = 0;
  virtual void Update() = 0;

  // The select statement for a table or query name.
  virtual std::string MakeSelect(std::string_view name) const = 0;

  // --- Values as text (shared) ------------------------------------------------------
  int GetFieldCount() const;
  const std::vector<FieldInfo>& fields() const { return fields_; }
  // The current record's value of field `index` in its text form.
  std::string GetFieldText(int index);
  // Assigns text to field `index` of the record being added: hex byte text
  // into a binary-capable field becomes bytes, anything else is passed as
  // a string for the engine to convert.
  void SetFieldText(int index, std::string_view text);
  // All rows from the first on, as recordset text.
  void SaveAsText(std::string* out);
  // Appends the rows of a recordset text. Rows completed before a failure
  // (or before an unterminated quoted value, which ends the reading
  // silently) stay appended.
  void LoadFromText(std::string_view text);

  // Field types into which hex byte text is decoded as bytes.
  virtual bool IsBinaryCapable(int16_t type) const = 0;

 protected:
  RecordsetAdapter() = default;

  // The engine's value of field `index` of the current record; and the
  // assignment of a value to it. Engine failures throw.
  virtual void ReadValue(int index, com::VARIANT* value) = 0;
  virtual void WriteValue(int index, const com::VARIANT& value) = 0;

  std::vector<FieldInfo> fields_;

 private:
  void AppendFieldText(int index, std::string* out, bool quote);
  std::string scratch_;  // text values on their way into the recordset text
};

// The first tab, CR or LF at or after `from` (npos when none): the scan
// the reader uses, which agrees with the process code page's
// multibyte-aware search for these characters.
size_t FindFieldEnd(std::string_view text, size_t from);

// A new adapter for the database type: the DAO versions as available (DAO
// 3.6 falls back to 3.5 and then 3.0; 3.5 and 3.0 fall back to each other
// without probing), ADO for 2 and any unknown value.
std::unique_ptr<RecordsetAdapter> CreateRecordsetAdapter(int32_t database_type);

// Whether the engine of a DAO type (qlDAO36, qlDAO35, qlDAO30) can be
// created; the object made to find out is released at once.
bool IsEngineAvailable(int32_t dao_type);

// The transfer sequences of the recordset operations. `database_name` or
// `database` (an object the script opened) names the database. An import
// succeeds only when the engine saved every row: a row it refused, or a
// close that could not save what was appended, raises the engine's error.
// Nothing the import opened outlives it either way.
std::string ExportRecordset(int32_t database_type, std::string_view database_name,
                            std::string_view recordset_name);
std::string ExportRecordset(int32_t database_type, com::IDispatch* database,
                            std::string_view recordset_name);
void ImportRecordset(int32_t database_type, std::string_view database_name,
                     std::string_view recordset_name, std::string_view text);
void ImportRecordset(int32_t database_type, com::IDispatch* database,
                     std::string_view recordset_name, std::string_view text);

}  // namespace quillon::recordset

#endif  // QUILLON_RECORDSET_RECORDSET_H_
