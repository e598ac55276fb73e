// fastcgi_vs_php.sh: the 1,000-row page of table_page.cc on the serving
// loop, so that one process answers every request and only the page's own
// work (template loaded, one row copied 1,000 times with AddCopy, each
// copy's cells filled by identifier, the page written) is paid per request.
// Loading is a copy of the parse the process keeps once the file was parsed
// twice unchanged. Run as CGI it answers one request, like
// bench_table_page.
//
// The template is the file PATH_TRANSLATED names, or TABLE_TEMPLATE when the
// web server passes no such path (a FastCGI application mounted on a prefix);
// ROWS overrides the 1,000 rows.
#include <cstdlib>
#include <string>

#include "quillon/html/document.h"
#include "quillon/server/response_output.h"
#include "quillon/server/serve.h"

namespace {

// Read per request, not once: under FastCGI the web server sets the
// variables for each request, and a page reads its template each time too.
std::string TemplatePath() {
  if (const char* file = std::getenv("TABLE_TEMPLATE")) return file;
  if (const char* file = std::getenv("PATH_TRANSLATED")) return file;
  return "table.htm";
}

}  // namespace

int main() {
  const char* rows_text = std::getenv("ROWS");
  const int rows = rows_text != nullptr ? std::atoi(rows_text) : 1000;
  quillon::server::Serve([rows](quillon::server::QServer& server) {
    quillon::html::Document doc;
    doc.Load(TemplatePath());
    auto row = doc.FindByID("row");
    auto table = row->Parent();
    const int first = table->Children().IndexOf(row.get()) + 1;
    row->AddCopy(table.get(), rows);
    row->RemoveFromParent();
    std::string text;
    for (int i = 0; i < rows; ++i) {
      auto r = table->Children().Item(first - 1 + i);
      text = "Customer " + std::to_string(i + 1);
      r->FindByID("name")->SetText(text);
      r->FindByID("qty")->SetText(std::to_string(i % 97));
      r->FindByID("price")->SetText(std::to_string(i * 3) + ".00");
    }
    quillon::server::ResponseOutput output(server);
    doc.WriteTo(&output);
    doc.DetachOutput();
  });
  return 0;
}
