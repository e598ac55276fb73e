// The monitor's own messages (the numbers of its string table) and the
// readable description of a failed creation or call.
#ifndef QUILLON_MONITOR_RUN_RUN_MESSAGES_H_
#define QUILLON_MONITOR_RUN_RUN_MESSAGES_H_

#include <string>
#include <string_view>

#include "quillon/component/types.h"

namespace quillon::monitor {

// 100: the component platform could not be initialised.
inline constexpr std::u16string_view kMsgPlatformInitFailed =
    u"OLE の初期化に失敗しました。OLE ﾗｲﾌﾞﾗﾘが正しいﾊﾞｰｼﾞｮﾝのものか確認してください。";
// 1001: the debug object could not be created (followed by the failure's
// description and 1003).
inline constexpr std::u16string_view kMsgCallFailed =
    u"サーバ・アプリケーションの呼び出しに失敗しました。 返されたメッセージは以下のとおりです。\n\n";
// 1002: the call failed without an error the object reported.
inline constexpr std::u16string_view kMsgServerFailed =
    u"サーバ・アプリケーションからエラーが返されました。 "
    u"サーバ・アプリケーションが強制終了させられたか、正常に稼動していない可能性があります。";
// 1003: the hint that follows 1001.
inline constexpr std::u16string_view kMsgDebugHint =
    u"\nサーバアプリケーションのデバッグ機能の使用をオンにしている場合、Visual "
    u"Basicの開発環境でプログラムが実行されている必要があります。\nIISおよびPWSでは、"
    u"\"自動的なパスワードの同期\"をオフにすることで回避できる場合があります。";

// The text by number (100, 1001, 1002, 1003); empty for any other number.
std::u16string_view MonitorMessage(int number);

// What the platform says about a failure code: the system's message text
// for the codes creation and calls produce ("Class not registered",
// "Invalid class string", "The object invoked has disconnected from its
// clients." ...), without a trailing line end; for any other code
// "Unknown error 0x8XXXXXXX" with the code in upper-case hex.
std::u16string DescribeFailure(com::HRESULT hr);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_RUN_RUN_MESSAGES_H_
