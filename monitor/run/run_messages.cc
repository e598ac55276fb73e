#include "monitor/run/run_messages.h"

#include <cstdio>

#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"

namespace quillon::monitor {
namespace {

struct FailureText {
  uint32_t code;
  const char16_t* text;
};

// The system texts of the codes that creating a debug object or calling it
// can end with, in- or out-of-process.
constexpr FailureText kFailureTexts[] = {
    {0x80004001u, u"Not implemented"},
    {0x80004002u, u"No such interface supported"},
    {0x80004003u, u"Invalid pointer"},
    {0x80004004u, u"Operation aborted"},
    {0x80004005u, u"Unspecified error"},
    {0x8000FFFFu, u"Catastrophic failure"},
    {0x80070005u, u"Access is denied."},
    {0x8007000Eu, u"Not enough memory resources are available to complete this operation."},
    {0x80070057u, u"The parameter is incorrect."},
    {0x80040110u, u"Class does not support aggregation"},
    {0x80040111u, u"ClassFactory cannot supply requested class"},
    {0x80040150u, u"Could not read key from registry"},
    {0x80040151u, u"Could not write key to registry"},
    {0x80040154u, u"Class not registered"},
    {0x800401F3u, u"Invalid class string"},
    {0x800401F8u, u"DLL for class not found"},
    {0x800401F9u, u"Error in the DLL"},
    {0x80080005u, u"Server execution failed"},
    {0x80080008u, u"Object server is stopping when OLE service contacts it"},
    {0x80010105u, u"The server threw an exception."},
    {0x80010108u, u"The object invoked has disconnected from its clients."},
    {0x800706BAu, u"The RPC server is unavailable."},
    {0x800706BEu, u"The remote procedure call failed."},
};

}  // namespace

std::u16string MonitorMessage(int number) {
  switch (number) {
    case 100:
    case 1001:
    case 1002:
    case 1003:
      return MessageOrUnknown(number);
    default:
      return {};
  }
}

std::u16string DescribeFailure(com::HRESULT hr) {
  const auto code = static_cast<uint32_t>(hr);
  for (const FailureText& entry : kFailureTexts) {
    if (entry.code == code) return entry.text;
  }
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X", code);
  return com::Utf8ToUtf16(buffer);
}

}  // namespace quillon::monitor
