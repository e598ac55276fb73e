// The HTML classes of the server library: the document QHtmlDoc, the tag
// HtmlTag and the collection HtmlTags over the plain engine of
// include/quillon/html. (The property pages are objects of the desktop
// library: quillon/desktop/loader.h.)
//
// A tag has one automation object at a time: asking for the same tag twice
// gives the same object, so scripts can compare them. The object holds a
// reference to its tag, so a tag a script holds stays valid after it was
// removed from its tree (Parent is then Nothing, Index -1).
#ifndef QUILLON_SERVER_HTML_OBJECTS_H_
#define QUILLON_SERVER_HTML_OBJECTS_H_

#include <memory>
#include <string>
#include <vector>

#include "quillon/component/control.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/object.h"
#include "quillon/component/variant.h"
#include "quillon/html/document.h"
#include "quillon/html/tag.h"
#include "quillon/server/identities.h"
#include "quillon/server/response_output.h"

namespace quillon::server {

using com::BSTR;
using com::HRESULT;
using com::IDispatch;
using com::IUnknown;
using com::VARIANT;
using com::VARIANT_BOOL;

struct IHtmlTag : IDispatch {
  virtual HRESULT get__Tags(IDispatch** v) = 0;
  virtual HRESULT get_Parent(IDispatch** v) = 0;
  virtual HRESULT get_Tags(IDispatch** v) = 0;
  virtual HRESULT get_TagName(BSTR* v) = 0;
  virtual HRESULT put_TagName(BSTR v) = 0;
  virtual HRESULT get_Index(int32_t* v) = 0;
  virtual HRESULT get_Text(BSTR* v) = 0;
  virtual HRESULT put_Text(BSTR v) = 0;
  virtual HRESULT get_Value(BSTR* v) = 0;
  virtual HRESULT put_Value(BSTR v) = 0;
  virtual HRESULT get_ID(BSTR* v) = 0;
  virtual HRESULT put_ID(BSTR v) = 0;
  virtual HRESULT get_NextTag(IDispatch** v) = 0;
  virtual HRESULT get_PreviousTag(IDispatch** v) = 0;
  virtual HRESULT get_ParamCount(int32_t* v) = 0;
  virtual HRESULT Write() = 0;
  virtual HRESULT Add(BSTR ID, BSTR TagName, IDispatch** v) = 0;
  virtual HRESULT InsertBefore(VARIANT Before, BSTR ID, BSTR TagName, IDispatch** v) = 0;
  virtual HRESULT InsertAfter(VARIANT After, BSTR ID, BSTR TagName, IDispatch** v) = 0;
  virtual HRESULT Remove(VARIANT Target, int32_t Count) = 0;
  virtual HRESULT FindByID(BSTR ID, IDispatch** v) = 0;
  virtual HRESULT FindByTagName(BSTR TagName, IDispatch** v) = 0;
  virtual HRESULT FindByParameter(BSTR ParamName, BSTR ParamValue, IDispatch** v) = 0;
  virtual HRESULT RemoveFromParent() = 0;
  virtual HRESULT CopyBefore(IDispatch* Before, int32_t Count) = 0;
  virtual HRESULT CopyAfter(IDispatch* After, int32_t Count) = 0;
  virtual HRESULT RemoveAll() = 0;
  virtual HRESULT SelectRadio(BSTR RadioName, BSTR SelValue) = 0;
  virtual HRESULT SelectOption(BSTR SelValue) = 0;
  virtual HRESULT get_Parameter(BSTR ParamName, BSTR* v) = 0;
  virtual HRESULT put_Parameter(BSTR ParamName, BSTR v) = 0;
  virtual HRESULT get_ParamName(int32_t Index, BSTR* v) = 0;
  virtual HRESULT AddCopy(IDispatch* Under, int32_t Count) = 0;
  virtual HRESULT ResetParameters() = 0;
  virtual HRESULT LoadTabula(IDispatch* Tabula, VARIANT_BOOL VisibleAreaOnly,
                             VARIANT_BOOL FormType) = 0;
  virtual HRESULT get__InternalPointer(int32_t* v) = 0;
  virtual HRESULT Replace(IDispatch* ReplaceBy) = 0;

