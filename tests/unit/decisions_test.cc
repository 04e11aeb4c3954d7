// Every branch of the before-browse and load-error decisions.
#include "policy/decisions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/pages.h"
#include "support/case_name.h"

namespace trb {
namespace {

using Action = NavigationDecision::Action;

struct BrowseCase {
  std::vector<std::string> list;  // empty: no list set
  std::string url;
  Action action;
};

class BeforeBrowseCases : public ::testing::TestWithParam<BrowseCase> {};

TEST_P(BeforeBrowseCases, DecidesAndComposesTheDeniedPage) {
  const BrowseCase& c = GetParam();
  AllowedOrigins origins;
  if (!c.list.empty()) origins.Replace(c.list);
  const NavigationDecision d = DecideBeforeBrowse(c.url, origins);
  EXPECT_EQ(d.action, c.action) << c.url;
  if (c.action == Action::kDeny) {
    EXPECT_EQ(d.page_url, MakeDataURL(AccessDeniedPage(c.url), "text/html"));
  } else {
    EXPECT_TRUE(d.page_url.empty());
  }
}

const std::vector<std::string> kList = {"https://allowed.org"};

INSTANTIATE_TEST_SUITE_P(
    Branches, BeforeBrowseCases,
    ::testing::Values(
        // Own scheme: handed over with or without a list; exact, case-sensitive, 7 bytes.
        BrowseCase{{}, "tavrin:open?x", Action::kHandToOs},
        BrowseCase{kList, "tavrin:open?x", Action::kHandToOs},
        BrowseCase{kList, "tavrin:", Action::kHandToOs}, BrowseCase{kList, "tavrin", Action::kDeny},
        BrowseCase{{}, "tavrin", Action::kAllow}, BrowseCase{kList, "TAVRIN:x", Action::kDeny},
        BrowseCase{{}, "TAVRIN:x", Action::kAllow}, BrowseCase{kList, "tavrinx:foo", Action::kDeny},
        BrowseCase{{}, "tavrinx:foo", Action::kAllow},
        BrowseCase{{"tavrin"}, "tavrinx:foo", Action::kAllow},
        // HTML data: URLs always pass; other data: URLs meet the list.
        BrowseCase{kList, "data:text/html;base64,YWJj", Action::kAllow},
        BrowseCase{kList, "data:text/html", Action::kAllow},
        BrowseCase{kList, "data:text/htm", Action::kDeny},
        BrowseCase{kList, "DATA:text/html,x", Action::kDeny},
        BrowseCase{kList, "data:text/plain,hi", Action::kDeny},
        BrowseCase{{}, "data:text/plain,hi", Action::kAllow},
        BrowseCase{{"data:text/plain"}, "data:text/plain,hi", Action::kAllow},
        // The list itself.
        BrowseCase{kList, "https://allowed.org/page", Action::kAllow},
        BrowseCase{kList, "https://ALLOWED.org:443/page", Action::kAllow},
        BrowseCase{kList, "https://other.org/<x>&", Action::kDeny},
        BrowseCase{kList, "about:blank", Action::kDeny},
        BrowseCase{{}, "about:blank", Action::kAllow},
        BrowseCase{{}, "https://anything.org/", Action::kAllow},
        BrowseCase{{"x(", "https://allowed.org"}, "https://allowed.org/", Action::kAllow},
        BrowseCase{{"x("}, "https://allowed.org/", Action::kDeny}),
    [](const auto& info) { return test::CaseName(info.param.url, info.index); });

// An aborted load (-3) shows nothing; every other code the Load Error page.
TEST(LoadError, EveryCodeButAbortedShowsTheLoadErrorPage) {
  EXPECT_FALSE(DecideLoadError("https://x/", "net::ERR_ABORTED", -3).has_value());
  for (int32_t code : {-105, -2, -4, 0, 1, 3, 404}) {
    const auto url = DecideLoadError("https://x/?a&b", "net::ERR_X", code);
    ASSERT_TRUE(url.has_value()) << code;
    EXPECT_EQ(*url, MakeDataURL(LoadErrorPage("https://x/?a&b", "net::ERR_X", code), "text/html"));
  }
}

}  // namespace
}  // namespace trb
