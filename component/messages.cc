// The toolkit's string tables: every numbered message, exact to the byte,
// and the English text a developer may ask for instead (QUILLON_MESSAGES=en).
// Texts are UTF-8 here and reach hosts as UTF-16; a "\n" is a line break
// stored in the message itself.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"

namespace quillon {
namespace {

struct Entry {
  int number;
  const char8_t* japanese;  // the contract's text, byte for byte
  const char* english;      // the same message translated; same line breaks,
                            // and a label where the Japanese ends in "＝"
};

// Sorted by number.
constexpr Entry kMessages[] = {
    {100, u8"OLE の初期化に失敗しました。OLE ﾗｲﾌﾞﾗﾘが正しいﾊﾞｰｼﾞｮﾝのものか確認してください。",
     "Initializing OLE failed. Check that the OLE libraries are the right version."},
    {1001, u8"サーバ・アプリケーションの呼び出しに失敗しました。 返されたメッセージは以下のとおりです。\n\n",
     "Calling the server application failed. The message it returned follows.\n\n"},
    {1002, u8"サーバ・アプリケーションからエラーが返されました。 サーバ・アプリケーションが強制終了させられたか、正常に稼動していない可能性があります。",
     "The server application returned an error. It may have been killed, or it may not be "
     "running properly."},
    {1003, u8"\nサーバアプリケーションのデバッグ機能の使用をオンにしている場合、Visual Basicの開発環境でプログラムが実行されている必要があります。\nIISおよびPWSでは、\"自動的なパスワードの同期\"をオフにすることで回避できる場合があります。",
     "\nWhen debugging is turned on for the server application, the program must be running in "
     "the Visual Basic development environment.\nOn IIS and PWS, turning off \"automatic "
     "password synchronization\" may avoid this."},
    {10001, u8"バイナリ・データの形式が無効です。 Byte型の配列のみ使用可能です。",
     "The binary data is not in a valid form. Only arrays of type Byte can be used."},
    {10002, u8"指定されたファイルが存在しないか、ファイルの読み込みができません。",
     "The file does not exist or cannot be read."},
    {10003, u8"指定されたファイルへの書き込みができません。", "The file cannot be written."},
    {10004, u8"指定されたインデックスの値は無効です。", "The index is not valid."},
    {10005, u8"指定されたＣＧＩパラメータは存在しません。 パラメータ名＝",
     "The CGI parameter does not exist. Parameter name: "},
    {10006, u8"このメソッドは、マルチパート形式のフォームからのリクエストに対してのみ使用可能です",
     "This method can be used only for requests from a multipart form."},
    {10011, u8"出力先として指定されたオブジェクトが無効です。 有効なQServerコントロールを指定してください。",
     "The object given as the output is not valid. Give a valid QServer control."},
    {10012, u8"コピー先として指定されたオブジェクトが無効です。 有効なHtmlTagオブジェクトを指定してください。",
     "The object given as the copy target is not valid. Give a valid HtmlTag object."},
    {10013, u8"該当する位置にHtmlTagオブジェクトは存在しません。",
     "There is no HtmlTag object at that position."},
    {10021, u8"下位のタグを終了せずに、上位のタグを終了しようとしています。 強制的に下位のタグを終了させました。",
     "An outer tag ends while tags inside it are still open. The inner tags were ended first."},
    {10022, u8"開始していないタグを終了しようとしています。 このタグ終了コードは削除されます。",
     "An end tag has no start tag to end. The end tag is removed."},
    {10023, u8"同名のタグをネストしようとしています。 直前のタグが終了していない可能性があります。 強制的に直前のタグを終了しました。",
     "A tag is nested inside a tag of the same name. The earlier tag may lack its end tag. "
     "The earlier tag was ended."},
    {10031, u8"Ｗｅｂサーバーから、エラーが返されました。 エラーコード＝",
     "The web server returned an error. Error code: "},
    {10032, u8"指定されたＣＧＩアプリケーションは、このクライアントで使用できるデータを返却していません。\n返された内容は以下のとおりです。",
     "The CGI application did not return data this client can use.\nWhat it returned follows."},
    {10033, u8"ＨＴＴＰサーバーへの接続に失敗しました。 エラーコード＝",
     "Connecting to the HTTP server failed. Error code: "},
    {10034, u8"HTTPサーバーからの返却データ読み取り中にエラーが発生しました。",
     "Reading the data returned by the HTTP server failed."},
    {10035, u8"予期せぬエラーが発生しました。", "An unexpected error occurred."},
    {20001, u8"データベース・エンジンが取得できませんでした。 ＤＡＯが正しくセットアップされていないか、セットアップされているものとは異なるバージョンのＤＡＯを選択している可能性があります。",
     "The database engine could not be obtained. DAO may not be set up correctly, or a version "
     "of DAO other than the one set up may have been chosen."},
    {20002, u8"無効なレコードセットが指定されました。(内部エラー)",
     "The recordset given is not valid. (internal error)"},
    {20003, u8"レコードセット操作で、無効なパラメータが指定されました。(内部エラー)",
     "A recordset operation was given a parameter that is not valid. (internal error)"},
    {20004, u8"レコードセット操作で、データ型の変換に失敗しました。",
     "A recordset operation failed to convert a data type."},
    {20005, u8"レコードセット操作で、無効なフィールド名が指定されました。",
     "A recordset operation was given a field name that is not valid."},
    {20006, u8"ＡＤＯコネクション・オブジェクトが取得できませんでした。\nＡＤＯが正しくセットアップされていない可能性があります。",
     "The ADO Connection object could not be obtained.\nADO may not be set up correctly."},
    {20007, u8"このＡＤＯプロバイダは、スキーマの取得をサポートしていません。 \nそのため、テーブル名一覧および、フィールド一覧を表示することができません。",
     "This ADO provider cannot read the schema.\nSo the list of tables and the list of fields "
     "cannot be shown."},
    {20099, u8"レコードセット操作で、予期せぬエラーが発生しました。",
     "An unexpected error occurred in a recordset operation."},
};

constexpr char16_t kUnknown[] = u"Unknown Error";

const Entry* Find(int number) {
  const auto* it = std::lower_bound(std::begin(kMessages), std::end(kMessages), number,
                                    [](const Entry& e, int n) { return e.number < n; });
  return it == std::end(kMessages) || it->number != number ? nullptr : it;
}

}  // namespace

MessageLanguage CurrentMessageLanguage() {
  // Read at every call: failures are rare, and a process (or a test) may
  // change its environment between them.
  const char* setting = std::getenv("QUILLON_MESSAGES");
  return setting != nullptr && std::strcmp(setting, "en") == 0 ? MessageLanguage::kEnglish
                                                               : MessageLanguage::kJapanese;
}

std::string_view MessageText(int number) { return MessageText(number, MessageLanguage::kJapanese); }

std::string_view MessageText(int number, MessageLanguage language) {
  const Entry* entry = Find(number);
  if (entry == nullptr) return {};
  if (language == MessageLanguage::kEnglish) return entry->english;
  return reinterpret_cast<const char*>(entry->japanese);
}

std::u16string MessageText16(int number) { return com::Utf8ToUtf16(MessageText(number)); }

std::u16string MessageOrUnknown(int number) {
  return MessageOrUnknown(number, CurrentMessageLanguage());
}

std::u16string MessageOrUnknown(int number, MessageLanguage language) {
  std::u16string text = com::Utf8ToUtf16(MessageText(number, language));
  return text.empty() ? std::u16string(kUnknown) : text;
}

}  // namespace quillon
