// What the engines' automation objects need of a recordset, whichever
// database is underneath: a cursor over rows, the description of its
// fields, values as variants, and appending rows.
//
// Errors: EngineError, carrying the number and texts the engine's error
// collection then reports; std::bad_alloc for exhausted memory.
#ifndef QUILLON_ENGINES_CURSOR_H_
#define QUILLON_ENGINES_CURSOR_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "quillon/component/errors.h"
#include "quillon/component/types.h"
#include "quillon/component/variant.h"

namespace quillon::engines {

// One error record as an engine's error collection lists it.
struct ErrorRecord {
  int32_t number = 0;
  std::string source;       // UTF-8
  std::string description;  // UTF-8
};

// A failure with one or more records (ODBC reports several at once); the
// first record is the one a caller is told about. As a foreign error it
// carries the first record's number and text.
class EngineError : public ForeignError {
 public:
  EngineError(int32_t number, std::string source, std::string description)
      : records_{{number, std::move(source), std::move(description)}} {}
  explicit EngineError(std::vector<ErrorRecord> records) : records_(std::move(records)) {
    if (records_.empty()) records_.push_back({});
  }
  int32_t number() const { return records_.front().number; }
  const std::string& source() const { return records_.front().source; }
  const std::string& description() const { return records_.front().description; }
  const std::vector<ErrorRecord>& records() const { return records_; }
  const char* what() const noexcept override { return records_.front().description.c_str(); }
  int32_t code() const override { return number(); }
  std::u16string Text() const override { return com::Utf8ToUtf16(description()); }

 private:
  std::vector<ErrorRecord> records_;
};

struct FieldDescription {
  std::string name;  // UTF-8
  int16_t type = 0;  // the engine's own type numbers (DAO or ADO)
  int32_t size = 0;
  bool required = false;
  int32_t precision = 0;
  int32_t scale = 0;
  int32_t attributes = 0;  // ADO field attributes
};

// One parameter of a query definition (DAO) or a command (ADO): its
// value is bound to the statement, never spliced into its text. `type` is
// the engine's own type number (DAO field type, ADO data type), 0 for "as
// the value is".
struct Parameter {
  std::string name;  // UTF-8
  int16_t type = 0;
  int32_t direction = 1;  // input
  int32_t size = 0;
  com::Variant value;     // Empty until assigned
  bool assigned = false;
};
using ParameterList = std::vector<std::shared_ptr<Parameter>>;

class Cursor {
 public:
  virtual ~Cursor() = default;

  virtual const std::vector<FieldDescription>& fields() const = 0;
  virtual bool IsOpen() const = 0;
  virtual bool Bof() = 0;
  virtual bool Eof() = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveNext() = 0;
  // Starts a new record whose fields are all unassigned; Update appends it.
  // A failing Update appends nothing and leaves earlier rows in place.
  virtual void AddNew() = 0;
  virtual void Update() = 0;
  // The current record's value (the new record's while adding).
  virtual com::Variant GetValue(size_t index) = 0;
  // Assigns to the record being added; the value is converted to the
  // field's type here, so a conversion failure is reported at once.
  virtual void SetValue(size_t index, const com::VARIANT& value) = 0;
  // Saves what was appended and releases the statement; further calls
  // fail. Closing twice is harmless.
  virtual void Close() = 0;
};

}  // namespace quillon::engines

#endif  // QUILLON_ENGINES_CURSOR_H_
