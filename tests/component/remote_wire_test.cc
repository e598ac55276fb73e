// The byte form of out-of-process calls on its own: every message parses
// back to what was encoded, malformed bodies are refused, declared counts
// are paid for before anything is allocated, and no frame grows past its
// limit.
#include "component/remote_wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "tests/component/remote_values.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (GCC ships no header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));
#define QUILLON_HAVE_MALLOC_HOOKS 1
#endif

namespace quillon::com {
namespace {

using testing::EveryKind;
using testing::Same;
using testing::VariantArray;

// The body (after the kind byte) of `message`'s frame, and that frame's kind.
template <class Message>
std::string BodyOf(const Message& message, uint8_t* kind = nullptr) {
  wire::Writer w;
  EXPECT_TRUE(wire::Encode(message, &w));
  if (kind != nullptr) *kind = static_cast<uint8_t>(w.Body().at(0));
  // The length prefix counts what follows it.
  uint32_t length = 0;
  std::memcpy(&length, w.frame().data(), 4);
  EXPECT_EQ(length, w.frame().size() - 4);
  return std::string(w.Body().substr(1));
}

template <class Message>
void ExpectRoundTrip(const Message& message, uint8_t expected_kind, const char* name) {
  uint8_t kind = 0;
  const std::string body = BodyOf(message, &kind);
  EXPECT_EQ(kind, expected_kind) << name;
  Message parsed;
  ASSERT_TRUE(wire::Parse(body, &parsed)) << name;
  EXPECT_TRUE(parsed == message) << name;
  // One byte more is one byte too many.
  Message longer;
  EXPECT_FALSE(wire::Parse(body + '\0', &longer)) << name;
}

TEST(RemoteWire, SmallMessagesParseBackToThemselves) {
  ExpectRoundTrip(wire::Welcome{E_ACCESSDENIED}, wire::kWelcome, "welcome");
  ExpectRoundTrip(wire::Ready{Guid("{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}")}, wire::kReady,
                  "ready");
  ExpectRoundTrip(wire::Created{CLASS_E_CLASSNOTAVAILABLE}, wire::kCreated, "created");
  ExpectRoundTrip(wire::Create{}, wire::kCreate, "create");
  ExpectRoundTrip(wire::Release{}, wire::kRelease, "release");
  ExpectRoundTrip(wire::GetIds{{u"StartDebug", u"", std::u16string(u"a\0b", 3)}}, wire::kGetIds,
                  "names");
  ExpectRoundTrip(wire::GetIds{}, wire::kGetIds, "no names");
  ExpectRoundTrip(wire::IdsReply{DISP_E_UNKNOWNNAME, {7, DISPID_UNKNOWN, -5}}, wire::kIdsReply,
                  "ids");
}

// A call of every kind of value, by value and by reference, with named
// arguments: what the serving side parses, viewed again as a call, is the
// same call.
TEST(RemoteWire, CallsParseBackToThemselves) {
  std::vector<Variant> values = EveryKind();
  std::vector<Variant> storage = EveryKind();
  std::vector<VARIANT> args;
  for (const Variant& v : values) args.push_back(*v.get());
  for (Variant& v : storage) {
    if (v.vt() == VT_EMPTY || v.vt() == VT_NULL) continue;
    VARIANT ref;
    ref.vt = VT_BYREF | v.vt();
    ref.byref = &v.get()->llVal;
    args.push_back(ref);
  }
  Variant whole = Variant::Utf8("whole");
  VARIANT whole_ref;
  whole_ref.vt = VT_BYREF | VT_VARIANT;
  whole_ref.pvarVal = whole.get();
  args.push_back(whole_ref);
  std::vector<DISPID> named = {DISPID_PROPERTYPUT, 3};
  DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()),
                    static_cast<UINT>(named.size())};
  const wire::InvokeCall call{42, 0x411, DISPATCH_PROPERTYPUT, true, false, &params};

