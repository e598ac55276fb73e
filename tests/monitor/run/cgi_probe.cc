// The forwarding CGI path of the monitor's start-up as a program of its
// own, so that a test can start it the way a web server starts a CGI
// program: environment, standard input, standard output.
#include <string>
#include <vector>

#include "monitor/run/forward_cgi.h"
#include "monitor/run/startup.h"

int main(int argc, char** argv) {
  using namespace quillon::monitor;  // NOLINT(google-build-using-namespace)
  const std::vector<std::string> args(argv + 1, argv + argc);
  const EnvLookup env = ProcessEnvironment();
  if (DecideStart(args, env).mode != StartMode::kForwardingCgi) return 2;
  RunForwardingCgi(LookUpProjectName(env), ProcessCgiStreams());
  return 0;
}
