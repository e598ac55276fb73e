// The generic Invoke through a small dual interface that has one member of
// each shape the toolkit's interfaces use.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/object.h"

namespace quillon::com {
namespace {

constexpr IID IID_ISample = Guid("{0B0E1A10-0000-4000-8000-000000000001}");

struct ISample : IDispatch {
  virtual HRESULT get_Name(BSTR* value) = 0;
  virtual HRESULT put_Name(BSTR value) = 0;
  virtual HRESULT Add(int32_t a, int16_t b, int32_t* sum) = 0;
  virtual HRESULT Describe(VARIANT value, BSTR* kind) = 0;
  virtual HRESULT Swap(BSTR* left, VARIANT* right) = 0;
  virtual HRESULT get_Entry(BSTR key, BSTR* value) = 0;
  virtual HRESULT put_Entry(BSTR key, BSTR value) = 0;
  virtual HRESULT Fail(int32_t number, VARIANT_BOOL composed) = 0;
  virtual HRESULT FailClient(int32_t number, VARIANT_BOOL composed) = 0;
  virtual HRESULT Exhaust() = 0;
  virtual HRESULT Optional(BSTR first, VARIANT second, int32_t* missing) = 0;
  // More parameters than Invoke keeps on its stack.
  virtual HRESULT Weigh(int32_t p0, int32_t p1, int32_t p2, int32_t p3, int32_t p4, int32_t p5,
                        int32_t p6, int32_t p7, int32_t p8, int32_t p9, int32_t p10,
                        int32_t p11, int32_t p12, int32_t p13, int32_t p14, int32_t p15,
                        int32_t p16, int32_t* weighted) = 0;

 protected:
  ~ISample() = default;
};

extern const InterfaceTable<ISample> kSampleTable;

class Sample : public ObjectBase,
               public DispatchImpl<ISample, kSampleTable>,
               public SupportErrorInfoImpl<IID_ISample> {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<Sample, ISample>(IID_ISample), Entry<Sample, IDispatch, ISample>(IID_IDispatch),
      Entry<Sample, ISupportErrorInfo>(IID_ISupportErrorInfo)};

  explicit Sample(Module& m) : ObjectBase(m) {}

  HRESULT get_Name(BSTR* value) override {
    *value = Bstr(name_).detach();
    return S_OK;
  }
  HRESULT put_Name(BSTR value) override {
    name_ = Bstr::View(value);
    return S_OK;
  }
  HRESULT Add(int32_t a, int16_t b, int32_t* sum) override {
    *sum = a + b;
    return S_OK;
  }
  HRESULT Describe(VARIANT value, BSTR* kind) override {
    *kind = Bstr::FromUtf8(std::to_string(value.vt)).detach();
    return S_OK;
  }
  HRESULT Swap(BSTR* left, VARIANT* right) override {
    Variant old_right(*right);
    VariantClear(right);
    right->vt = VT_BSTR;
    right->bstrVal = *left;
    Variant text;
    VariantChangeType(text.get(), old_right.get(), 0, VT_BSTR);
    *left = text.Detach().bstrVal;
    return S_OK;
  }
  HRESULT get_Entry(BSTR key, BSTR* value) override {
    for (auto& [k, v] : entries_) {
      if (k == Bstr::View(key)) {
        *value = Bstr(v).detach();
        return S_OK;
      }
    }
    *value = nullptr;
    return S_OK;
  }
  HRESULT put_Entry(BSTR key, BSTR value) override {
    entries_.emplace_back(Bstr::View(key), Bstr::View(value));
    return S_OK;
  }
  HRESULT Fail(int32_t number, VARIANT_BOOL composed) override {
    return Guarded(kServer, [&] {
      if (composed) throw Error(number, u"NAME");
      throw Error(number);
    });
  }
  HRESULT FailClient(int32_t number, VARIANT_BOOL composed) override {
    return Guarded(kClient, [&] {
      if (composed) throw Error(number, u"+x");
      throw Error(number);
    });
  }
  HRESULT Exhaust() override {
    return Guarded(kServer, [] { throw std::bad_alloc(); });
  }
  HRESULT Optional(BSTR first, VARIANT second, int32_t* missing) override {
    *missing = (SysStringLen(first) == 0 ? 1 : 0) +
               (second.vt == VT_ERROR && second.scode == DISP_E_PARAMNOTFOUND ? 2 : 0);
    return S_OK;
  }
  // Each parameter weighted by its position, so a misplaced one shows.
  HRESULT Weigh(int32_t p0, int32_t p1, int32_t p2, int32_t p3, int32_t p4, int32_t p5,
                int32_t p6, int32_t p7, int32_t p8, int32_t p9, int32_t p10, int32_t p11,
                int32_t p12, int32_t p13, int32_t p14, int32_t p15, int32_t p16,
                int32_t* weighted) override {
    const int32_t p[] = {p0, p1, p2, p3, p4, p5, p6, p7, p8, p9, p10, p11, p12, p13, p14, p15, p16};
    *weighted = 0;
    for (int32_t i = 0; i < 17; ++i) *weighted += (i + 1) * p[i];
    return S_OK;
  }

