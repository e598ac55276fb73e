// The monitor's own messages (the numbers of its string table) and the
// readable description of a failed creation or call.
#ifndef QUILLON_MONITOR_RUN_RUN_MESSAGES_H_
#define QUILLON_MONITOR_RUN_RUN_MESSAGES_H_

#include <string>
#include <string_view>

#include "quillon/component/types.h"

namespace quillon::monitor {

// The monitor's messages by number: 100 (the component platform could not
// be initialised), 1001 (the debug object could not be created; followed
// by the failure's description and 1003), 1002 (the call failed without an
// error the object reported), 1003 (the hint that follows 1001). The
// toolkit's table texts, in English under QUILLON_MESSAGES=en; empty for
// any other number.
std::u16string MonitorMessage(int number);

// What the platform says about a failure code: the system's message text
// for the codes creation and calls produce ("Class not registered",
// "Invalid class string", "The object invoked has disconnected from its
// clients." ...), without a trailing line end; for any other code
// "Unknown error 0x8XXXXXXX" with the code in upper-case hex.
std::u16string DescribeFailure(com::HRESULT hr);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_RUN_RUN_MESSAGES_H_
