// The contact list in C++: the same page as cgi-bin/list.py, on the same
// template, through the toolkit's plain classes (quillon::server::QServer
// and quillon::html::Document) instead of its automation objects.
//
// The rows come from the toolkit's database engines (DAO over SQLite or ADO
// over ODBC, as SAMPLE_DATABASE says), created by ProgID and called by
// member name as any script host does. No database library is linked here.
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/html/document.h"
#include "quillon/html/tag.h"
#include "quillon/recordset/recordset.h"
#include "quillon/server/qserver.h"
#include "quillon/server/response_output.h"

namespace {

using quillon::html::Document;
using quillon::html::Ref;
using quillon::html::Tag;
using quillon::server::QServer;
using quillon::server::ResponseOutput;
namespace com = quillon::com;
using com::VARIANT;

// Text goes into HTML, so the characters HTML gives a meaning are escaped
// (the engine writes text exactly as given).
using quillon::html::Escape;

std::string Setting(const char* name, std::string fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// The one database setting, as app.py reads it: a file is SQLite through
// DAO 3.6, a connection string goes through ADO.
struct Database {
  std::string name = Setting("SAMPLE_DATABASE", Setting("SAMPLE_HOME", ".") + "/contacts.db");
  int16_t type() const {
    const bool connection_string = name.find('=') != std::string::npos &&
                                   name.find(';') != std::string::npos;
    return connection_string ? quillon::recordset::qlADO : quillon::recordset::qlDAO36;
  }
};

// --- The database engines, late-bound as a script reaches them ---------------

// A failed call on an automation object: its code and description.
struct CallFailed {
  com::HRESULT code;
  std::string description;
};

com::ComPtr<com::IDispatch> Create(const char16_t* progid) {
  com::CLSID clsid;
  com::ComPtr<com::IDispatch> object;
  com::HRESULT hr = com::CLSIDFromProgID(progid, &clsid);
  if (com::Succeeded(hr)) {
    hr = com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                               object.put_void());
  }
  if (com::Failed(hr)) throw CallFailed{hr, "cannot create " + com::Utf16ToUtf8(progid)};
  return object;
}

com::Variant Call(com::IDispatch* object, std::u16string_view name, com::WORD flags,
                  std::vector<com::Variant> args = {}) {
  std::vector<VARIANT> raw;
  for (auto& arg : args) raw.push_back(*arg.get());  // shallow: `args` keeps ownership
  com::Variant result;
  com::EXCEPINFO info{};
  const com::HRESULT hr = com::InvokeByName(object, name, flags, raw, result.get(), &info);
  if (com::Failed(hr)) {
    CallFailed failure{info.scode != 0 ? info.scode : hr,
                       info.bstrDescription ? com::Utf16ToUtf8(com::Bstr::View(info.bstrDescription)) : ""};
    com::ClearExcepInfo(&info);
    throw failure;
  }
  return result;
}

com::IDispatch* Object(const com::Variant& v) {
  return v.vt() == com::VT_DISPATCH ? v.get()->pdispVal : nullptr;
}

std::string Text(const com::Variant& v) {
  if (v.vt() == com::VT_NULL || v.vt() == com::VT_EMPTY) return "";
  std::u16string text;
  com::VariantToText(*v.get(), &text);
  return com::Utf16ToUtf8(text);
}

// The rows of `sql` as text, through the DAO engine (SQLite) or the ADO
// engine (ODBC), the same members app.py uses.
std::vector<std::vector<std::string>> QueryRows(const Database& db, const std::string& sql) {
  com::ComPtr<com::IDispatch> engine, connection, recordset_holder;
  com::Variant database, recordset;
  if (db.type() == quillon::recordset::qlDAO36) {
    engine = Create(u"DAO.DBEngine.36");
    database = Call(engine.get(), u"OpenDatabase", com::DISPATCH_METHOD,
                    {com::Variant::Utf8(db.name)});
    recordset = Call(Object(database), u"OpenRecordset", com::DISPATCH_METHOD,
                     {com::Variant::Utf8(sql)});
  } else {
    connection = Create(u"ADODB.Connection");
    Call(connection.get(), u"Open", com::DISPATCH_METHOD, {com::Variant::Utf8(db.name)});
    recordset_holder = Create(u"ADODB.Recordset");
    // adOpenKeyset, adLockReadOnly, no options
    Call(recordset_holder.get(), u"Open", com::DISPATCH_METHOD,
         {com::Variant::Utf8(sql), com::Variant::Dispatch(connection.get()), com::Variant::I4(1),
          com::Variant::I4(1), com::Variant::I4(-1)});
    recordset = com::Variant::Dispatch(recordset_holder.get());
  }
  com::IDispatch* rs = Object(recordset);
  com::Variant fields = Call(rs, u"Fields", com::DISPATCH_PROPERTYGET);
  const int32_t count = Call(Object(fields), u"Count", com::DISPATCH_PROPERTYGET).get()->lVal;
  std::vector<std::vector<std::string>> rows;
  while (Call(rs, u"EOF", com::DISPATCH_PROPERTYGET).get()->boolVal == 0) {
    auto& row = rows.emplace_back();
    for (int32_t i = 0; i < count; ++i) {
      com::Variant field =
          Call(Object(fields), u"Item", com::DISPATCH_PROPERTYGET, {com::Variant::I4(i)});
      row.push_back(Text(Call(Object(field), u"Value", com::DISPATCH_PROPERTYGET)));
    }
    Call(rs, u"MoveNext", com::DISPATCH_METHOD);
  }
  Call(rs, u"Close", com::DISPATCH_METHOD);
  return rows;
}

// The master page with the page template's content in it, as app.template().
std::unique_ptr<Document> Template(const std::string& name, const std::string& title,
                                   const Database& db) {
  const std::string folder = Setting("SAMPLE_TEMPLATES", Setting("SAMPLE_HOME", ".") + "/templates");
  auto doc = std::make_unique<Document>();
  doc->Load(folder + "/master.htm");
  Document part;
  part.Load(folder + "/" + name);
  // Get throws the engine's 10004 error naming an identifier the template
  // lacks, where Find* would give null to chain a call on.
  doc->Get("content")->Replace(part.Get("content"));
  doc->SetTitle("Contacts - " + Escape(title));
  doc->Get("heading")->SetText(Escape(title));
  doc->Get("backend")->SetText(db.type() == quillon::recordset::qlADO ? "ODBC (ADO)"
                                                                      : "SQLite (DAO)");
  return doc;
}

void ListPage(QServer& server) {
  // A harmless preference in a session variable. Session variables are
  // plain cookies a visitor can read and change: never trust one to say
  // who someone is. Unknown values fall back to the default order.
  static constexpr std::pair<std::string_view, std::string_view> kOrders[] = {
      {"name", "name"}, {"email", "email"}, {"newest", "id DESC"}};
  auto order_of = [](std::string_view key) -> std::string_view {
    for (const auto& [name, sql] : kOrders) {
      if (name == key) return sql;
    }
    return {};
  };
  if (const auto wanted = server.FormValue("sort"); wanted && !order_of(*wanted).empty()) {
    server.SetSessionVariable("sort", *wanted);
  }
  std::string sort = server.SessionVariable("sort");
  if (order_of(sort).empty()) sort = "name";

  Database db;
  const auto rows = QueryRows(db, "SELECT id, name, email, phone, kind, file_name FROM contacts "
                                  "ORDER BY " + std::string(order_of(sort)));

  auto doc = Template("list.htm", "Contact list (C++)", db);
  doc->Get("sort")->SelectOption(sort);
  Ref<Tag> row = doc->Get("row");
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    const auto& r = *it;
    if (r.size() < 6) continue;
    row->CopyAfter(row, 1);  // copies go right after the template row
    Ref<Tag> copy = row->NextTag();
    Ref<Tag> link = copy->Get("name");
    link->SetText(Escape(r[1]));
    link->SetParameter("HREF", "edit.py?id=" + r[0]);
    copy->Get("email")->SetText(Escape(r[2]));
    copy->Get("phone")->SetText(Escape(r[3]));
    copy->Get("kind")->SetText(Escape(r[4]));
    Ref<Tag> file = copy->Get("file");
    if (r[5].empty()) {
      file->RemoveFromParent();
    } else {
      file->SetText(Escape(r[5]));
      file->SetParameter("HREF", "download.py?id=" + r[0]);
    }
  }
  row->RemoveFromParent();
  doc->Get("count")->SetText(std::to_string(rows.size()) + " contacts");
  ResponseOutput output(server);
  doc->WriteTo(&output);
  doc->DetachOutput();
}

