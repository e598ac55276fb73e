#include <gtest/gtest.h>

#include "quillon/client/identities.h"
#include "quillon/server/identities.h"
#include "quillon/component/types.h"

namespace quillon::com {
namespace {

TEST(GuidTest, FormatsUpperCaseWithBracesAndParsesBack) {
  EXPECT_EQ(FormatGuid(ids::CLSID_QServer), "{92B7D145-934B-11D2-A69F-00A0C93ED440}");
  GUID parsed{};
  ASSERT_TRUE(ParseGuid("{92b7d145-934b-11d2-a69f-00a0c93ed440}", &parsed));
  EXPECT_EQ(parsed, ids::CLSID_QServer);
  EXPECT_FALSE(parsed == ids::CLSID_QHtmlDoc);
}

TEST(GuidTest, RejectsMalformedTextAndLeavesOutputAlone) {
  const char* bad[] = {"",
                       "92B7D145-934B-11D2-A69F-00A0C93ED440",
                       "{92B7D145-934B-11D2-A69F-00A0C93ED44}",
                       "{92B7D145-934B-11D2-A69F-00A0C93ED4400}",
                       "{92B7D145+934B-11D2-A69F-00A0C93ED440}",
                       "{92B7D14G-934B-11D2-A69F-00A0C93ED440}",
                       "(92B7D145-934B-11D2-A69F-00A0C93ED440)"};
  for (const char* text : bad) {
    GUID g = ids::CLSID_HtmlTag;
    EXPECT_FALSE(ParseGuid(text, &g)) << text;
    EXPECT_EQ(g, ids::CLSID_HtmlTag) << text;
  }
}

TEST(GuidTest, CompileTimeLiteralMatchesRuntimeParse) {
  GUID parsed{};
  ASSERT_TRUE(ParseGuid("{C88698F4-9435-11D2-A6A0-00A0C93ED440}", &parsed));
  EXPECT_EQ(parsed, ids::CLSID_HtmlTags);
  EXPECT_EQ(ids::CLSID_HtmlTags.Data4[7], 0x40);
  EXPECT_EQ(ids::CLSID_HtmlTags.Data2, 0x9435);
}

}  // namespace
}  // namespace quillon::com
