// A reference of cgi_startup.sh, not a target: the least a C++ CGI program
// does (the C++ runtime loaded, the query read into a string, a page
// written), so that the QServer page's start is seen apart from what any
// program linked against libstdc++ pays.
#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  std::string page = "Content-Type: text/html\r\nConnection: close\r\n\r\n<html><body><p>Hello, ";
  const char* query = std::getenv("QUERY_STRING");
  page += query != nullptr ? query : "nobody";
  page += "!</p></body></html>\r\n";
  std::fwrite(page.data(), 1, page.size(), stdout);
  return 0;
}