// A toolkit error as the error page shows it: its number and message.
void ErrorPage(QServer& server, int number, const std::string& message) {
  server.ResetContents();
  server.AddHeader("Status: 500 Internal Server Error");
  auto doc = Template("error.htm", "Something went wrong", Database{});
  doc->Get("number")->SetText(std::to_string(number));
  doc->Get("hresult")->SetText("-");
  doc->Get("message")->SetText(Escape(message));
  ResponseOutput output(server);
  doc->WriteTo(&output);
  doc->DetachOutput();
}

}  // namespace

int main() {
  std::unique_ptr<QServer> server;
  try {
    server = QServer::StartCgi();
  } catch (const std::bad_alloc&) {
    return 1;  // answered with a 500 already
  }
  try {
    ListPage(*server);
  } catch (const CallFailed& e) {
    // The toolkit's own codes (0x8004xxxx) and the engines' (0x800Axxxx)
    // carry the message number in the low word.
    const uint32_t code = static_cast<uint32_t>(e.code);
    const uint32_t facility = code >> 16;
    ErrorPage(*server, facility == 0x8004 || facility == 0x800A ? code & 0xFFFF : code,
              e.description);
  } catch (const quillon::Error& e) {
    ErrorPage(*server, e.number(), e.what());
  }
  return 0;
}
