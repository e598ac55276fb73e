// Member-table misuse that must not compile. Each MISUSE_* case is built on
// its own by the test list in tests/component/CMakeLists.txt, which checks
// the compiler's message; without one the file must compile.
#include "quillon/component/dispatch.h"

namespace quillon::com {

struct IA : IDispatch {
  virtual HRESULT get_Name(BSTR* value) = 0;
  virtual HRESULT Find(BSTR name, int32_t start, int32_t* found) = 0;
};
struct IB : IDispatch {
  virtual HRESULT get_Other(BSTR* value) = 0;
};

constexpr IID kIid{};

#if defined(MISUSE_FOREIGN_MEMBER)
constexpr auto kA = Members<IA>(Get<&IA::get_Name>(1, u"Name"), Get<&IB::get_Other>(2, u"Other"));
#elif defined(MISUSE_DUPLICATE_DISPID)
constexpr auto kA = Members<IA>(Get<&IA::get_Name>(1, u"Name"), Get<&IA::get_Name>(1, u"Title"));
#elif defined(MISUSE_DUPLICATE_NAME)
constexpr auto kA = Members<IA>(Function<&IA::Find>(2, u"Find(Name, Start)"),
                                Function<&IA::Find>(3, u"FIND(Name, Start)"));
#elif defined(MISUSE_PARAMETER_NAMES)
constexpr auto kA = Members<IA>(Function<&IA::Find>(2, u"Find(Name)"));
#else
constexpr auto kA = Members<IA>(Get<&IA::get_Name>(1, u"Name"),
                                Function<&IA::Find>(2, u"Find(Name, Start)", {.required = 1}));
#endif

constexpr InterfaceTable<IA> kTableA{u"IA", &kIid, kA};
constexpr auto kB = Members<IB>(Get<&IB::get_Other>(1, u"Other"));
constexpr InterfaceTable<IB> kTableB{u"IB", &kIid, kB};

#if defined(MISUSE_WRONG_INTERFACE)
using Wrong = DispatchImpl<IA, kTableB>;
Wrong* wrong = nullptr;
#else
using Right = DispatchImpl<IA, kTableA>;
Right* right = nullptr;
#endif

}  // namespace quillon::com