 protected:
  ~IHtmlTag() = default;
};

// Every documented member has a slot of its own in the documented order,
// even where two serve alike (_Item and Item).
struct IHtmlTags : IDispatch {
  virtual HRESULT get__NewEnum(IUnknown** v) = 0;
  virtual HRESULT get__Item(VARIANT Index, IDispatch** v) = 0;
  virtual HRESULT get_Count(int32_t* v) = 0;
  virtual HRESULT get_Item(VARIANT Index, IDispatch** v) = 0;

 protected:
  ~IHtmlTags() = default;
};

struct IQHtmlDoc : IDispatch {
  virtual HRESULT get__Item(VARIANT Index, IDispatch** v) = 0;
  virtual HRESULT get_DummyTagName(BSTR* v) = 0;
  virtual HRESULT put_DummyTagName(BSTR v) = 0;
  virtual HRESULT get_Head(IDispatch** v) = 0;
  virtual HRESULT get_Body(IDispatch** v) = 0;
  virtual HRESULT get_Title(BSTR* v) = 0;
  virtual HRESULT put_Title(BSTR v) = 0;
  virtual HRESULT get_Text(BSTR* v) = 0;
  virtual HRESULT put_Text(BSTR v) = 0;
  virtual HRESULT get_HtmlWarning(BSTR* v) = 0;
  virtual HRESULT FindByID(BSTR ID, IDispatch** v) = 0;
  virtual HRESULT FindByTagName(BSTR TagName, IDispatch** v) = 0;
  virtual HRESULT FindByParameter(BSTR ParamName, BSTR ParamValue, IDispatch** v) = 0;
  virtual HRESULT Clear() = 0;
  virtual HRESULT Load(BSTR FileName) = 0;
  virtual HRESULT WriteTo(IDispatch* QServer) = 0;
  virtual HRESULT get_Item(VARIANT Index, IDispatch** v) = 0;
  virtual HRESULT SetMasterPage(BSTR PageData) = 0;
  virtual HRESULT get_DummyBlockTagName(BSTR* v) = 0;
  virtual HRESULT put_DummyBlockTagName(BSTR v) = 0;
  virtual HRESULT Save(BSTR FileName) = 0;
  virtual HRESULT GetPageData(BSTR* v) = 0;
  virtual HRESULT SaveMasterPage(BSTR FileName) = 0;
  virtual HRESULT GetMasterPage(BSTR* v) = 0;
  virtual HRESULT TextPosToTag(VARIANT_BOOL UseMasterPage, int32_t Pos, IDispatch** v) = 0;
  virtual HRESULT TagToTextPos(VARIANT_BOOL UseMasterPage, IDispatch* Tag, int32_t* TextBegin,
                               int32_t* TextEnd) = 0;
  virtual HRESULT get_Root(IDispatch** v) = 0;
  virtual HRESULT get_IndentCode(BSTR* v) = 0;
  virtual HRESULT put_IndentCode(BSTR v) = 0;
  virtual HRESULT FindNext(IDispatch** v) = 0;
  virtual HRESULT get_ConvertMasterPage(VARIANT_BOOL* v) = 0;
  virtual HRESULT put_ConvertMasterPage(VARIANT_BOOL v) = 0;
  virtual HRESULT SetFindPosition(IDispatch* CurrentTag) = 0;
  virtual HRESULT AboutBox() = 0;