 private:
  static inline const ServerConvention kServer{{u"Sample.Object.1", &IID_ISample}};
  static inline const ClientConvention kClient{u"SampleApp"};
  std::u16string name_;
  std::vector<std::pair<std::u16string, std::u16string>> entries_;
};

constexpr auto kSampleMembers = Members<ISample>(
    Get<&ISample::get_Name>(1, u"Name"),
    Put<&ISample::put_Name>(1, u"Name"),
    Function<&ISample::Add>(2, u"Add(A, B)"),
    Function<&ISample::Describe>(3, u"Describe(Value)"),
    Method<&ISample::Swap>(4, u"Swap(Left, Right)"),
    Get<&ISample::get_Entry>(5, u"Entry(Key)"),
    Put<&ISample::put_Entry>(5, u"Entry(Key)"),
    Method<&ISample::Fail>(6, u"Fail(Number, Composed)"),
    Method<&ISample::FailClient>(7, u"FailClient(Number, Composed)"),
    Method<&ISample::Exhaust>(8, u"Exhaust", {.hidden = true}),
    Function<&ISample::Optional>(9, u"Optional(First, Second)", {.required = 0}),
    Function<&ISample::Weigh>(10, u"Weigh(P0, P1, P2, P3, P4, P5, P6, P7, P8, P9, P10, P11, "
                                  u"P12, P13, P14, P15, P16)"));
constexpr InterfaceTable<ISample> kSampleTable{u"ISample", &IID_ISample, kSampleMembers};

class DispatchTest : public ::testing::Test {
 protected:
  HRESULT Call(const char16_t* name, WORD flags, std::vector<Variant> args, Variant* result,
               EXCEPINFO* info = nullptr) {
    std::vector<VARIANT> raw;
    for (auto& a : args) raw.push_back(*a.get());
    VARIANT out{};
    HRESULT hr = InvokeByName(object_.get(), name, flags, raw, &out, info);
    result->Adopt(&out);
    return hr;
  }

