// upload_intake.sh: the same intake with GNU cgicc, for comparison.
#include <cgicc/Cgicc.h>

#include <cstdio>
#include <string>

int main() {
  cgicc::Cgicc cgi;
  std::string answer = "no file";
  auto file = cgi.getFile("file");
  if (file != cgi.getFiles().end()) {
    answer = file->getFilename() + " " + file->getDataType();
  }
  std::printf("Content-Type: text/plain\r\n\r\n%s\r\n", answer.c_str());
  return 0;
}
