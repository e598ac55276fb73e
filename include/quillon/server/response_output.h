// A page written by the HTML engine into a QServer's response, as the
// QHtmlDoc object's WriteTo sends it: text appended to the body, each line
// end as the response's CR LF.
//
//   quillon::server::ResponseOutput output(server);
//   doc.WriteTo(&output);
//   doc.DetachOutput();  // before `output` goes
//
// Threading: none; the output is used on the server's thread.
#ifndef QUILLON_SERVER_RESPONSE_OUTPUT_H_
#define QUILLON_SERVER_RESPONSE_OUTPUT_H_

#include <string>
#include <string_view>

#include "quillon/html/document.h"
#include "quillon/server/qserver.h"

namespace quillon::server {

class ResponseOutput final : public html::Output {
 public:
  // `server` outlives the output.
  explicit ResponseOutput(QServer& server) : server_(server) {}
  void AppendText(std::string_view text) override { server_.AppendBodyText(text); }
  void LineEnd() override { server_.WriteCRLF(); }
  // The page goes straight into the response's text.
  std::string* DirectText(bool* skip_leading_line_end) override {
    return server_.TextBodyForAppend(skip_leading_line_end);
  }
  void DirectTextEnd(bool touched) override { server_.TextBodyAppended(touched); }

 private:
  QServer& server_;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_RESPONSE_OUTPUT_H_