 protected:
  ~IQHtmlDoc() = default;
};

inline constexpr auto kHtmlTagMemberList = com::Members<IHtmlTag>(
    com::Get<&IHtmlTag::get__Tags>(0, u"_Tags", {.hidden = true}),
    com::Get<&IHtmlTag::get_Parent>(1, u"Parent"),
    com::Get<&IHtmlTag::get_Tags>(2, u"Tags"),
    com::Get<&IHtmlTag::get_TagName>(3, u"TagName"),
    com::Put<&IHtmlTag::put_TagName>(3, u"TagName"),
    com::Get<&IHtmlTag::get_Index>(4, u"Index"),
    com::Get<&IHtmlTag::get_Text>(5, u"Text"),
    com::Put<&IHtmlTag::put_Text>(5, u"Text"),
    com::Get<&IHtmlTag::get_Value>(6, u"Value"),
    com::Put<&IHtmlTag::put_Value>(6, u"Value"),
    com::Get<&IHtmlTag::get_ID>(7, u"ID"),
    com::Put<&IHtmlTag::put_ID>(7, u"ID"),
    com::Get<&IHtmlTag::get_NextTag>(8, u"NextTag"),
    com::Get<&IHtmlTag::get_PreviousTag>(9, u"PreviousTag"),
    com::Get<&IHtmlTag::get_ParamCount>(10, u"ParamCount"),
    com::Method<&IHtmlTag::Write>(11, u"Write", {.hidden = true}),
    com::Function<&IHtmlTag::Add>(12, u"Add(ID, TagName)"),
    com::Function<&IHtmlTag::InsertBefore>(13, u"InsertBefore(Before, ID, TagName)"),
    com::Function<&IHtmlTag::InsertAfter>(14, u"InsertAfter(After, ID, TagName)"),
    com::Method<&IHtmlTag::Remove>(15, u"Remove(Target, Count)"),
    com::Function<&IHtmlTag::FindByID>(16, u"FindByID(ID)"),
    com::Function<&IHtmlTag::FindByTagName>(17, u"FindByTagName(TagName)"),
    com::Function<&IHtmlTag::FindByParameter>(18, u"FindByParameter(ParamName, ParamValue)"),
    com::Method<&IHtmlTag::RemoveFromParent>(19, u"RemoveFromParent"),
    com::Method<&IHtmlTag::CopyBefore>(20, u"CopyBefore(Before, Count)"),
    com::Method<&IHtmlTag::CopyAfter>(21, u"CopyAfter(After, Count)"),
    com::Method<&IHtmlTag::RemoveAll>(22, u"RemoveAll"),
    com::Method<&IHtmlTag::SelectRadio>(23, u"SelectRadio(RadioName, SelValue)"),
    com::Method<&IHtmlTag::SelectOption>(24, u"SelectOption(SelValue)"),
    com::Get<&IHtmlTag::get_Parameter>(25, u"Parameter(ParamName)"),
    com::Put<&IHtmlTag::put_Parameter>(25, u"Parameter(ParamName)"),
    com::Get<&IHtmlTag::get_ParamName>(26, u"ParamName(Index)"),
    com::Method<&IHtmlTag::AddCopy>(27, u"AddCopy(Under, Count)"),
    com::Method<&IHtmlTag::ResetParameters>(28, u"ResetParameters"),
    com::Method<&IHtmlTag::LoadTabula>(29, u"LoadTabula(Tabula, VisibleAreaOnly, FormType)"),
    com::Get<&IHtmlTag::get__InternalPointer>(30, u"_InternalPointer", {.hidden = true}),
    com::Method<&IHtmlTag::Replace>(31, u"Replace(ReplaceBy)"));
inline constexpr com::InterfaceTable<IHtmlTag> kHtmlTagMembers{u"IHtmlTag", &ids::IID_IHtmlTag,
                                                               kHtmlTagMemberList};

inline constexpr auto kHtmlTagsMemberList = com::Members<IHtmlTags>(
    com::Get<&IHtmlTags::get__NewEnum>(com::DISPID_NEWENUM, u"_NewEnum", {.hidden = true}),
    com::Get<&IHtmlTags::get__Item>(com::DISPID_VALUE, u"_Item(Index)", {.hidden = true}),
    com::Get<&IHtmlTags::get_Count>(1, u"Count"),
    com::Get<&IHtmlTags::get_Item>(2, u"Item(Index)"));
inline constexpr com::InterfaceTable<IHtmlTags> kHtmlTagsMembers{
    u"IHtmlTags", &ids::IID_IHtmlTags, kHtmlTagsMemberList};

inline constexpr auto kQHtmlDocMemberList = com::Members<IQHtmlDoc>(
    com::Get<&IQHtmlDoc::get__Item>(com::DISPID_VALUE, u"_Item(Index)", {.hidden = true}),
    com::Get<&IQHtmlDoc::get_DummyTagName>(1, u"DummyTagName"),
    com::Put<&IQHtmlDoc::put_DummyTagName>(1, u"DummyTagName"),
    com::Get<&IQHtmlDoc::get_Head>(2, u"Head"),
    com::Get<&IQHtmlDoc::get_Body>(3, u"Body"),
    com::Get<&IQHtmlDoc::get_Title>(4, u"Title"),
    com::Put<&IQHtmlDoc::put_Title>(4, u"Title"),
    com::Get<&IQHtmlDoc::get_Text>(5, u"Text"),
    com::Put<&IQHtmlDoc::put_Text>(5, u"Text"),
    com::Get<&IQHtmlDoc::get_HtmlWarning>(6, u"HtmlWarning"),
    com::Function<&IQHtmlDoc::FindByID>(7, u"FindByID(ID)"),
    com::Function<&IQHtmlDoc::FindByTagName>(8, u"FindByTagName(TagName)"),
    com::Function<&IQHtmlDoc::FindByParameter>(9, u"FindByParameter(ParamName, ParamValue)"),
    com::Method<&IQHtmlDoc::Clear>(10, u"Clear"),
    com::Method<&IQHtmlDoc::Load>(11, u"Load(FileName)"),
    com::Method<&IQHtmlDoc::WriteTo>(12, u"WriteTo(QServer)"),
    com::Get<&IQHtmlDoc::get_Item>(13, u"Item(Index)"),
    com::Method<&IQHtmlDoc::SetMasterPage>(14, u"SetMasterPage(PageData)"),
    com::Get<&IQHtmlDoc::get_DummyBlockTagName>(15, u"DummyBlockTagName"),
    com::Put<&IQHtmlDoc::put_DummyBlockTagName>(15, u"DummyBlockTagName"),
    com::Method<&IQHtmlDoc::Save>(16, u"Save(FileName)"),
    com::Function<&IQHtmlDoc::GetPageData>(17, u"GetPageData"),
    com::Method<&IQHtmlDoc::SaveMasterPage>(18, u"SaveMasterPage(FileName)"),
    com::Function<&IQHtmlDoc::GetMasterPage>(19, u"GetMasterPage"),
    com::Function<&IQHtmlDoc::TextPosToTag>(20, u"TextPosToTag(UseMasterPage, Pos)"),
    com::Method<&IQHtmlDoc::TagToTextPos>(21,
                                          u"TagToTextPos(UseMasterPage, Tag, TextBegin, TextEnd)"),
    com::Get<&IQHtmlDoc::get_Root>(22, u"Root"),
    com::Get<&IQHtmlDoc::get_IndentCode>(23, u"IndentCode"),
    com::Put<&IQHtmlDoc::put_IndentCode>(23, u"IndentCode"),
    com::Function<&IQHtmlDoc::FindNext>(31, u"FindNext"),
    com::Get<&IQHtmlDoc::get_ConvertMasterPage>(32, u"ConvertMasterPage"),
    com::Put<&IQHtmlDoc::put_ConvertMasterPage>(32, u"ConvertMasterPage"),
    com::Method<&IQHtmlDoc::SetFindPosition>(33, u"SetFindPosition(CurrentTag)"),
    com::Method<&IQHtmlDoc::AboutBox>(com::DISPID_ABOUTBOX, u"AboutBox"));
inline constexpr com::InterfaceTable<IQHtmlDoc> kQHtmlDocMembers{
    u"IQHtmlDoc", &ids::IID_IQHtmlDoc, kQHtmlDocMemberList};

// The private interface by which the library recognises its own tags behind
// an IHtmlTag that a script passes back (CopyBefore, Replace, ...).
inline constexpr com::IID IID_IHtmlTagImpl = com::Guid("{5F0E9B21-7C41-4E8A-9D62-1A3B4C5D6E71}");

class HtmlTagObject : public com::ObjectBase,
                      public com::DispatchImpl<IHtmlTag, kHtmlTagMembers>,
                      public com::DispatchMembersImpl<IHtmlTag, kHtmlTagMembers>,
                      public com::SupportErrorInfoImpl<ids::IID_IHtmlTag>,
                      public com::Forwarding<HtmlTagObject> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<HtmlTagObject, IHtmlTag>(ids::IID_IHtmlTag),
      com::Entry<HtmlTagObject, com::IDispatch, IHtmlTag>(com::IID_IDispatch),
      com::Entry<HtmlTagObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<HtmlTagObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
      // Answers with the object itself, not with an interface.
      com::Entry<HtmlTagObject, IHtmlTag>(IID_IHtmlTagImpl),
  };

  // A stand-alone tag, as a script creates one.
  explicit HtmlTagObject(com::Module& module);
  HtmlTagObject(com::Module& module, html::Ref<html::Tag> tag);
  ~HtmlTagObject() override;

  static const com::ErrorConvention& Convention();
  html::Tag& plain() { return *tag_; }

  // The one object of `tag` (a new one when it has none); null for null.
  static com::ComPtr<IDispatch> Wrap(const html::Ref<html::Tag>& tag);
  // The tag behind an object of this library; null for anything else.
  static html::Tag* Unwrap(IDispatch* object);

  HRESULT get__Tags(IDispatch** v) override { return get_Tags(v); }
  HRESULT get_Parent(IDispatch** v) override { return Forward<&html::Tag::Parent>(v); }
  HRESULT get_Tags(IDispatch** v) override;
  HRESULT get_TagName(BSTR* v) override { return Forward<&html::Tag::TagName>(v); }
  HRESULT put_TagName(BSTR v) override { return Forward<&html::Tag::SetTagName>(v); }
  HRESULT get_Index(int32_t* v) override { return Forward<&html::Tag::Index>(v); }
  HRESULT get_Text(BSTR* v) override { return Forward<&html::Tag::Text>(v); }
  HRESULT put_Text(BSTR v) override { return Forward<&html::Tag::SetText>(v); }
  HRESULT get_Value(BSTR* v) override { return Forward<&html::Tag::Value>(v); }
  HRESULT put_Value(BSTR v) override { return Forward<&html::Tag::SetValue>(v); }
  HRESULT get_ID(BSTR* v) override { return Forward<&html::Tag::ID>(v); }
  HRESULT put_ID(BSTR v) override { return Forward<&html::Tag::SetID>(v); }
  HRESULT get_NextTag(IDispatch** v) override { return Forward<&html::Tag::NextTag>(v); }
  HRESULT get_PreviousTag(IDispatch** v) override { return Forward<&html::Tag::PreviousTag>(v); }
  HRESULT get_ParamCount(int32_t* v) override { return Forward<&html::Tag::ParamCount>(v); }
  HRESULT Write() override { return Forward<&html::Tag::Write>(); }
  HRESULT Add(BSTR ID, BSTR TagName, IDispatch** v) override {
    return Forward<&html::Tag::Add>(ID, TagName, v);
  }
  HRESULT InsertBefore(VARIANT Before, BSTR ID, BSTR TagName, IDispatch** v) override;
  HRESULT InsertAfter(VARIANT After, BSTR ID, BSTR TagName, IDispatch** v) override;
  HRESULT Remove(VARIANT Target, int32_t Count) override;
  HRESULT FindByID(BSTR ID, IDispatch** v) override {
    return Forward<&html::Tag::FindByID>(ID, v);
  }
  HRESULT FindByTagName(BSTR TagName, IDispatch** v) override {
    return Forward<&html::Tag::FindByTagName>(TagName, v);
  }
  HRESULT FindByParameter(BSTR ParamName, BSTR ParamValue, IDispatch** v) override {
    return Forward<&html::Tag::FindByParameter>(ParamName, ParamValue, v);
  }
  HRESULT RemoveFromParent() override { return Forward<&html::Tag::RemoveFromParent>(); }
  HRESULT CopyBefore(IDispatch* Before, int32_t Count) override {
    return Forward<&html::Tag::CopyBefore>(Before, Count);
  }
  HRESULT CopyAfter(IDispatch* After, int32_t Count) override {
    return Forward<&html::Tag::CopyAfter>(After, Count);
  }
  HRESULT RemoveAll() override { return Forward<&html::Tag::RemoveAll>(); }
  HRESULT SelectRadio(BSTR RadioName, BSTR SelValue) override {
    return Forward<&html::Tag::SelectRadio>(RadioName, SelValue);
  }
  HRESULT SelectOption(BSTR SelValue) override {
    return Forward<&html::Tag::SelectOption>(SelValue);
  }
  HRESULT get_Parameter(BSTR ParamName, BSTR* v) override {
    return Forward<&html::Tag::Parameter>(ParamName, v);
  }
  HRESULT put_Parameter(BSTR ParamName, BSTR v) override {
    return Forward<&html::Tag::SetParameter>(ParamName, v);
  }
  HRESULT get_ParamName(int32_t Index, BSTR* v) override {
    return Forward<&html::Tag::ParamName>(Index, v);
  }
  HRESULT AddCopy(IDispatch* Under, int32_t Count) override {
    return Forward<&html::Tag::AddCopy>(Under, Count);
  }
  HRESULT ResetParameters() override { return Forward<&html::Tag::ResetParameters>(); }
  HRESULT LoadTabula(IDispatch* Tabula, VARIANT_BOOL VisibleAreaOnly,
                     VARIANT_BOOL FormType) override {
    return Forward<&html::Tag::LoadTabula>(Tabula, VisibleAreaOnly, FormType);
  }
  HRESULT get__InternalPointer(int32_t* v) override;
  HRESULT Replace(IDispatch* ReplaceBy) override {
    return Forward<&html::Tag::Replace>(ReplaceBy);
  }

 private:
  html::Ref<html::Tag> tag_;
  int32_t handle_;
};

