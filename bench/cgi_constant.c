/* The baseline of cgi_startup.sh: the least a CGI program can do, print a
 * constant response. */
#include <stdio.h>

int main(void) {
  fputs("Content-Type: text/html\r\nConnection: close\r\n\r\n"
        "<html><body><p>Hello, World!</p></body></html>\r\n",
        stdout);
  return 0;
}
