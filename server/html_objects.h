// The other classes of the server library: the HTML document QHtmlDoc, the
// tag HtmlTag and the collection HtmlTags, and the two property pages.
// They exist and are creatable with their documented interface tables; the
// members of their dual interfaces come with the HTML engine, so their
// dispatch tables are empty for now (a call by name finds no member rather
// than pretending to work). A property page needs a desktop and answers
// IUnknown only.
#ifndef QUILLON_SERVER_HTML_OBJECTS_H_
#define QUILLON_SERVER_HTML_OBJECTS_H_

#include <memory>
#include <string>
#include <vector>

#include "quillon/component/control.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/object.h"
#include "quillon/component/variant.h"
#include "quillon/server/identities.h"

namespace quillon::server {

using com::HRESULT;
using com::VARIANT;

// The dual interfaces, without slots of their own yet.
struct IQHtmlDoc : com::IDispatch {
 protected:
  ~IQHtmlDoc() = default;
};
struct IHtmlTag : com::IDispatch {
 protected:
  ~IHtmlTag() = default;
};
struct IHtmlTags : com::IDispatch {
 protected:
  ~IHtmlTags() = default;
};

inline constexpr com::InterfaceTable<IQHtmlDoc> kQHtmlDocMembers{u"IQHtmlDoc",
                                                                 &ids::IID_IQHtmlDoc};
inline constexpr com::InterfaceTable<IHtmlTag> kHtmlTagMembers{u"IHtmlTag", &ids::IID_IHtmlTag};
inline constexpr com::InterfaceTable<IHtmlTags> kHtmlTagsMembers{u"IHtmlTags",
                                                                 &ids::IID_IHtmlTags};

class QHtmlDocObject : public com::ControlBase<QHtmlDocObject, IQHtmlDoc, kQHtmlDocMembers> {
 public:
  static constexpr auto kInterfaces =
      com::ControlInterfaces<QHtmlDocObject, IQHtmlDoc>(ids::IID_IQHtmlDoc);

  explicit QHtmlDocObject(com::Module& module);

  // The saved properties are kept as loaded and saved back unchanged.
  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override;

 private:
  com::PropertyMap saved_;
};

class HtmlTagObject : public com::ObjectBase,
                      public com::DispatchImpl<IHtmlTag, kHtmlTagMembers>,
                      public com::DispatchMembersImpl<IHtmlTag, kHtmlTagMembers>,
                      public com::SupportErrorInfoImpl<ids::IID_IHtmlTag> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<HtmlTagObject, IHtmlTag>(ids::IID_IHtmlTag),
      com::Entry<HtmlTagObject, com::IDispatch, IHtmlTag>(com::IID_IDispatch),
      com::Entry<HtmlTagObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<HtmlTagObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };
  explicit HtmlTagObject(com::Module& module) : ObjectBase(module) {}
};

// The collection enumerates itself; a new one holds no tags.
class HtmlTagsObject : public com::ObjectBase,
                       public com::DispatchImpl<IHtmlTags, kHtmlTagsMembers>,
                       public com::DispatchMembersImpl<IHtmlTags, kHtmlTagsMembers>,
                       public com::SupportErrorInfoImpl<ids::IID_IHtmlTags>,
                       public com::VariantCursor {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<HtmlTagsObject, IHtmlTags>(ids::IID_IHtmlTags),
      com::Entry<HtmlTagsObject, com::IDispatch, IHtmlTags>(com::IID_IDispatch),
      com::Entry<HtmlTagsObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<HtmlTagsObject, com::IEnumVARIANT>(com::IID_IEnumVARIANT),
      com::Entry<HtmlTagsObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };
  explicit HtmlTagsObject(com::Module& module)
      : ObjectBase(module),
        VariantCursor(module, std::make_shared<const std::vector<com::Variant>>()) {}
};

// QServerPropPage and QHtmlDocPropPage.
template <const com::CLSID& kClsid>
class PropertyPageObject : public com::ObjectBase, public com::IUnknown {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<PropertyPageObject, com::IUnknown>(com::IID_IUnknown),
  };
  explicit PropertyPageObject(com::Module& module) : ObjectBase(module) {}
};

using QServerPropPageObject = PropertyPageObject<ids::CLSID_QServerPropPage>;
using QHtmlDocPropPageObject = PropertyPageObject<ids::CLSID_QHtmlDocPropPage>;

}  // namespace quillon::server

#endif  // QUILLON_SERVER_HTML_OBJECTS_H_
