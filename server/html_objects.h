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

#include "quillon/component/dispatch.h"
#include "quillon/component/identities.h"
#include "quillon/component/object.h"
#include "quillon/component/variant.h"

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

inline constexpr com::MemberTable kQHtmlDocMembers{u"IQHtmlDoc", &ids::IID_IQHtmlDoc, {}};
inline constexpr com::MemberTable kHtmlTagMembers{u"IHtmlTag", &ids::IID_IHtmlTag, {}};
inline constexpr com::MemberTable kHtmlTagsMembers{u"IHtmlTags", &ids::IID_IHtmlTags, {}};

class QHtmlDocObject : public com::ObjectBase,
                       public com::DispatchImpl<IQHtmlDoc, kQHtmlDocMembers>,
                       public com::ControlPersistence,
                       public com::SupportErrorInfoImpl<ids::IID_IQHtmlDoc>,
                       public com::IConnectionPointContainer {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<QHtmlDocObject, IQHtmlDoc>(ids::IID_IQHtmlDoc),
      com::Entry<QHtmlDocObject, com::IDispatch, IQHtmlDoc>(com::IID_IDispatch),
      com::Entry<QHtmlDocObject, com::IPersistStreamInit>(com::IID_IPersistStreamInit),
      com::Entry<QHtmlDocObject, com::IPersist, com::IPersistStreamInit>(com::IID_IPersist),
      com::Entry<QHtmlDocObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<QHtmlDocObject, com::IConnectionPointContainer>(
          com::IID_IConnectionPointContainer),
      com::Entry<QHtmlDocObject, com::ISpecifyPropertyPages>(com::IID_ISpecifyPropertyPages),
      com::Entry<QHtmlDocObject, com::IPersistStorage>(com::IID_IPersistStorage),
      com::Entry<QHtmlDocObject, com::IProvideClassInfo, com::IProvideClassInfo2>(
          com::IID_IProvideClassInfo),
      com::Entry<QHtmlDocObject, com::IProvideClassInfo2>(com::IID_IProvideClassInfo2),
      com::Entry<QHtmlDocObject, com::IPersistPropertyBag>(com::IID_IPersistPropertyBag),
  };

  explicit QHtmlDocObject(com::Module& module);

  HRESULT FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) override;
  // The saved properties are kept as loaded and saved back unchanged.
  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override;

 private:
  com::PropertyMap saved_;
  com::PropertyNotifyPoint notify_;
};

class HtmlTagObject : public com::ObjectBase,
                      public com::DispatchImpl<IHtmlTag, kHtmlTagMembers>,
                      public com::SupportErrorInfoImpl<ids::IID_IHtmlTag> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<HtmlTagObject, IHtmlTag>(ids::IID_IHtmlTag),
      com::Entry<HtmlTagObject, com::IDispatch, IHtmlTag>(com::IID_IDispatch),
      com::Entry<HtmlTagObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
  };
  explicit HtmlTagObject(com::Module& module) : ObjectBase(module) {}
};

// The collection enumerates itself; a new one holds no tags.
class HtmlTagsObject : public com::ObjectBase,
                       public com::DispatchImpl<IHtmlTags, kHtmlTagsMembers>,
                       public com::SupportErrorInfoImpl<ids::IID_IHtmlTags>,
                       public com::IEnumVARIANT {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<HtmlTagsObject, IHtmlTags>(ids::IID_IHtmlTags),
      com::Entry<HtmlTagsObject, com::IDispatch, IHtmlTags>(com::IID_IDispatch),
      com::Entry<HtmlTagsObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<HtmlTagsObject, com::IEnumVARIANT>(com::IID_IEnumVARIANT),
  };
  explicit HtmlTagsObject(com::Module& module)
      : ObjectBase(module), items_(std::make_shared<std::vector<com::Variant>>()) {}

  HRESULT Next(com::ULONG count, VARIANT* items, com::ULONG* fetched) override;
  HRESULT Skip(com::ULONG count) override;
  HRESULT Reset() override;
  HRESULT Clone(com::IEnumVARIANT** copy) override;

 private:
  std::shared_ptr<std::vector<com::Variant>> items_;
  size_t position_ = 0;
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
