// The forwarding layer between automation members and plain methods: the
// conversions chosen by type, the null out-pointer, the error convention,
// and out values that change only on success.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

using namespace std::string_literals;  // NOLINT(google-build-using-namespace)

#include "quillon/component/bstr.h"
#include "quillon/component/byte_text.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/forward.h"
#include "quillon/component/object.h"
#include "quillon/component/variant.h"

namespace quillon::com {
namespace {

constexpr IID IID_IThing = Guid("{0B0E1A10-0000-4000-8000-000000000002}");

// What an adapted plain class looks like: std::string bytes, integers,
// optional dates, exceptions for failures.
class Plain {
 public:
  std::string Echo(std::string_view text) { return std::string(text); }
  std::string Bytes(const std::string& bytes) { return bytes + "!"; }
  int64_t Length(std::string_view text) const { return static_cast<int64_t>(text.size()); }
  bool Negate(bool flag) { return !flag; }
  std::string When(std::optional<DATE> date) { return date ? std::to_string(*date) : "none"; }
  std::string Fail(int32_t number) { throw Error(number); }
  void Count() { ++calls; }
  // Runs `during` (a nested call on the same thread) while holding `text`,
  // and tells where the text lay.
  std::string Hold(std::string_view text) {
    seen_at = text.data();
    if (during) during();
    return std::string(text);
  }
  int calls = 0;
  std::function<void()> during;
  const char* seen_at = nullptr;
};

struct IThing : IDispatch {
  virtual HRESULT Echo(BSTR text, BSTR* result) = 0;
  virtual HRESULT Bytes(VARIANT bytes, VARIANT* result) = 0;
  virtual HRESULT Length(BSTR text, int32_t* result) = 0;
  virtual HRESULT Negate(VARIANT_BOOL flag, VARIANT_BOOL* result) = 0;
  virtual HRESULT When(VARIANT date, BSTR* result) = 0;
  virtual HRESULT Fail(int32_t number, BSTR* result) = 0;
  virtual HRESULT Count() = 0;
  virtual HRESULT Hold(BSTR text, BSTR* result) = 0;

 protected:
  ~IThing() = default;
};

class Thing : public ObjectBase, public IThing, public Forwarding<Thing> {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {Entry<Thing, IThing>(IID_IThing)};
  explicit Thing(Module& m) : ObjectBase(m) {}
  static const ErrorConvention& Convention() {
    static const ServerConvention convention({u"Thing.Object.1", &IID_IThing});
    return convention;
  }
  Plain& plain() { return plain_; }

  HRESULT Echo(BSTR t, BSTR* r) override { return Forward<&Plain::Echo>(t, r); }
  HRESULT Bytes(VARIANT b, VARIANT* r) override { return Forward<&Plain::Bytes>(b, r); }
  HRESULT Length(BSTR t, int32_t* r) override { return Forward<&Plain::Length>(t, r); }
  HRESULT Negate(VARIANT_BOOL f, VARIANT_BOOL* r) override { return Forward<&Plain::Negate>(f, r); }
  HRESULT When(VARIANT d, BSTR* r) override { return Forward<&Plain::When>(d, r); }
  HRESULT Fail(int32_t n, BSTR* r) override { return Forward<&Plain::Fail>(n, r); }
  HRESULT Count() override { return Forward<&Plain::Count>(); }
  HRESULT Hold(BSTR t, BSTR* r) override { return Forward<&Plain::Hold>(t, r); }
  // IDispatch is not what is tested here.
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

