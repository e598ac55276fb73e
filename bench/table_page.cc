// table_page.sh: a whole CGI process building the page the way an
// application builds a list: the template loaded from a file, one template
// row copied 1,000 times with AddCopy, each copy's cells filled by
// identifier, the page written through the server response.
//
// The template is the file PATH_TRANSLATED names (as a web server passes
// it); ROWS overrides the 1,000 rows.
#include <cstdlib>
#include <string>

#include "quillon/html/document.h"
#include "quillon/server/qserver.h"
#include "quillon/server/response_output.h"

int main() {
  const char* file = std::getenv("PATH_TRANSLATED");
  const char* rows_text = std::getenv("ROWS");
  const int rows = rows_text != nullptr ? std::atoi(rows_text) : 1000;
  auto server = quillon::server::QServer::StartCgi();
  quillon::html::Document doc;
  doc.Load(file != nullptr ? file : "table.htm");
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
  quillon::server::ResponseOutput output(*server);
  doc.WriteTo(&output);
  doc.DetachOutput();
  return 0;
}