  wire::Writer w;
  ASSERT_EQ(wire::Encode(call, &w, nullptr), S_OK);
  ASSERT_EQ(w.Body().at(0), wire::kInvoke);
  const std::string body(w.Body().substr(1));
  wire::InvokeRequest parsed;
  ASSERT_TRUE(wire::Parse(body, &parsed));
  EXPECT_EQ(parsed.dispid, 42);
  EXPECT_EQ(parsed.lcid, 0x411u);
  EXPECT_EQ(parsed.flags, DISPATCH_PROPERTYPUT);
  EXPECT_TRUE(parsed.want_result);
  EXPECT_FALSE(parsed.want_excepinfo);
  EXPECT_EQ(parsed.named, named);
  std::vector<VARIANT> again = parsed.Arguments(false);
  ASSERT_EQ(again.size(), args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    EXPECT_EQ(again[i].vt, args[i].vt) << i;
    Variant a, b;
    VariantCopyInd(a.get(), &args[i]);
    VariantCopyInd(b.get(), &again[i]);
    EXPECT_TRUE(Same(*a.get(), *b.get())) << i;
  }
  DISPPARAMS again_params;
  wire::Writer w2;
  ASSERT_EQ(wire::Encode(parsed.AsCall(&again, &again_params), &w2, nullptr), S_OK);
  EXPECT_EQ(w2.frame(), w.frame());
}

TEST(RemoteWire, RepliesParseBackToThemselves) {
  wire::InvokeReply reply;
  reply.hr = DISP_E_EXCEPTION;
  reply.result = VariantArray(-1, {Variant::Utf8("x"), Variant::I4(3)}).Detach();
  reply.has_excepinfo = true;
  reply.w_code = 7;
  reply.source = u"QClient";
  reply.description = std::u16string(u"line\0two", 8);
  reply.help_file = u"help.chm";
  reply.help_context = 0x6271A;
  reply.scode = MakeHresult(0x800A2711);
  reply.has_arg_error = true;
  reply.arg_error = 2;
  reply.outs.emplace_back(1, Variant::Bytes(std::string_view("\0\xff", 2), 5).Detach());
  reply.outs.emplace_back(3, Variant::String(u"").Detach());
  reply.has_error_info = true;
  reply.error_guid = IID_IDispatch;
  reply.error_source = u"Quillon.QServer.1";
  reply.error_description = u"No parameter";
  reply.error_help_file = u"";
  reply.error_help_context = 9;

  const std::string body = BodyOf(reply);
  wire::InvokeReply parsed;
  ASSERT_TRUE(wire::Parse(body, &parsed));
  EXPECT_EQ(parsed.hr, reply.hr);
  EXPECT_TRUE(Same(parsed.result, reply.result));
  EXPECT_EQ(parsed.has_excepinfo, true);
  EXPECT_EQ(parsed.w_code, reply.w_code);
  EXPECT_EQ(parsed.source, reply.source);
  EXPECT_EQ(parsed.description, reply.description);
  EXPECT_EQ(parsed.help_file, reply.help_file);
  EXPECT_EQ(parsed.help_context, reply.help_context);
  EXPECT_EQ(parsed.scode, reply.scode);
  EXPECT_EQ(parsed.has_arg_error, true);
  EXPECT_EQ(parsed.arg_error, reply.arg_error);
  ASSERT_EQ(parsed.outs.size(), reply.outs.size());
  for (size_t i = 0; i < reply.outs.size(); ++i) {
    EXPECT_EQ(parsed.outs[i].first, reply.outs[i].first);
    EXPECT_TRUE(Same(parsed.outs[i].second, reply.outs[i].second)) << i;
  }
  EXPECT_EQ(parsed.has_error_info, true);
  EXPECT_EQ(parsed.error_guid, reply.error_guid);
  EXPECT_EQ(parsed.error_source, reply.error_source);
  EXPECT_EQ(parsed.error_description, reply.error_description);
  EXPECT_EQ(parsed.error_help_file, reply.error_help_file);
  EXPECT_EQ(parsed.error_help_context, reply.error_help_context);
  EXPECT_EQ(BodyOf(parsed), body);

  // The plain success: no exception, no argument error, no outs, no error.
  wire::InvokeReply plain;
  wire::InvokeReply plain_parsed;
  ASSERT_TRUE(wire::Parse(BodyOf(plain), &plain_parsed));
  EXPECT_EQ(plain_parsed.hr, S_OK);
  EXPECT_EQ(plain_parsed.result.vt, VT_EMPTY);
  EXPECT_FALSE(plain_parsed.has_excepinfo || plain_parsed.has_arg_error ||
               plain_parsed.has_error_info);
  EXPECT_TRUE(plain_parsed.outs.empty());
}

