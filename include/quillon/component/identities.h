// Every identity the toolkit publishes: type libraries, classes, interfaces,
// ProgIDs and dispatch identifiers. Defined here once; everything else refers
// to these names.
#ifndef QUILLON_COMPONENT_IDENTITIES_H_
#define QUILLON_COMPONENT_IDENTITIES_H_

#include "quillon/component/types.h"

namespace quillon::ids {

using com::Guid;
using com::DISPID;

// Type libraries: locale 0x409, version 3.4, help file "QUILLON.HLP",
// help context 1.
inline constexpr com::GUID LIBID_QClientLib = Guid("{92B7D140-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::GUID LIBID_QServerLib = Guid("{92B7D141-934B-11D2-A69F-00A0C93ED440}");
inline constexpr uint16_t kTypeLibMajor = 3;
inline constexpr uint16_t kTypeLibMinor = 4;
inline constexpr com::LCID kTypeLibLocale = 0x409;
inline constexpr char16_t kHelpFile[] = u"QUILLON.HLP";

// Classes.
inline constexpr com::CLSID CLSID_QClient = Guid("{92B7D149-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QClientPropPage = Guid("{92B7D14A-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QServer = Guid("{92B7D145-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QHtmlDoc = Guid("{92B7D14D-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_HtmlTag = Guid("{C88698F2-9435-11D2-A6A0-00A0C93ED440}");
inline constexpr com::CLSID CLSID_HtmlTags = Guid("{C88698F4-9435-11D2-A6A0-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QServerPropPage = Guid("{C5539671-2A79-11D5-A019-00D0B76B6A71}");
inline constexpr com::CLSID CLSID_QHtmlDocPropPage =
    Guid("{96785CE1-2A86-11D5-A019-00D0B76B6A71}");
inline constexpr com::CLSID CLSID_QMonitorDoc = Guid("{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}");

// Interfaces.
inline constexpr com::IID DIID_QClientDispatch = Guid("{92B7D147-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID DIID_QClientEvents = Guid("{92B7D148-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID IID_IQServer = Guid("{92B7D143-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID DIID__IQServerEvents = Guid("{92B7D144-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID IID_IQHtmlDoc = Guid("{92B7D14B-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID DIID__IQHtmlDocEvents = Guid("{92B7D14C-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID IID_IHtmlTag = Guid("{C88698F1-9435-11D2-A6A0-00A0C93ED440}");
inline constexpr com::IID IID_IHtmlTags = Guid("{C88698F3-9435-11D2-A6A0-00A0C93ED440}");

// ProgIDs.
inline constexpr char16_t kProgIdQClient[] = u"QClient.QClientCtrl.2";
inline constexpr char16_t kProgIdQClientPropPage[] = u"Quillon.QClientPropPage.1";
inline constexpr char16_t kProgIdQServer[] = u"QServer.QServer.3";
inline constexpr char16_t kProgIdQServerIndependent[] = u"QServer.QServer";
inline constexpr char16_t kProgIdQHtmlDoc[] = u"QServer.QHtmlDoc.3";
inline constexpr char16_t kProgIdQHtmlDocIndependent[] = u"QServer.QHtmlDoc";
inline constexpr char16_t kProgIdHtmlTag[] = u"QServer.HtmlTag.3";
inline constexpr char16_t kProgIdHtmlTagIndependent[] = u"QServer.HtmlTag";
inline constexpr char16_t kProgIdHtmlTags[] = u"QServer.HtmlTags.3";
inline constexpr char16_t kProgIdHtmlTagsIndependent[] = u"QServer.HtmlTags";
inline constexpr char16_t kProgIdQServerPropPage[] = u"QServer.QServerPropPage.3";
inline constexpr char16_t kProgIdQServerPropPageIndependent[] = u"QServer.QServerPropPage";
inline constexpr char16_t kProgIdQHtmlDocPropPage[] = u"QServer.QHtmlDocPropPage.3";
inline constexpr char16_t kProgIdQHtmlDocPropPageIndependent[] = u"QServer.QHtmlDocPropPage";
inline constexpr char16_t kProgIdQMonitor[] = u"Quillon.QMonitor";

// The client control's application name: the source of its errors.
inline constexpr char16_t kClientAppName[] = u"QClient";

// Miscellaneous status of the controls: set client site first, invisible at
// run time, activate when visible, inside-out, cannot link inside, recompose
// on resize.
inline constexpr uint32_t kControlMiscStatus = 132497;

// Database engine selection (qlDatabaseTypeConstants); any other value
// selects ADO.
enum qlDatabaseTypeConstants : int16_t {
  qlDAO35 = 0,
  qlDAO30 = 1,
  qlADO = 2,
  qlDAO36 = 3,
  qlDAOPassThrough = 4,
};

// Dispatch identifiers of IQServer.
namespace qserver {
inline constexpr DISPID kContentType = 1;
inline constexpr DISPID kResult = 2;
inline constexpr DISPID kOffLineDebug = 3;
inline constexpr DISPID kInternalPointer = 4;
inline constexpr DISPID kWriteString = 5;
inline constexpr DISPID kWriteCRLF = 6;
inline constexpr DISPID kWriteBinary = 7;
inline constexpr DISPID kWriteFromFile = 8;
inline constexpr DISPID kGetDataNameCount = 9;
inline constexpr DISPID kGetDataName = 10;
inline constexpr DISPID kGetSubIndexCount = 11;
inline constexpr DISPID kGetStringData = 12;
inline constexpr DISPID kGetRecordsetData = 13;
inline constexpr DISPID kGetBinaryData = 14;
inline constexpr DISPID kGetFileData = 15;
inline constexpr DISPID kSetStringData = 16;
inline constexpr DISPID kSetRecordsetData = 17;
inline constexpr DISPID kSetBinaryData = 18;
inline constexpr DISPID kSetFileData = 19;
inline constexpr DISPID kResetContents = 20;
inline constexpr DISPID kGetServerVariable = 21;
inline constexpr DISPID kGetULFileName = 22;
inline constexpr DISPID kGetULContentType = 23;
inline constexpr DISPID kCreateTempCopy = 24;
inline constexpr DISPID kSaveRequestData = 25;
inline constexpr DISPID kDebugInit = 26;
inline constexpr DISPID kDebugExit = 27;
inline constexpr DISPID kURLEncode = 28;
inline constexpr DISPID kURLDecode = 29;
inline constexpr DISPID kGetDataIntoRecordset = 30;
inline constexpr DISPID kSetDataFromRecordset = 31;
inline constexpr DISPID kGetCookie = 32;
inline constexpr DISPID kSetCookie = 33;
inline constexpr DISPID kSetExpires = 34;
inline constexpr DISPID kAddHeader = 35;
inline constexpr DISPID kSessionVariable = 36;
inline constexpr DISPID kAboutBox = -552;
}  // namespace qserver

// Dispatch identifiers of IQHtmlDoc.
namespace qhtmldoc {
inline constexpr DISPID kItemDefault = 0;
inline constexpr DISPID kDummyTagName = 1;
inline constexpr DISPID kHead = 2;
inline constexpr DISPID kBody = 3;
inline constexpr DISPID kTitle = 4;
inline constexpr DISPID kText = 5;
inline constexpr DISPID kHtmlWarning = 6;
inline constexpr DISPID kFindByID = 7;
inline constexpr DISPID kFindByTagName = 8;
inline constexpr DISPID kFindByParameter = 9;
inline constexpr DISPID kClear = 10;
inline constexpr DISPID kLoad = 11;
inline constexpr DISPID kWriteTo = 12;
inline constexpr DISPID kItem = 13;
inline constexpr DISPID kSetMasterPage = 14;
inline constexpr DISPID kDummyBlockTagName = 15;
inline constexpr DISPID kSave = 16;
inline constexpr DISPID kGetPageData = 17;
inline constexpr DISPID kSaveMasterPage = 18;
inline constexpr DISPID kGetMasterPage = 19;
inline constexpr DISPID kTextPosToTag = 20;
inline constexpr DISPID kTagToTextPos = 21;
inline constexpr DISPID kRoot = 22;
inline constexpr DISPID kIndentCode = 23;
inline constexpr DISPID kFindNext = 31;
inline constexpr DISPID kConvertMasterPage = 32;
inline constexpr DISPID kSetFindPosition = 33;
inline constexpr DISPID kAboutBox = -552;
}  // namespace qhtmldoc

// Dispatch identifiers of IHtmlTag.
namespace htmltag {
inline constexpr DISPID kTagsDefault = 0;
inline constexpr DISPID kParent = 1;
inline constexpr DISPID kTags = 2;
inline constexpr DISPID kTagName = 3;
inline constexpr DISPID kIndex = 4;
inline constexpr DISPID kText = 5;
inline constexpr DISPID kValue = 6;
inline constexpr DISPID kID = 7;
inline constexpr DISPID kNextTag = 8;
inline constexpr DISPID kPreviousTag = 9;
inline constexpr DISPID kParamCount = 10;
inline constexpr DISPID kWrite = 11;
inline constexpr DISPID kAdd = 12;
inline constexpr DISPID kInsertBefore = 13;
inline constexpr DISPID kInsertAfter = 14;
inline constexpr DISPID kRemove = 15;
inline constexpr DISPID kFindByID = 16;
inline constexpr DISPID kFindByTagName = 17;
inline constexpr DISPID kFindByParameter = 18;
inline constexpr DISPID kRemoveFromParent = 19;
inline constexpr DISPID kCopyBefore = 20;
inline constexpr DISPID kCopyAfter = 21;
inline constexpr DISPID kRemoveAll = 22;
inline constexpr DISPID kSelectRadio = 23;
inline constexpr DISPID kSelectOption = 24;
inline constexpr DISPID kParameter = 25;
inline constexpr DISPID kParamName = 26;
inline constexpr DISPID kAddCopy = 27;
inline constexpr DISPID kResetParameters = 28;
inline constexpr DISPID kLoadTabula = 29;
inline constexpr DISPID kInternalPointer = 30;
inline constexpr DISPID kReplace = 31;
}  // namespace htmltag

// Dispatch identifiers of IHtmlTags.
namespace htmltags {
inline constexpr DISPID kNewEnum = -4;
inline constexpr DISPID kItemDefault = 0;
inline constexpr DISPID kCount = 1;
inline constexpr DISPID kItem = 2;
}  // namespace htmltags

}  // namespace quillon::ids

#endif  // QUILLON_COMPONENT_IDENTITIES_H_