 private:
  Plain plain_;
};

class ForwardTest : public ::testing::Test {
 protected:
  Module module_;
  ComPtr<Object<Thing>> thing_ = Object<Thing>::Create(module_);
};

TEST_F(ForwardTest, TextCrossesInBothDirectionsAndEndsAtTheFirstNul) {
  struct Case {
    std::u16string in;
    std::u16string out;
  } cases[] = {{u"", u""}, {u"abc", u"abc"}, {u"日本語テキスト", u"日本語テキスト"},
               {std::u16string(u"a\0b", 3), u"a"}};
  for (const Case& c : cases) {
    Bstr result;
    ASSERT_EQ(thing_->Echo(Bstr(c.in).get(), result.put()), S_OK);
    EXPECT_EQ(result.view(), c.out);
  }
  int32_t length = 0;
  ASSERT_EQ(thing_->Length(Bstr(u"äb").get(), &length), S_OK);
  EXPECT_EQ(length, 3) << "the plain side sees code-page (UTF-8) bytes";
}

// A text argument the plain side only reads lies in a buffer the thread
// keeps: the next call of the same size finds it there, and a call made
// while one is running gets another, leaving the first untouched.
TEST_F(ForwardTest, ReadOnlyTextArgumentsReuseTheirBufferButNeverShareIt) {
  const std::u16string outer(300000, u'o');
  const std::u16string inner(300000, u'i');
  Bstr result;
  ASSERT_EQ(thing_->Hold(Bstr(outer).get(), result.put()), S_OK);
  const char* first_at = thing_->plain().seen_at;
  ASSERT_EQ(thing_->Hold(Bstr(outer).get(), result.put()), S_OK);
  EXPECT_EQ(thing_->plain().seen_at, first_at) << "the kept buffer is used again";

  const char* inner_at = nullptr;
  bool nested_once = false;
  thing_->plain().during = [&] {
    if (std::exchange(nested_once, true)) return;
    Bstr nested;
    ASSERT_EQ(thing_->Hold(Bstr(inner).get(), nested.put()), S_OK);
    inner_at = thing_->plain().seen_at;
    EXPECT_EQ(nested.view(), inner);
  };
  ASSERT_EQ(thing_->Hold(Bstr(outer).get(), result.put()), S_OK);
  EXPECT_EQ(result.view(), outer) << "the nested call changed the outer argument";
  EXPECT_NE(inner_at, first_at);
}

TEST_F(ForwardTest, ByteArraysInAndOutAndOtherKindsRefused) {
  Variant out;
  ASSERT_EQ(thing_->Bytes(*Variant::Bytes(std::string_view("\0\xff", 2)).get(), out.get()), S_OK);
  std::string bytes;
  ASSERT_TRUE(Variant::GetBytes(*out.get(), &bytes));
  EXPECT_EQ(bytes, std::string("\0\xff!", 3));
  EXPECT_EQ(out.vt(), VT_ARRAY | VT_UI1);

  Variant untouched = Variant::I4(7);
  EXPECT_EQ(thing_->Bytes(*Variant::Utf8("text").get(), untouched.get()),
            MakeHresult(0x80040000u + kMsgBadBinaryData));
  EXPECT_EQ(untouched.vt(), VT_I4) << "a failed call leaves the out value alone";
}

TEST_F(ForwardTest, BooleansDatesAndMissingValues) {
  VARIANT_BOOL negated = VARIANT_FALSE;
  ASSERT_EQ(thing_->Negate(VARIANT_FALSE, &negated), S_OK);
  EXPECT_EQ(negated, VARIANT_TRUE);
  Bstr when;
  ASSERT_EQ(thing_->When(*Variant::Date(2.5).get(), when.put()), S_OK);
  EXPECT_EQ(when.utf8(), std::to_string(2.5));
  DATE date = 3.0;
  ASSERT_EQ(thing_->When(*Variant::RefTo(Variant::Date(3.0).get()).get(), when.put()), S_OK);
  EXPECT_EQ(when.utf8(), std::to_string(date)) << "a date by reference";
  ASSERT_EQ(thing_->When(*Variant::Missing().get(), when.put()), S_OK);
  EXPECT_EQ(when.utf8(), "none");
}

TEST_F(ForwardTest, NullOutPointerIsRefusedBeforeTheCall) {
  EXPECT_EQ(thing_->Echo(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(thing_->Fail(10004, nullptr), E_POINTER) << "not called, so no failure either";
  ASSERT_EQ(thing_->Count(), S_OK);
  EXPECT_EQ(thing_->plain().calls, 1);
}

TEST_F(ForwardTest, FailuresLeaveThroughTheClassConvention) {
  BSTR sentinel = reinterpret_cast<BSTR>(0x1);
  BSTR result = sentinel;
  EXPECT_EQ(thing_->Fail(10004, &result), MakeHresult(0x80040000u + 10004));
  EXPECT_EQ(result, sentinel);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  Bstr source;
  info->GetSource(source.put());
  EXPECT_EQ(source.view(), u"Thing.Object.1");
}

// A class whose failures are told through state of its own gives its
// convention from the object, as it stands when the call is made.
class Keeper : public Forwarding<Keeper> {
 public:
  ServerConvention Convention() const { return ServerConvention({source, &IID_IThing}); }
  Plain& plain() { return plain_; }
  HRESULT Fail(int32_t number, BSTR* result) { return Forward<&Plain::Fail>(number, result); }
  std::u16string source;

 private:
  Plain plain_;
};

TEST(ForwardConvention, AnObjectsOwnConventionDecides) {
  Keeper keeper;
  for (const char16_t* source : {u"First.Object.1", u"Second.Object.1"}) {
    keeper.source = source;
    Bstr result;
    EXPECT_EQ(keeper.Fail(10004, result.put()), MakeHresult(0x80040000u + 10004));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
    Bstr reported;
    info->GetSource(reported.put());
    EXPECT_EQ(reported.view(), source);
  }
}

// --- Byte arrays as text -------------------------------------------------------

std::string BytesIn(const Variant& v) {
  std::string bytes;
  EXPECT_TRUE(Variant::GetBytes(*v.get(), &bytes));
  return bytes;
}

TEST(BytesToTextTest, ByteArraysInBothForms) {
  const Variant bytes = Variant::Bytes("\x00\xAB "s);
  EXPECT_EQ(BytesToText(*bytes.get(), core::kValueForm), "%00%AB+");
  EXPECT_EQ(BytesToText(*bytes.get(), 2), "\\\\x00AB20");
  EXPECT_EQ(BytesToText(*bytes.get(), 0), "\\\\x00AB20");
  // Lower bound other than 0: all elements still count.
  const Variant shifted = Variant::Bytes("xy", 5);
  EXPECT_EQ(BytesToText(*shifted.get(), core::kValueForm), "xy");
}

TEST(BytesToTextTest, ByReferenceArrayCounts) {
  Variant bytes = Variant::Bytes("a b");
  const Variant ref = Variant::RefTo(bytes.get());
  EXPECT_EQ(BytesToText(*ref.get(), core::kValueForm), "a+b");
}

TEST(BytesToTextTest, OtherVariantsGiveEmptyText) {
  EXPECT_EQ(BytesToText(*Variant().get(), core::kValueForm), "");
  EXPECT_EQ(BytesToText(*Variant::Utf8("abc").get(), core::kValueForm), "");
  EXPECT_EQ(BytesToText(*Variant::I4(7).get(), 2), "");
}

TEST(TextToBytesTest, EmptyTextGivesEmptyVariant) {
  EXPECT_EQ(TextToBytes("", core::kValueForm).vt(), VT_EMPTY);
  EXPECT_EQ(TextToBytes("\0abc"s, 2).vt(), VT_EMPTY);
}

TEST(TextToBytesTest, NewZeroBasedByteArray) {
  Variant v = TextToBytes("%41+%00", core::kValueForm, platform::CodePage::Get(932));
  ASSERT_EQ(v.vt(), VT_ARRAY | VT_UI1);
  EXPECT_EQ(BytesIn(v), "A \0"s);
  int32_t lower = -1;
  ASSERT_EQ(SafeArrayGetLBound(v.get()->parray, 1, &lower), S_OK);
  EXPECT_EQ(lower, 0);

  EXPECT_EQ(BytesIn(TextToBytes("\\\\x00FF", 2)), "\x00\xFF"s);
  // A non-empty text that decodes to nothing is an empty array, not EMPTY.
  Variant none = TextToBytes("\\\\x", 2);
  EXPECT_EQ(none.vt(), VT_ARRAY | VT_UI1);
  EXPECT_EQ(BytesIn(none), "");
}

}  // namespace
}  // namespace quillon::com