// The decoder on its own: bytes that must be refused.
TEST(RemoteWire, ParseInvokeRefusesMalformedBodies) {
  struct Case {
    const char* name;
    std::string body;
  };
  const std::string head(
      "\x01\0\0\0"
      "\0\0\0\0"
      "\x01\0"
      "\x01\x01",
      12);
  const Case cases[] = {
      {"empty", ""},
      {"no argument count", head},
      {"argument count beyond data", head + std::string("\xff\xff\0\0", 4)},
      {"unknown type", head + std::string("\x01\0\0\0\x0f\0\0\0\0\0", 10)},
      {"by-reference empty", head + std::string("\x01\0\0\0\x00\x40\0\0\0\0", 10)},
      {"nested by-reference", head + std::string("\x01\0\0\0\x0c\x40\x03\x40\0\0\0\0\0\0\0\0", 16)},
      {"string beyond data", head + std::string("\x01\0\0\0\x08\0\xff\0\0\0", 10)},
      {"array beyond data", head + std::string("\x01\0\0\0\x11\x20\0\0\0\0\x09\0\0\0\x01", 15)},
      {"more named than args", head + std::string("\0\0\0\0\x01\0\0\0\xfd\xff\xff\xff", 12)},
      {"bytes left over", head + std::string("\0\0\0\0\0\0\0\0\0", 9)},
  };
  for (const Case& c : cases) {
    wire::InvokeRequest request;
    EXPECT_FALSE(wire::Parse(c.body, &request)) << c.name;
  }
  wire::InvokeRequest ok;
  EXPECT_TRUE(wire::Parse(head + std::string("\x01\0\0\0\x03\0\x05\0\0\0\0\0\0\0", 14), &ok));
  ASSERT_EQ(ok.values.size(), 1u);
  EXPECT_EQ(ok.values[0].vt, VT_I4);
  EXPECT_EQ(ok.values[0].lVal, 5);

  // Nesting deeper than the limit is refused, not followed.
  std::string deep = head + std::string("\x01\0\0\0", 4);
  for (int i = 0; i < wire::kMaxDepth + 2; ++i)
    deep += std::string("\x0c\x20\0\0\0\0\x01\0\0\0", 10);
  deep += std::string(
      "\0\0"
      "\0\0\0\0",
      6);
  wire::InvokeRequest too_deep;
  EXPECT_FALSE(wire::Parse(deep, &too_deep));
}

// What a variant array of `count` elements looks like before its elements.
std::string ArrayHead(uint32_t count) {
  std::string bytes("\x0c\x20", 2);  // ARRAY | VARIANT
  bytes.append("\0\0\0\0", 4);       // lower bound
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(count >> (8 * i)));
  return bytes;
}

// Bytes allocated while `work` runs (0 without the sanitizer's hooks, which
// then leaves only the other checks).
template <class Work>
size_t AllocatedWhile(Work work) {
#if QUILLON_HAVE_MALLOC_HOOKS
  static std::atomic<bool> counting{false};
  static std::atomic<size_t> allocated{0};
  // Hooks stay installed for the process (they cannot be removed).
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(
      [](const volatile void*, size_t size) {
        if (counting) allocated += size;
      },
      [](const volatile void*) {});
  EXPECT_TRUE(installed);
  allocated = 0;
  counting = true;
  work();
  counting = false;
  return allocated;
#else
  work();
  return 0;
#endif
}