  Module module_;
  ComPtr<IDispatch> object_{Object<Sample>::Create(module_).get()};
};

TEST_F(DispatchTest, NamesMatchIgnoringCaseAndUnknownNamesFail) {
  std::u16string name = u"aDD";
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  EXPECT_EQ(object_->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 2);
  std::u16string unknown = u"Subtract";
  names[0] = unknown.data();
  EXPECT_EQ(object_->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(DispatchTest, ArgumentsAreCoercedToTheDeclaredTypes) {
  Variant result;
  ASSERT_EQ(Call(u"Add", DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                 {Variant::Utf8("40"), Variant::R8(2.0)}, &result),
            S_OK);
  EXPECT_EQ(result.vt(), VT_I4);
  EXPECT_EQ(result.get()->lVal, 42);
}

TEST_F(DispatchTest, CountAndTypeErrorsAreTheStandardOnes) {
  Variant result;
  EXPECT_EQ(Call(u"Add", DISPATCH_METHOD, {Variant::I4(1)}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(u"Add", DISPATCH_METHOD, {Variant::I4(1), Variant::I4(2), Variant::I4(3)},
                 &result),
            DISP_E_BADPARAMCOUNT);
  // The bad argument is reported by its position in rgvarg (reversed).
  VARIANT args[2]{};
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(u"not a number");
  args[1].vt = VT_I4;
  args[1].lVal = 1;
  DISPPARAMS params{args, nullptr, 2, 0};
  UINT bad = 99;
  VARIANT out{};
  EXPECT_EQ(object_->Invoke(2, GUID_NULL, 0, DISPATCH_METHOD, &params, &out, nullptr, &bad),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad, 0u);
  VariantClear(&args[0]);
  EXPECT_EQ(Call(u"Add", DISPATCH_METHOD, {Variant::I4(1), Variant::I4(70000)}, &result),
            DISP_E_OVERFLOW);
}

TEST_F(DispatchTest, PropertiesNeedTheRightFlagsAndThePutNamedArgument) {
  Variant result;
  ASSERT_EQ(Call(u"Name", DISPATCH_PROPERTYPUT, {Variant::Utf8("abc")}, &result), S_OK);
  ASSERT_EQ(Call(u"Name", DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(Bstr::View(result.get()->bstrVal), u"abc");
  // A put without the named argument is refused.
  VARIANT value = Variant::Utf8("x").Detach();
  DISPPARAMS params{&value, nullptr, 1, 0};
  EXPECT_EQ(object_->Invoke(1, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                            nullptr),
            DISP_E_PARAMNOTOPTIONAL);
  VariantClear(&value);
  // Method-only members cannot be read as properties.
  EXPECT_EQ(Call(u"Swap", DISPATCH_PROPERTYGET, {}, &result), DISP_E_MEMBERNOTFOUND);
}

// Hosts name parameters as the member table declares them:
// GetIDsOfNames gives their declaration index, Invoke places them.
TEST_F(DispatchTest, ParameterNamesResolveToTheirPositions) {
  std::u16string member = u"add", b = u"B", a = u"a", none = u"C";
  LPOLESTR names[] = {member.data(), b.data(), a.data()};
  DISPID ids[3] = {};
  ASSERT_EQ(object_->GetIDsOfNames(GUID_NULL, names, 3, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);
  names[1] = none.data();
  EXPECT_EQ(object_->GetIDsOfNames(GUID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(ids[2], 0) << "the names that exist are still resolved";
}

struct NamedCall {
  const char* what;
  DISPID member;
  WORD flags;
  std::vector<int32_t> positional;                 // in declaration order
  std::vector<std::pair<DISPID, int32_t>> named;   // in rgvarg order
  HRESULT expected;
  int32_t result;      // when S_OK
  UINT bad_arg;        // when a named argument is refused
};

TEST_F(DispatchTest, NamedArgumentsArePlacedOrRefused) {
  const NamedCall cases[] = {
      {"one named after a positional", 2, DISPATCH_METHOD, {40}, {{1, 2}}, S_OK, 42, 0},
      {"all named, in reverse", 2, DISPATCH_METHOD, {}, {{1, 2}, {0, 40}}, S_OK, 42, 0},
      {"named twice", 2, DISPATCH_METHOD, {}, {{1, 2}, {1, 3}}, DISP_E_PARAMNOTFOUND, 0, 1},
      {"named and positional", 2, DISPATCH_METHOD, {40}, {{0, 2}}, DISP_E_PARAMNOTFOUND, 0, 0},
      {"no such parameter", 2, DISPATCH_METHOD, {40}, {{5, 2}}, DISP_E_PARAMNOTFOUND, 0, 0},
      {"a required one left out", 2, DISPATCH_METHOD, {}, {{1, 2}}, DISP_E_BADPARAMCOUNT, 0, 0},
      {"an optional one left out", 9, DISPATCH_METHOD, {}, {{1, 7}}, S_OK, 1, 0},
      {"put value on a method", 2, DISPATCH_METHOD, {40, 2}, {{DISPID_PROPERTYPUT, 1}},
       DISP_E_BADPARAMCOUNT, 0, 0},
  };
  for (const NamedCall& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<VARIANT> rgvarg;
    std::vector<DISPID> ids;
    for (const auto& [id, value] : c.named) {
      rgvarg.push_back(Variant::I4(value).Detach());
      ids.push_back(id);
    }
    for (auto it = c.positional.rbegin(); it != c.positional.rend(); ++it) {
      rgvarg.push_back(Variant::I4(*it).Detach());
    }
    DISPPARAMS params{rgvarg.data(), ids.data(), static_cast<UINT>(rgvarg.size()),
                      static_cast<UINT>(ids.size())};
    Variant result;
    UINT bad = 99;
    EXCEPINFO info{};
    HRESULT hr = object_->Invoke(c.member, GUID_NULL, 0, c.flags, &params, result.get(), &info,
                                 &bad);
    ClearExcepInfo(&info);
    EXPECT_EQ(hr, c.expected);
    if (hr == S_OK) {
      EXPECT_EQ(result.get()->lVal, c.result);
    } else if (hr == DISP_E_PARAMNOTFOUND) {
      EXPECT_EQ(bad, c.bad_arg);
    }
  }
}

// Seventeen parameters: the arguments no longer fit Invoke's stack buffer,
// and placement, coercion and arg_error must not change with that.
TEST_F(DispatchTest, ManyParametersArePlacedAsFewAre) {
  struct Case {
    const char* what;
    std::vector<DISPID> named;  // parameters given by name (rgvarg front)
    const char* bad_text;       // a non-number for the first named one, or null
    HRESULT expected;
    UINT bad_arg;
  };
  const Case cases[] = {
      {"all positional", {}, nullptr, S_OK, 0},
      {"the last two named", {16, 15}, nullptr, S_OK, 0},
      {"every one named", {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, nullptr,
       S_OK, 0},
      {"a named one that does not coerce", {16, 15}, "x", DISP_E_TYPEMISMATCH, 0},
      {"a positional one that does not coerce", {}, "x", DISP_E_TYPEMISMATCH, 0},
      {"named twice", {16, 16}, nullptr, DISP_E_PARAMNOTFOUND, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Parameter i has the value i + 1; named ones first in rgvarg, then the
    // positional ones in reverse.
    std::vector<VARIANT> rgvarg;
    std::vector<bool> by_name(17, false);
    for (DISPID id : c.named) {
      rgvarg.push_back(Variant::I4(id + 1).Detach());
      by_name[id] = true;
    }
    const size_t positional = 17 - c.named.size();
    for (size_t i = positional; i-- > 0;) rgvarg.push_back(Variant::I4(int32_t(i) + 1).Detach());
    if (c.bad_text != nullptr) {
      // The first named argument, or else the first positional one (last in rgvarg).
      const size_t at = c.named.empty() ? rgvarg.size() - 1 : 0;
      VariantClear(&rgvarg[at]);
      rgvarg[at] = Variant::Utf8(c.bad_text).Detach();
    }
    DISPPARAMS params{rgvarg.data(), const_cast<DISPID*>(c.named.data()),
                      static_cast<UINT>(rgvarg.size()), static_cast<UINT>(c.named.size())};
    Variant result;
    UINT bad = 99;
    EXCEPINFO info{};
    HRESULT hr = object_->Invoke(10, GUID_NULL, 0, DISPATCH_METHOD, &params, result.get(), &info,
                                 &bad);
    ClearExcepInfo(&info);
    for (VARIANT& v : rgvarg) VariantClear(&v);
    EXPECT_EQ(hr, c.expected);
    if (hr == S_OK) {
      int32_t expected = 0;
      for (int32_t i = 0; i < 17; ++i) expected += (i + 1) * (i + 1);
      EXPECT_EQ(result.get()->lVal, expected);
    } else {
      const UINT expected_bad =
          c.bad_text != nullptr && c.named.empty() ? static_cast<UINT>(rgvarg.size() - 1)
                                                   : c.bad_arg;
      EXPECT_EQ(bad, expected_bad);
    }
  }
}

TEST_F(DispatchTest, IndexedPutTakesNamedIndexAndValue) {
  VARIANT rgvarg[2] = {Variant::Utf8("Taro").Detach(), Variant::Utf8("user").Detach()};
  DISPID ids[2] = {DISPID_PROPERTYPUT, 0};
  DISPPARAMS params{rgvarg, ids, 2, 2};
  ASSERT_EQ(object_->Invoke(5, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                            nullptr),
            S_OK);
  VariantClear(&rgvarg[0]);
  VariantClear(&rgvarg[1]);
  Variant result;
  ASSERT_EQ(Call(u"Entry", DISPATCH_PROPERTYGET, {Variant::Utf8("user")}, &result), S_OK);
  EXPECT_EQ(Bstr::View(result.get()->bstrVal), u"Taro");
}

TEST_F(DispatchTest, IndexedPropertyTakesTheValueLast) {
  Variant result;
  ASSERT_EQ(Call(u"Entry", DISPATCH_PROPERTYPUT, {Variant::Utf8("user"), Variant::Utf8("Taro")},
                 &result),
            S_OK);
  ASSERT_EQ(Call(u"Entry", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Variant::Utf8("user")},
                 &result),
            S_OK);
  EXPECT_EQ(Bstr::View(result.get()->bstrVal), u"Taro");
}

TEST_F(DispatchTest, ByReferenceArgumentsAreWrittenBack) {
  Variant left = Variant::Utf8("L");
  Variant right = Variant::I4(7);
  Variant result;
  ASSERT_EQ(Call(u"Swap", DISPATCH_METHOD, {Variant::RefTo(left.get()), Variant::RefTo(right.get())},
                 &result),
            S_OK);
  EXPECT_EQ(Bstr::View(left.get()->bstrVal), u"7");
  EXPECT_EQ(right.vt(), VT_BSTR);
  EXPECT_EQ(Bstr::View(right.get()->bstrVal), u"L");
  // A typed reference is used in place.
  BSTR text = SysAllocString(u"T");
  VARIANT typed{};
  typed.vt = VT_BYREF | VT_BSTR;
  typed.pbstrVal = &text;
  Variant other = Variant::Utf8("O");
  std::vector<VARIANT> raw{typed, *Variant::RefTo(other.get()).get()};
  VARIANT out{};
  ASSERT_EQ(InvokeByName(object_.get(), u"Swap", DISPATCH_METHOD, raw, &out, nullptr), S_OK);
  EXPECT_EQ(Bstr::View(text), u"O");
  SysFreeString(text);
}

TEST_F(DispatchTest, VariantParametersSeeWhatTheCallerPassed) {
  Variant result;
  Variant target = Variant::I4(1);
  ASSERT_EQ(Call(u"Describe", DISPATCH_METHOD, {Variant::RefTo(target.get())}, &result), S_OK);
  EXPECT_EQ(Bstr::View(result.get()->bstrVal), u"16396");  // VT_BYREF | VT_VARIANT
  ASSERT_EQ(Call(u"Optional", DISPATCH_METHOD, {}, &result), S_OK);
  EXPECT_EQ(result.get()->lVal, 3);
  ASSERT_EQ(Call(u"Optional", DISPATCH_METHOD, {Variant::Utf8("a")}, &result), S_OK);
  EXPECT_EQ(result.get()->lVal, 2);
}

TEST_F(DispatchTest, ServerConventionNumbersAndDescribesFailures) {
  struct Case {
    int number;
    bool composed;
    uint32_t scode;
    std::u16string description;
  } cases[] = {
      {10004, false, 0x80042714, MessageText16(10004)},
      {10005, true, 0x80020009, MessageText16(10005) + u"NAME"},
      {10009, false, 0x80042719, u"Unknown Error"},
  };
  for (const auto& c : cases) {
    EXCEPINFO info{};
    Variant result;
    EXPECT_EQ(Call(u"Fail", DISPATCH_METHOD, {Variant::I4(c.number), Variant::Bool(c.composed)},
                   &result, &info),
              DISP_E_EXCEPTION);
    EXPECT_EQ(static_cast<uint32_t>(info.scode), c.scode);
    EXPECT_EQ(Bstr::View(info.bstrDescription), c.description);
    EXPECT_EQ(Bstr::View(info.bstrSource), u"Sample.Object.1");
    EXPECT_EQ(info.dwHelpContext, 0u);
    // The number travels beside the code, which cannot show it when composed.
    EXPECT_EQ(info.wReserved, c.number);
    ClearExcepInfo(&info);
  }
}

TEST_F(DispatchTest, ClientConventionCarriesHelpContextForBareMessages) {
  EXCEPINFO info{};
  Variant result;
  EXPECT_EQ(Call(u"FailClient", DISPATCH_METHOD, {Variant::I4(10004), Variant::Bool(false)},
                 &result, &info),
            DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<uint32_t>(info.scode), 0x800A2714u);
  EXPECT_EQ(info.dwHelpContext, 0x60000u + 10004);
  EXPECT_EQ(Bstr::View(info.bstrSource), u"SampleApp");
  EXPECT_EQ(Bstr::View(info.bstrDescription), MessageText16(10004));
  ClearExcepInfo(&info);
  EXPECT_EQ(Call(u"FailClient", DISPATCH_METHOD, {Variant::I4(10031), Variant::Bool(true)},
                 &result, &info),
            DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<uint32_t>(info.scode), 0x800A0000u + 10031);
  EXPECT_EQ(info.dwHelpContext, 0u);
  EXPECT_EQ(Bstr::View(info.bstrDescription), MessageText16(10031) + u"+x");
  EXPECT_EQ(info.wReserved, 10031);
  ClearExcepInfo(&info);
}

TEST_F(DispatchTest, ExhaustedMemoryIsTheOutOfMemoryStatus) {
  EXCEPINFO info{};
  Variant result;
  EXPECT_EQ(Call(u"Exhaust", DISPATCH_METHOD, {}, &result, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_OUTOFMEMORY);
  EXPECT_EQ(info.bstrDescription, nullptr);  // no stale description from earlier failures
  EXPECT_EQ(info.wReserved, 0);
  ClearExcepInfo(&info);
}

// A vtable caller may leave an error object behind untaken; the next failure
// through Invoke must not be described by it, and a success must not hand it
// to anyone later either.
TEST_F(DispatchTest, LeftoverErrorObjectsNeverDescribeALaterFailure) {
  ComPtr<ISample> sample;
  ASSERT_EQ(object_->QueryInterface(IID_ISample, sample.put_void()), S_OK);
  Variant result;
  for (bool succeed_first : {false, true}) {
    SCOPED_TRACE(succeed_first ? "a success in between" : "the failure right after");
    ASSERT_NE(sample->Fail(10003, VARIANT_FALSE), S_OK);  // error object left on the thread
    if (succeed_first) {
      ASSERT_EQ(Call(u"Add", DISPATCH_METHOD, {Variant::I4(1), Variant::I4(2)}, &result), S_OK);
      ComPtr<IErrorInfo> leftover;
      EXPECT_EQ(GetErrorInfo(0, leftover.put()), S_FALSE);
      ASSERT_NE(sample->Fail(10003, VARIANT_FALSE), S_OK);
    }
    EXCEPINFO info{};
    EXPECT_EQ(Call(u"Exhaust", DISPATCH_METHOD, {}, &result, &info), DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_OUTOFMEMORY);
    EXPECT_EQ(info.bstrDescription, nullptr);
    ClearExcepInfo(&info);
  }
}

TEST_F(DispatchTest, VtableCallersReadTheErrorObject) {
  ComPtr<ISample> sample;
  ASSERT_EQ(object_->QueryInterface(IID_ISample, sample.put_void()), S_OK);
  EXPECT_EQ(static_cast<uint32_t>(sample->Fail(10003, VARIANT_FALSE)), 0x80042713u);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  Bstr description;
  info->GetDescription(description.put());
  EXPECT_EQ(description.view(), MessageText16(10003));
  GUID guid{};
  info->GetGUID(&guid);
  EXPECT_EQ(guid, IID_ISample);
  EXPECT_EQ(GetErrorInfo(0, info.put()), S_FALSE);  // taken once
}

}  // namespace
}  // namespace quillon::com
