#include <gtest/gtest.h>

#include <string>

#include "quillon/component/bstr.h"
#include "quillon/component/object.h"
#include "quillon/component/persistence.h"

namespace quillon::com {
namespace {

TEST(PropertyStreamTest, ExactBytesOfTheSavedForm) {
  auto stream = MakeMemoryStream();
  PropertyMap props;
  props.emplace_back(u"A", Variant::Utf8("x"));
  props.emplace_back(u"B", Variant::I4(-2));
  ASSERT_EQ(WritePropertyStream(stream.get(), props), S_OK);
  const std::string expected(
      "\x04\x00\x03\x00"           // version
      "\x02\x00\x00\x00"           // count
      "\x08\x00\x02\x00\x00\x00"   // BSTR, 2 bytes
      "A\x00"
      "\x08\x00\x02\x00\x00\x00"
      "x\x00"
      "\x08\x00\x02\x00\x00\x00"
      "B\x00"
      "\x03\x00\xFE\xFF\xFF\xFF",  // I4 -2
      38);
  EXPECT_EQ(MemoryStreamBytes(stream.get()), expected);
  stream->Seek(0, 0, nullptr);
  PropertyMap back;
  ASSERT_EQ(ReadPropertyStream(stream.get(), &back), S_OK);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].first, u"A");
  EXPECT_EQ(Bstr::View(back[0].second.get()->bstrVal), u"x");
  EXPECT_EQ(back[1].second.get()->lVal, -2);
}

TEST(PropertyStreamTest, DamagedDataIsRefusedWithoutTouchingTheResult) {
  auto good = MakeMemoryStream();
  PropertyMap props;
  props.emplace_back(u"Name", Variant::Utf8("value"));
  ASSERT_EQ(WritePropertyStream(good.get(), props), S_OK);
  std::string bytes = MemoryStreamBytes(good.get());
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    auto damaged = MakeMemoryStream(bytes.substr(0, cut));
    PropertyMap out;
    out.emplace_back(u"keep", Variant::I4(1));
    EXPECT_EQ(ReadPropertyStream(damaged.get(), &out), E_FAIL) << cut;
    EXPECT_EQ(out.size(), 1u);
  }
  std::string huge_count = bytes;
  huge_count[4] = '\xFF';
  huge_count[7] = '\x7F';
  PropertyMap out;
  EXPECT_EQ(ReadPropertyStream(MakeMemoryStream(huge_count).get(), &out), E_FAIL);
  EXPECT_EQ(ReadPropertyStream(MakeMemoryStream().get(), &out), S_OK);  // nothing saved
  EXPECT_TRUE(out.empty());
}

constexpr CLSID kClsid = Guid("{0B0E1A10-0000-4000-8000-000000000010}");
constexpr IID kEvents = Guid("{0B0E1A10-0000-4000-8000-000000000011}");
constexpr CLSID kPage = Guid("{0B0E1A10-0000-4000-8000-000000000012}");

class Control : public ObjectBase, public ControlPersistence {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<Control, IPersistStreamInit>(IID_IPersistStreamInit),
      Entry<Control, IPersist, IPersistStreamInit>(IID_IPersist),
      Entry<Control, IPersistPropertyBag>(IID_IPersistPropertyBag),
      Entry<Control, IPersistStorage>(IID_IPersistStorage)};
  explicit Control(Module& m) : ObjectBase(m), ControlPersistence(kClsid, kEvents, &kPage) {}

  HRESULT LoadProperties(const PropertyMap& props, LoadKind kind) override {
    kind_ = kind;
    for (const auto& [name, value] : props) {
      if (name == u"Caption") caption_ = Bstr::View(value.get()->bstrVal);
    }
    return S_OK;
  }
  void SaveProperties(PropertyMap* props) override {
    props->emplace_back(u"Caption", Variant::String(caption_));
  }
  std::vector<std::u16string> PropertyNames() const override { return {u"Caption"}; }

  LoadKind kind_ = LoadKind::kNew;
  std::u16string caption_ = u"default";
};

TEST(ControlPersistenceTest, EachStartSaysHowTheHostLoaded) {
  Module module;
  PropertyMap saved;
  saved.emplace_back(u"Caption", Variant::Utf8("saved"));

  auto by_stream = Object<Control>::Create(module);
  auto stream = MakeMemoryStream();
  ASSERT_EQ(WritePropertyStream(stream.get(), saved), S_OK);
  stream->Seek(0, 0, nullptr);
  ASSERT_EQ(static_cast<IPersistStreamInit*>(by_stream.get())->Load(stream.get()), S_OK);
  EXPECT_EQ(by_stream->kind_, LoadKind::kStream);
  EXPECT_EQ(by_stream->caption_, u"saved");
  // A second start is refused.
  EXPECT_EQ(static_cast<IPersistStreamInit*>(by_stream.get())->InitNew(), E_UNEXPECTED);

  auto by_bag = Object<Control>::Create(module);
  auto bag = MakePropertyBag(saved);
  ASSERT_EQ(static_cast<IPersistPropertyBag*>(by_bag.get())->Load(bag.get(), nullptr), S_OK);
  EXPECT_EQ(by_bag->kind_, LoadKind::kPropertyBag);
  EXPECT_EQ(by_bag->caption_, u"saved");

  // Storage persistence keeps the stream form in "Contents".
  auto storage = MakeMemoryStorage();
  ASSERT_EQ(static_cast<IPersistStorage*>(by_bag.get())->Save(storage.get(), 1), S_OK);
  auto by_storage = Object<Control>::Create(module);
  ASSERT_EQ(static_cast<IPersistStorage*>(by_storage.get())->Load(storage.get()), S_OK);
  EXPECT_EQ(by_storage->kind_, LoadKind::kStream);
  EXPECT_EQ(by_storage->caption_, u"saved");
}

TEST(ControlPersistenceTest, ClassInformationAndPropertyPages) {
  Module module;
  auto control = Object<Control>::Create(module);
  GUID guid{};
  EXPECT_EQ(control->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid), S_OK);
  EXPECT_EQ(guid, kEvents);
  CLSID clsid{};
  EXPECT_EQ(static_cast<IPersistStreamInit*>(control.get())->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, kClsid);
  CAUUID pages{};
  ASSERT_EQ(control->GetPages(&pages), S_OK);
  ASSERT_EQ(pages.cElems, 1u);
  EXPECT_EQ(pages.pElems[0], kPage);
  CoTaskMemFree(pages.pElems);
}

}  // namespace
}  // namespace quillon::com
