// A ".REQ" capture file as the monitor loads it and the server replays it:
// LoadRequestText, then DebugInit of an offline server with its
// environment and parameter text, then every value read back.
// Properties: the capture written back as a file and loaded again is the
// same capture (for captures a file can hold), and the replayed names are
// those the server lists.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "monitor/ui/capture.h"
#include "quillon/server/qserver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  quillon::monitor::RequestCapture capture;
  quillon::monitor::LoadRequestText(file, &capture);
  if (capture.EnvironmentLine.find_first_of("\r\n") != std::string::npos) std::abort();
  if (!capture.ParameterText.empty() &&
      (capture.ParameterText.front() == '\r' || capture.ParameterText.front() == '\n')) {
    std::abort();
  }
  quillon::monitor::RequestCapture again;
  quillon::monitor::LoadRequestText(quillon::monitor::RequestFileBytes(capture), &again);
  if (again.EnvironmentLine != capture.EnvironmentLine ||
      again.ParameterText != capture.ParameterText) {
    std::abort();
  }

  try {
    quillon::server::QServer server;
    server.StartOffLineDebug();
    // The environment line as one variable block, the way the editors
    // hand a capture to the page.
    server.DebugInit(capture.EnvironmentLine, capture.ParameterText);
    const int32_t names = server.GetDataNameCount();
    for (int32_t i = 0; i < names; ++i) {
      const std::string name = server.GetDataName(i);
      const int32_t count = server.GetSubIndexCount(name);
      if (count < 1) std::abort();
      for (int32_t k = 0; k < count; ++k) (void)server.GetStringData(name, k);
    }
    (void)server.DebugExit();
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
