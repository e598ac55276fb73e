// upload_intake.sh: a CGI process that takes in a multipart upload with
// QServer and answers with the file's name and type (reading the bytes back
// would measure a copy, not the intake; the cgicc program answers alike).
#include <string>

#include "quillon/server/qserver.h"

int main() {
  auto server = quillon::server::QServer::StartCgi();
  server->SetContentType("text/plain");
  server->WriteString(server->GetULFileName("file", 0) + " " + server->GetULContentType("file", 0));
  return 0;
}
