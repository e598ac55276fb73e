// The runtime keeps the buffers of freed large strings and byte arrays for
// the next ones of a like size. It must never hand out a buffer that a live
// string or array still uses, never keep more than its bounds, and never
// change what a string or array holds.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/component/types.h"
#include "tests/support/vm_flags.h"

namespace quillon::com {
namespace {

// A live string or byte array, its bytes and the byte it was filled with.
struct Live {
  BSTR string = nullptr;
  SAFEARRAY* array = nullptr;
  size_t bytes = 0;
  uint8_t fill = 0;

  const uint8_t* data() const {
    return string != nullptr ? reinterpret_cast<const uint8_t*>(string)
                             : static_cast<const uint8_t*>(array->pvData);
  }
  // Every byte is `fill`: the first is, and each equals the next.
  bool Intact() const {
    return bytes == 0 || (data()[0] == fill && std::memcmp(data(), data() + 1, bytes - 1) == 0);
  }
  void Free() {
    if (string != nullptr) SysFreeString(string);
    if (array != nullptr) SafeArrayDestroy(array);
  }
};

// The memory a live one holds: its bytes, and an array's descriptor (a
// small block itself).
std::vector<std::pair<const uint8_t*, size_t>> Regions(const Live& l) {
  std::vector<std::pair<const uint8_t*, size_t>> regions = {{l.data(), l.bytes}};
  if (l.array != nullptr) {
    regions.emplace_back(reinterpret_cast<const uint8_t*>(l.array), sizeof(SAFEARRAY));
  }
  return regions;
}

bool Overlap(const Live& a, const Live& b) {
  for (const auto& [x, x_size] : Regions(a)) {
    for (const auto& [y, y_size] : Regions(b)) {
      if (x < y + y_size && y < x + x_size) return true;
    }
  }
  return false;
}

// Strings and byte arrays of cacheable sizes made and freed at random:
// every new one lies apart from every live one, and no live one changes
// when the others are written.
TEST(BufferReuse, NothingLiveIsEverHandedOut) {
  std::mt19937 rng(3);
  std::vector<Live> live;
  // Large sizes for the shared cache, small ones for the thread's own.
  const size_t sizes[] = {kMinCachedBuffer,
                          kMinCachedBuffer + 1000,
                          3 * kMinCachedBuffer,
                          size_t{1} << 20,
                          2,
                          11,
                          30,
                          64,
                          100,
                          130};
  for (int step = 0; step < 400; ++step) {
    if (!live.empty() && rng() % 3 == 0) {
      const size_t victim = rng() % live.size();
      ASSERT_TRUE(live[victim].Intact()) << "step " << step;
      live[victim].Free();
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(victim));
      continue;
    }
    Live made;
    made.bytes = sizes[rng() % std::size(sizes)];
    made.fill = static_cast<uint8_t>(step);
    switch (rng() % 3) {
      case 0:
        made.string = AllocStringForWriting(static_cast<UINT>(made.bytes / 2));
        made.bytes = made.bytes / 2 * 2;
        ASSERT_NE(made.string, nullptr);
        break;
      case 1:
        made.array = SafeArrayCreateBytesForWriting(0, static_cast<ULONG>(made.bytes));
        ASSERT_NE(made.array, nullptr);
        break;
      default:
        // Zeroed as documented, even when its buffer was another's.
        made.array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(made.bytes));
        ASSERT_NE(made.array, nullptr);
        made.fill = 0;
        ASSERT_TRUE(made.Intact()) << "a new byte array is not all zero at step " << step;
        made.fill = static_cast<uint8_t>(step);
        break;
    }
    for (const Live& other : live) {
      ASSERT_FALSE(Overlap(made, other)) << "step " << step << " got memory still in use";
    }
    std::memset(const_cast<uint8_t*>(made.data()), made.fill, made.bytes);
    live.push_back(made);
  }
  for (Live& l : live) {
    EXPECT_TRUE(l.Intact());
    l.Free();
  }
}

TEST(BufferReuse, AFreedLargeStringServesTheNextOfItsSizeButNotASmallOne) {
  const UINT units = 1 << 20;  // 2 MiB
  BSTR first = AllocStringForWriting(units);
  ASSERT_NE(first, nullptr);
  SysFreeString(first);
  // Far smaller: it must not be given the 2 MiB that sit waiting.
  BSTR small = AllocStringForWriting(kMinCachedBuffer);
  ASSERT_NE(small, nullptr);
  EXPECT_NE(small, first);
  // The same size again: the pages already there are used.
  BSTR second = AllocStringForWriting(units);
  EXPECT_EQ(second, first);
  SysFreeString(small);
  SysFreeString(second);
}