// The children of one tag. The collection enumerates itself, with the one
// cursor its list keeps (a new enumeration restarts any other).
class HtmlTagsObject : public com::ObjectBase,
                       public com::DispatchImpl<IHtmlTags, kHtmlTagsMembers>,
                       public com::DispatchMembersImpl<IHtmlTags, kHtmlTagsMembers>,
                       public com::SupportErrorInfoImpl<ids::IID_IHtmlTags>,
                       public com::IEnumVARIANT {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<HtmlTagsObject, IHtmlTags>(ids::IID_IHtmlTags),
      com::Entry<HtmlTagsObject, com::IDispatch, IHtmlTags>(com::IID_IDispatch),
      com::Entry<HtmlTagsObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<HtmlTagsObject, com::IEnumVARIANT>(com::IID_IEnumVARIANT),
      com::Entry<HtmlTagsObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };
  // A collection that no tag of a document owns, as a script creates one.
  explicit HtmlTagsObject(com::Module& module);
  HtmlTagsObject(com::Module& module, html::Ref<html::Tag> owner);
  ~HtmlTagsObject() override;

  // The one collection object of `owner`'s children.
  static com::ComPtr<IDispatch> Wrap(const html::Ref<html::Tag>& owner);

  HRESULT get__NewEnum(IUnknown** v) override;
  HRESULT get__Item(VARIANT Index, IDispatch** v) override { return get_Item(Index, v); }
  HRESULT get_Item(VARIANT Index, IDispatch** v) override;
  HRESULT get_Count(int32_t* v) override;

  HRESULT Next(com::ULONG count, VARIANT* items, com::ULONG* fetched) override;
  HRESULT Skip(com::ULONG count) override;
  HRESULT Reset() override;
  // The collection provides no second enumerator.
  HRESULT Clone(com::IEnumVARIANT** copy) override;

 private:
  html::Tags& list() { return owner_->Children(); }
  html::Ref<html::Tag> owner_;
};