// The budget on its own: half the bytes, paid by every declared count.
TEST(RemoteWire, DeclaredCountsArePaidFromOneBudgetPerFrame) {
  const std::string bytes(1000, '\0');
  wire::Reader r(bytes);
  EXPECT_EQ(r.budget(), 500u);
  EXPECT_FALSE(r.Declare(501, 0)) << "beyond the budget";
  EXPECT_FALSE(r.Declare(400, 3)) << "beyond the bytes left";
  EXPECT_TRUE(r.Declare(300, 2));
  EXPECT_EQ(r.budget(), 200u);
  EXPECT_FALSE(r.Declare(201, 2)) << "what one claim took is gone for the next";
  EXPECT_TRUE(r.Declare(200, 2));
  EXPECT_FALSE(r.Declare(1, 0));
  // A large frame's budget stops at the element limit.
  const std::string large(2 * wire::kMaxFrameElements + 100, '\0');
  EXPECT_EQ(wire::Reader(large).budget(), wire::kMaxFrameElements);
}

// Arrays nested in each other that each claim half the frame: the second
// claim finds the budget spent, and the frame is refused without building
// what it claimed. Without a budget each level allocated its claim, 17
// times over (about 8 MiB each here).
TEST(RemoteWire, NestedArraysClaimingTheSameBytesAreRefusedUnbuilt) {
  constexpr size_t kFrame = size_t{1} << 20;
  std::string body(
      "\x01\0\0\0"
      "\0\0\0\0"
      "\x01\0"
      "\x01\x01"
      "\x01\0\0\0",
      16);
  for (int level = 0; level < 17; ++level) {
    body += ArrayHead(static_cast<uint32_t>((kFrame - body.size()) / 2 - 8));
  }
  body.resize(kFrame, '\0');
  const long arrays = LiveArrayCount();
  const size_t allocated = AllocatedWhile([&] {
    wire::InvokeRequest request;
    EXPECT_FALSE(wire::Parse(body, &request));
  });
  EXPECT_EQ(LiveArrayCount(), arrays);
  // One claim of half the frame costs eight times the frame as variants;
  // a second one is what the budget must stop.
  EXPECT_LT(allocated, 9 * kFrame);

  // The same nesting, as deep as allowed, with its elements really present.
  std::string honest(
      "\x01\0\0\0"
      "\0\0\0\0"
      "\x01\0"
      "\x01\x01"
      "\x01\0\0\0",
      16);
  for (int level = 0; level < wire::kMaxDepth - 1; ++level) honest += ArrayHead(1);
  honest += ArrayHead(3);
  for (char n : {'\x01', '\x02', '\x03'})
    honest += std::string("\x03\0", 2) + n + std::string(3, '\0');
  honest.append(4, '\0');  // no named arguments
  wire::InvokeRequest ok;
  EXPECT_TRUE(wire::Parse(honest, &ok));
}

// The writer refuses a frame above its limit instead of cutting its length,
// and stops keeping bytes once past it.
TEST(RemoteWire, FramesAboveTheLimitAreRefused) {
  const struct {
    size_t payload;
    bool fits;
  } cases[] = {{90, true}, {95, true}, {96, false}, {10000, false}};
  for (const auto& c : cases) {
    wire::Writer w(wire::Writer::Mode::kWrite, 100);
    w.U8(wire::kInvokeReply);
    w.Bytes(std::string(c.payload, 'x').data(), c.payload);
    w.U32(0);
    EXPECT_EQ(w.size(), c.payload + 5);
    EXPECT_EQ(w.Finish(), c.fits) << c.payload;
    EXPECT_LE(w.frame().size(), 4u + 100u) << c.payload;
  }
  // A message that cannot be sent says so.
  Variant big = Variant::Bytes(std::string(200, 'b'));
  DISPPARAMS params{big.get(), nullptr, 1, 0};
  wire::Writer w(wire::Writer::Mode::kWrite, 100);
  EXPECT_EQ(wire::Encode(wire::InvokeCall{1, 0, DISPATCH_METHOD, true, true, &params}, &w, nullptr),
            E_OUTOFMEMORY);
  uint64_t size = 0;
  EXPECT_EQ(wire::MeasureVariant(*big.get(), &size), S_OK);
  EXPECT_EQ(size, 2u + 4u + 4u + 200u);
  VARIANT object;  // a live pointer (never followed) cannot cross
  object.vt = VT_DISPATCH;
  object.pdispVal = reinterpret_cast<IDispatch*>(&size);
  EXPECT_EQ(wire::MeasureVariant(object, nullptr), DISP_E_TYPEMISMATCH);
}

}  // namespace
}  // namespace quillon::com
