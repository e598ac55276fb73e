// The toolkit's string tables: every numbered message, exact to the byte.
// Texts are UTF-8 here and reach hosts as UTF-16; a "\n" is a line break
// stored in the message itself.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"

namespace quillon {
namespace {

struct Entry {
  int number;
  const char8_t* text;
};

// Sorted by number.
constexpr Entry kMessages[] = {
    {100, u8"OLE の初期化に失敗しました。OLE ﾗｲﾌﾞﾗﾘが正しいﾊﾞｰｼﾞｮﾝのものか確認してください。"},
    {1001, u8"サーバ・アプリケーションの呼び出しに失敗しました。 返されたメッセージは以下のとおりです。\n\n"},
    {1002, u8"サーバ・アプリケーションからエラーが返されました。 サーバ・アプリケーションが強制終了させられたか、正常に稼動していない可能性があります。"},
    {1003, u8"\nサーバアプリケーションのデバッグ機能の使用をオンにしている場合、Visual Basicの開発環境でプログラムが実行されている必要があります。\nIISおよびPWSでは、\"自動的なパスワードの同期\"をオフにすることで回避できる場合があります。"},
    {10001, u8"バイナリ・データの形式が無効です。 Byte型の配列のみ使用可能です。"},
    {10002, u8"指定されたファイルが存在しないか、ファイルの読み込みができません。"},
    {10003, u8"指定されたファイルへの書き込みができません。"},
    {10004, u8"指定されたインデックスの値は無効です。"},
    {10005, u8"指定されたＣＧＩパラメータは存在しません。 パラメータ名＝"},
    {10006, u8"このメソッドは、マルチパート形式のフォームからのリクエストに対してのみ使用可能です"},
    {10011, u8"出力先として指定されたオブジェクトが無効です。 有効なQServerコントロールを指定してください。"},
    {10012, u8"コピー先として指定されたオブジェクトが無効です。 有効なHtmlTagオブジェクトを指定してください。"},
    {10013, u8"該当する位置にHtmlTagオブジェクトは存在しません。"},
    {10021, u8"下位のタグを終了せずに、上位のタグを終了しようとしています。 強制的に下位のタグを終了させました。"},
    {10022, u8"開始していないタグを終了しようとしています。 このタグ終了コードは削除されます。"},
    {10023, u8"同名のタグをネストしようとしています。 直前のタグが終了していない可能性があります。 強制的に直前のタグを終了しました。"},
    {10031, u8"Ｗｅｂサーバーから、エラーが返されました。 エラーコード＝"},
    {10032, u8"指定されたＣＧＩアプリケーションは、このクライアントで使用できるデータを返却していません。\n返された内容は以下のとおりです。"},
    {10033, u8"ＨＴＴＰサーバーへの接続に失敗しました。 エラーコード＝"},
    {10034, u8"HTTPサーバーからの返却データ読み取り中にエラーが発生しました。"},
    {10035, u8"予期せぬエラーが発生しました。"},
    {20001, u8"データベース・エンジンが取得できませんでした。 ＤＡＯが正しくセットアップされていないか、セットアップされているものとは異なるバージョンのＤＡＯを選択している可能性があります。"},
    {20002, u8"無効なレコードセットが指定されました。(内部エラー)"},
    {20003, u8"レコードセット操作で、無効なパラメータが指定されました。(内部エラー)"},
    {20004, u8"レコードセット操作で、データ型の変換に失敗しました。"},
    {20005, u8"レコードセット操作で、無効なフィールド名が指定されました。"},
    {20006, u8"ＡＤＯコネクション・オブジェクトが取得できませんでした。\nＡＤＯが正しくセットアップされていない可能性があります。"},
    {20007, u8"このＡＤＯプロバイダは、スキーマの取得をサポートしていません。 \nそのため、テーブル名一覧および、フィールド一覧を表示することができません。"},
    {20099, u8"レコードセット操作で、予期せぬエラーが発生しました。"},
};

}  // namespace

std::string_view MessageText(int number) {
  const auto* it = std::lower_bound(std::begin(kMessages), std::end(kMessages), number,
                                    [](const Entry& e, int n) { return e.number < n; });
  if (it == std::end(kMessages) || it->number != number) return {};
  return reinterpret_cast<const char*>(it->text);
}

std::u16string MessageText16(int number) { return com::Utf8ToUtf16(MessageText(number)); }

std::u16string MessageOrUnknown(int number) {
  std::u16string text = MessageText16(number);
  return text.empty() ? std::u16string(u"Unknown Error") : text;
}

}  // namespace quillon
