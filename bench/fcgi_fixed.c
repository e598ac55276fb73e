/* fastcgi_vs_php.sh: the ceiling of the machine. A bare libfcgi loop that
 * answers every request with the bytes of one file (FIXED_PAGE), as
 * text/html, doing nothing else: what is left of its time is the web
 * server's, the benchmark client's and libfcgi's own. */
#include <fcgiapp.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  const char* path = getenv("FIXED_PAGE");
  FILE* file = path != NULL ? fopen(path, "rb") : NULL;
  if (file == NULL) return 1;
  static char page[1 << 20];
  const size_t size = fread(page, 1, sizeof page, file);
  fclose(file);
  FCGX_Request request;
  if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
  while (FCGX_Accept_r(&request) >= 0) {
    FCGX_PutS("Content-Type: text/html\r\n\r\n", request.out);
    FCGX_PutStr(page, (int)size, request.out);
    FCGX_Finish_r(&request);
  }
  return 0;
}