class QHtmlDocObject : public com::ControlBase<QHtmlDocObject, IQHtmlDoc, kQHtmlDocMembers> {
 public:
  static constexpr auto kInterfaces =
      com::ControlInterfaces<QHtmlDocObject, IQHtmlDoc>(ids::IID_IQHtmlDoc);

  explicit QHtmlDocObject(com::Module& module);
  ~QHtmlDocObject() override;

  static const com::ErrorConvention& Convention();
  html::Document& plain() { return doc_; }

  HRESULT get__Item(VARIANT Index, IDispatch** v) override { return get_Item(Index, v); }
  HRESULT get_Item(VARIANT Index, IDispatch** v) override;
  HRESULT get_DummyTagName(BSTR* v) override { return Forward<&html::Document::DummyTagName>(v); }
  HRESULT put_DummyTagName(BSTR v) override {
    return ForwardPut<&html::Document::SetDummyTagName>(DispidOf(kQHtmlDocMemberList, u"DummyTagName"), v);
  }
  HRESULT get_Head(IDispatch** v) override { return Forward<&html::Document::Head>(v); }
  HRESULT get_Body(IDispatch** v) override { return Forward<&html::Document::Body>(v); }
  HRESULT get_Title(BSTR* v) override { return Forward<&html::Document::Title>(v); }
  HRESULT put_Title(BSTR v) override { return Forward<&html::Document::SetTitle>(v); }
  HRESULT get_Text(BSTR* v) override { return Forward<&html::Document::Text>(v); }
  HRESULT put_Text(BSTR v) override { return Forward<&html::Document::SetText>(v); }
  HRESULT get_HtmlWarning(BSTR* v) override { return Forward<&html::Document::HtmlWarning>(v); }
  HRESULT FindByID(BSTR ID, IDispatch** v) override {
    return Forward<&html::Document::FindByID>(ID, v);
  }
  HRESULT FindByTagName(BSTR TagName, IDispatch** v) override {
    return Forward<&html::Document::FindByTagName>(TagName, v);
  }
  HRESULT FindByParameter(BSTR ParamName, BSTR ParamValue, IDispatch** v) override {
    return Forward<&html::Document::FindByParameter>(ParamName, ParamValue, v);
  }
  HRESULT Clear() override { return Forward<&html::Document::Clear>(); }
  HRESULT Load(BSTR FileName) override { return Forward<&html::Document::Load>(FileName); }
  HRESULT WriteTo(IDispatch* QServer) override;
  HRESULT SetMasterPage(BSTR PageData) override {
    // The converted text is a string of its own: its bytes are taken over.
    return Forward<static_cast<void (html::Document::*)(std::string&&)>(
        &html::Document::SetMasterPage)>(PageData);
  }
  HRESULT get_DummyBlockTagName(BSTR* v) override {
    return Forward<&html::Document::DummyBlockTagName>(v);
  }
  HRESULT put_DummyBlockTagName(BSTR v) override {
    return ForwardPut<&html::Document::SetDummyBlockTagName>(
        DispidOf(kQHtmlDocMemberList, u"DummyBlockTagName"), v);
  }
  HRESULT Save(BSTR FileName) override { return Forward<&html::Document::Save>(FileName); }
  HRESULT GetPageData(BSTR* v) override { return Forward<&html::Document::GetPageData>(v); }
  HRESULT SaveMasterPage(BSTR FileName) override {
    return Forward<&html::Document::SaveMasterPage>(FileName);
  }
  HRESULT GetMasterPage(BSTR* v) override { return Forward<&html::Document::GetMasterPage>(v); }
  HRESULT TextPosToTag(VARIANT_BOOL UseMasterPage, int32_t Pos, IDispatch** v) override {
    return Forward<&html::Document::TextPosToTag>(UseMasterPage, Pos, v);
  }
  HRESULT TagToTextPos(VARIANT_BOOL UseMasterPage, IDispatch* Tag, int32_t* TextBegin,
                       int32_t* TextEnd) override;
  HRESULT get_Root(IDispatch** v) override { return Forward<&html::Document::Root>(v); }
  HRESULT get_IndentCode(BSTR* v) override { return Forward<&html::Document::IndentCode>(v); }
  HRESULT put_IndentCode(BSTR v) override { return Forward<&html::Document::SetIndentCode>(v); }
  HRESULT FindNext(IDispatch** v) override { return Forward<&html::Document::FindNext>(v); }
  HRESULT get_ConvertMasterPage(VARIANT_BOOL* v) override {
    return Forward<&html::Document::ConvertMasterPage>(v);
  }
  HRESULT put_ConvertMasterPage(VARIANT_BOOL v) override {
    return ForwardPut<&html::Document::SetConvertMasterPage>(
        DispidOf(kQHtmlDocMemberList, u"ConvertMasterPage"), v);
  }
  HRESULT SetFindPosition(IDispatch* CurrentTag) override {
    return Forward<&html::Document::SetFindPosition>(CurrentTag);
  }
  HRESULT AboutBox() override;

  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override;
  void FinalRelease() override;

 private:
  // The response WriteTo attached.
  html::Document doc_;
  std::unique_ptr<server::ResponseOutput> output_;
  // The response object stays alive while the document may write to it.
  com::ComPtr<IDispatch> server_object_;
};

}  // namespace quillon::server

// Conversions between the engine's tags and automation objects, found by
// the forwarding layer through argument-dependent lookup.
namespace quillon::html {
void Out(const Ref<Tag>& tag, com::IDispatch** out);
Tag* In(com::IDispatch* object, com::forward_internal::Tag<Tag*>);
TagArg In(com::IDispatch* object, com::forward_internal::Tag<TagArg>);
}  // namespace quillon::html

#endif  // QUILLON_SERVER_HTML_OBJECTS_H_
