#include "quillon/platform/handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace quillon::platform {
namespace {

// Handles are small integers; 0 is the invalid one. Closing records the
// handle, fails for 13 and clobbers errno as a real close may.
std::vector<int> g_closed;

struct FakeTraits {
  using Value = int;
  static constexpr int Invalid() { return 0; }
  static bool Close(int handle) {
    g_closed.push_back(handle);
    errno = EBADF;
    return handle != 13;
  }
};
using FakeHandle = UniqueHandle<FakeTraits>;

class UniqueHandleTest : public testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
};

TEST_F(UniqueHandleTest, EachHandleIsClosedExactlyOnceByItsLastOwner) {
  {
    FakeHandle a(1);
    FakeHandle b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), 1);
    FakeHandle c(2);
    c = std::move(b);  // 2 goes now, 1 moves over
    EXPECT_EQ(g_closed, std::vector<int>{2});
    FakeHandle empty;
    EXPECT_FALSE(empty);
  }
  EXPECT_EQ(g_closed, (std::vector<int>{2, 1}));
}

TEST_F(UniqueHandleTest, ReleaseGivesUpAndResetReplaces) {
  {
    FakeHandle a(3);
    EXPECT_EQ(a.release(), 3);
    EXPECT_FALSE(a.valid());
    a.reset(4);
    a.reset(4);  // the same handle again: still owned, not closed
    EXPECT_TRUE(g_closed.empty());
    a.reset(5);
    EXPECT_EQ(g_closed, std::vector<int>{4});
    a.reset();
    EXPECT_FALSE(a.valid());
  }
  EXPECT_EQ(g_closed, (std::vector<int>{4, 5}));
}

TEST_F(UniqueHandleTest, ClosingOnTheWayOutKeepsTheCallersErrno) {
  errno = 0;
  {
    FakeHandle a(6);
    errno = ENOENT;  // the failure a caller is about to report
  }
  EXPECT_EQ(errno, ENOENT);
  FakeHandle b(7);
  errno = EACCES;
  b.reset(8);
  EXPECT_EQ(errno, EACCES);
}

TEST_F(UniqueHandleTest, CloseReportsTheOutcomeAndEmpties) {
  FakeHandle good(12);
  EXPECT_TRUE(good.Close());
  EXPECT_FALSE(good.valid());
  FakeHandle bad(13);
  EXPECT_FALSE(bad.Close());
  EXPECT_FALSE(bad.valid());
  FakeHandle empty;
  EXPECT_TRUE(empty.Close());
  EXPECT_EQ(g_closed, (std::vector<int>{12, 13}));
}

TEST(UniqueFdTest, ClosesTheDescriptor) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  {
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    EXPECT_EQ(::write(write_end.get(), "x", 1), 1);
    EXPECT_TRUE(write_end.Close());
  }
  EXPECT_EQ(::fcntl(ends[0], F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(::fcntl(ends[1], F_GETFD), -1);
}

}  // namespace
}  // namespace quillon::platform