TEST(BufferReuse, KeptBytesStayWithinTheirBounds) {
  const size_t before = CachedBufferBytes();
  ASSERT_LE(before, kMaxCachedBytes);
  // Below the cached size: freed at once.
  SysFreeString(AllocStringForWriting(100));
  EXPECT_EQ(CachedBufferBytes(), before);
  // Above the whole budget: never kept.
  SysFreeString(AllocStringForWriting(static_cast<UINT>(kMaxCachedBytes / 2 + 4096)));
  EXPECT_EQ(CachedBufferBytes(), before);
  // Many large ones of assorted sizes, all alive at once and then freed.
  std::vector<BSTR> strings;
  for (int i = 0; i < 40; ++i) {
    strings.push_back(AllocStringForWriting(static_cast<UINT>((size_t{1} << 16) * (1 + i % 97))));
    ASSERT_NE(strings.back(), nullptr);
  }
  size_t freed = 0;
  for (BSTR s : strings) {
    freed += SysStringByteLen(s);
    SysFreeString(s);
    ASSERT_LE(CachedBufferBytes(), kMaxCachedBytes);
  }
  EXPECT_LT(CachedBufferBytes(), freed) << "not everything freed is kept";
  EXPECT_GT(CachedBufferBytes(), 0u) << "something freed is kept for reuse";
}

// Short strings and arrays are kept by the thread that frees them, for its
// own next ones, up to a bound; what a thread keeps is freed when it ends
// (the sanitizer build's leak check reports those blocks otherwise).
TEST(BufferReuse, SmallBlocksServeTheirThreadWithinTheirBound) {
  std::thread([] {
    ASSERT_EQ(CachedSmallBuffers(), 0u);
    BSTR first = SysAllocString(u"name-1");
    const void* block = first;
    SysFreeString(first);
    EXPECT_EQ(CachedSmallBuffers(), 1u);
    BSTR again = SysAllocString(u"note 2");
    EXPECT_EQ(static_cast<const void*>(again), block) << "a kept block of the size is used";
    EXPECT_EQ(CachedSmallBuffers(), 0u);
    EXPECT_EQ(std::u16string_view(again, SysStringLen(again)), u"note 2");
    SysFreeString(again);

    // 600 strings of 0 to 69 units, all alive, then freed: each small size
    // keeps its share and no more; the longer ones are not kept.
    std::vector<BSTR> strings;
    for (UINT i = 0; i < 600; ++i) {
      strings.push_back(AllocStringForWriting(i % 70));
      ASSERT_NE(strings.back(), nullptr);
    }
    for (BSTR s : strings) {
      SysFreeString(s);
      ASSERT_LE(CachedSmallBuffers(), kMaxCachedSmallBuffers);
    }
    EXPECT_EQ(CachedSmallBuffers(), kMaxCachedSmallBuffers);
  }).join();
}

using quillon::testing::VmFlagsAt;

TEST(HugePageAdvice, GivenForWholeHugePagesUnlessTurnedOff) {
  constexpr size_t kHuge = size_t{2} << 20;
  struct Case {
    const char* what;
    bool large_buffer;  // AdviseLargeBuffer, else AdviseHugePages
    size_t offset;      // from a 2 MiB boundary
    size_t size;
    std::optional<const char*> setting;  // QUILLON_HUGE_PAGES
    bool advised;
  };
  const Case cases[] = {
      {"one aligned huge page", false, 0, kHuge, std::nullopt, true},
      {"turned off", false, 0, kHuge, "0", false},
      {"any other setting keeps it", false, 0, kHuge, "1", true},
      {"no whole huge page inside", false, 4096, kHuge, std::nullopt, false},
      {"a large buffer's own minimum", true, 0, kLargeBuffer, std::nullopt, true},
      {"below a large buffer's minimum", true, 0, kHuge, std::nullopt, false},
      {"a large buffer, turned off", true, 0, kLargeBuffer, "0", false},
  };
  if (!quillon::testing::HugePageAdviceTaken()) {
    GTEST_SKIP() << "this kernel has no transparent huge pages";
  }
  const char* before = std::getenv("QUILLON_HUGE_PAGES");
  const std::optional<std::string> saved =
      before ? std::optional<std::string>(before) : std::nullopt;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t span = 4 * kHuge;
    void* map = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(map) + kHuge - 1) & ~(kHuge - 1);
    char* data = reinterpret_cast<char*>(aligned + c.offset);
    if (c.setting) {
      setenv("QUILLON_HUGE_PAGES", *c.setting, 1);
    } else {
      unsetenv("QUILLON_HUGE_PAGES");
    }
    if (c.large_buffer) {
      AdviseLargeBuffer(data, c.size);
    } else {
      AdviseHugePages(data, c.size);
    }
    // The first whole huge page inside the range (or, for a range that
    // starts past a boundary, the one a rounding fault would advise).
    const std::string flags = VmFlagsAt(reinterpret_cast<void*>(aligned + (c.offset ? kHuge : 0)));
    ASSERT_NE(flags, "") << "no mapping found";
    EXPECT_EQ(flags.find(" hg ") != std::string::npos, c.advised) << flags;
    // The contents are never affected.
    std::memset(data, 0x5a, c.size);
    EXPECT_EQ(data[c.size - 1], 0x5a);
    munmap(map, span);
  }
  if (saved) {
    setenv("QUILLON_HUGE_PAGES", saved->c_str(), 1);
  } else {
    unsetenv("QUILLON_HUGE_PAGES");
  }
}

}  // namespace
}  // namespace quillon::com
