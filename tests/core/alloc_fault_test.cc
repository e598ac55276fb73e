// Makes the Nth allocation fail, for N = 0, 1, 2 ... until the operation
// completes, and checks after every failure that the store is exactly as
// it was before the call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "quillon/core/data_store.h"
#include "quillon/core/pairs.h"
#include "quillon/platform/codepage.h"
#include "tests/support/failing_allocations.h"

namespace quillon::core {
namespace {

using Strings = std::vector<std::string>;

auto Snapshot(const NamedValues& s) {
  return std::make_tuple(s.outgoing_names(), s.outgoing_values(), s.IncomingNames(),
                         s.IncomingValues(), s.DataNames());
}

// Returns how many failure points were exercised.
template <class Op>
int FailEachAllocationInTurn(const NamedValues& start, Op op) {
  for (int n = 0; n < 10000; ++n) {
    NamedValues store = start;
    const auto before = Snapshot(store);
    bool failed = false;
    quillon::testing::allocations_before_failure = n;
    try {
      op(store);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    quillon::testing::allocations_before_failure = -1;
    if (!failed) return n;
    EXPECT_EQ(Snapshot(store), before) << "after failing allocation " << n;
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "operation never completed";
  return -1;
}

NamedValues Filled() {
  NamedValues store(NotFoundReport::kWithName,
                    platform::CodePage::Get(platform::CodePage::kJapanese));
  store.AppendString("an outgoing name longer than the small buffer", "v 1");
  store.FillIncoming("an%20incoming%20name%20that%20is%20long=1&b=2");
  return store;
}

TEST(AllocationFailureTest, AppendStringIsAllOrNothing) {
  const std::string value(100, 'x');
  const int points = FailEachAllocationInTurn(Filled(), [&](NamedValues& s) {
    s.AppendString("a name that does not fit the small string buffer", value);
  });
  EXPECT_GE(points, 3);  // name, encoded value, list growth
}

TEST(AllocationFailureTest, FillIncomingIsAllOrNothing) {
  const int points = FailEachAllocationInTurn(Filled(), [](NamedValues& s) {
    s.FillIncoming(
        "first%20long%20name%20of%20the%20second%20text=%41%42&b=3&"
        "yet%20another%20long%20name%20to%20decode=x&NEW=1");
  });
  EXPECT_GE(points, 10);
}

TEST(AllocationFailureTest, SplitPairsKeepsListsTheSameLength) {
  const std::string text = "first long name of the text=1&second long name of the text=2&c=3";
  for (int n = 0; n < 1000; ++n) {
    Strings names, values;
    bool failed = false;
    quillon::testing::allocations_before_failure = n;
    try {
      SplitPairs(text, &names, &values, platform::CodePage::Get(platform::CodePage::kUtf8));
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    quillon::testing::allocations_before_failure = -1;
    ASSERT_EQ(names.size(), values.size()) << "after failing allocation " << n;
    if (!failed) {
      EXPECT_EQ(names.size(), 3u);
      return;
    }
  }
  FAIL() << "SplitPairs never completed";
}

}  // namespace
}  // namespace quillon::core
