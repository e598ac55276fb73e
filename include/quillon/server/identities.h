// The identities the server library publishes: its type library, classes,
// interfaces and ProgIDs. The dispatch identifiers live in each class's
// member table, their one source.
#ifndef QUILLON_SERVER_IDENTITIES_H_
#define QUILLON_SERVER_IDENTITIES_H_

#include "quillon/core/product.h"

namespace quillon::ids {

inline constexpr com::GUID LIBID_QServerLib = Guid("{92B7D141-934B-11D2-A69F-00A0C93ED440}");

inline constexpr com::CLSID CLSID_QServer = Guid("{92B7D145-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QHtmlDoc = Guid("{92B7D14D-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_HtmlTag = Guid("{C88698F2-9435-11D2-A6A0-00A0C93ED440}");
inline constexpr com::CLSID CLSID_HtmlTags = Guid("{C88698F4-9435-11D2-A6A0-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QServerPropPage = Guid("{C5539671-2A79-11D5-A019-00D0B76B6A71}");
inline constexpr com::CLSID CLSID_QHtmlDocPropPage =
    Guid("{96785CE1-2A86-11D5-A019-00D0B76B6A71}");

inline constexpr com::IID IID_IQServer = Guid("{92B7D143-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID DIID__IQServerEvents = Guid("{92B7D144-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID IID_IQHtmlDoc = Guid("{92B7D14B-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID DIID__IQHtmlDocEvents = Guid("{92B7D14C-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID IID_IHtmlTag = Guid("{C88698F1-9435-11D2-A6A0-00A0C93ED440}");
inline constexpr com::IID IID_IHtmlTags = Guid("{C88698F3-9435-11D2-A6A0-00A0C93ED440}");

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

}  // namespace quillon::ids

#endif  // QUILLON_SERVER_IDENTITIES_H_
