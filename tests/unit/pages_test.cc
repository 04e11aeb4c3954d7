// Page texts and data: URLs, byte for byte, and the escaping of inserted values.
#include "policy/pages.h"
#include "support/case_name.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace trb {
namespace {

// The fixed pieces of the composed pages, as the browser must show them.
const std::string kDeniedHead =
    "<html><head><title>Tavrin Browser - URL Not Allowed</title><style>body { color: white; "
    "background-color: #404040; font-family: Arial, sans-serif; text-align: center; padding: "
    "50px; }h1 { font-size: 2em; margin-bottom: 20px; }p { font-size: 1.2em; }</style></head>"
    "<body><h1>Access Denied</h1><p>The URL <strong>";
const std::string kDeniedTail =
    "</strong> is not whitelisted and cannot be accessed.</p></body></html>";
const std::string kErrorHead =
    "<html><head><title>Tavrin Browser - Load Error</title><style>body { color: white; "
    "background-color: #404040; font-family: Arial, sans-serif; text-align: center; padding: "
    "50px; }h1 { font-size: 2em; margin-bottom: 20px; }p { font-size: 1.2em; }</style></head>"
    "<body><h1>Failed to Load URL</h1><p>The URL <strong>";
const std::string kErrorMiddle = "</strong> could not be loaded.</p><p>Error: ";

TEST(DefaultPage, IsTheEightyNineBytePageAsADataUrl) {
  EXPECT_EQ(kDefaultPageHtml,
            "<html><head><title>Tavrin WebBrowser</title></head><body bgcolor=\"#404040\">"
            "</body></html>");
  EXPECT_EQ(DefaultPageURL(), MakeDataURL(kDefaultPageHtml, "text/html"));
}

struct DataUrlCase {
  std::string data;
  std::string mime;
  std::string url;
};

class DataUrlCases : public ::testing::TestWithParam<DataUrlCase> {};

TEST_P(DataUrlCases, EncodesAndEscapes) {
  const DataUrlCase& c = GetParam();
  EXPECT_EQ(MakeDataURL(c.data, c.mime), c.url);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DataUrlCases,
    ::testing::Values(
        DataUrlCase{"abc", "text/html", "data:text/html;base64,YWJj"},
        DataUrlCase{"ab", "text/html", "data:text/html;base64,YWI%3D"},
        DataUrlCase{"a", "text/html", "data:text/html;base64,YQ%3D%3D"},
        DataUrlCase{"", "text/html", "data:text/html;base64,"},
        DataUrlCase{"\xfb\xff", "text/html", "data:text/html;base64,%2B%2F8%3D"},
        DataUrlCase{"\xfb\xef\xbe", "text/plain", "data:text/plain;base64,%2B%2B%2B%2B"},
        DataUrlCase{"\xff\xff\xff", "text/html", "data:text/html;base64,%2F%2F%2F%2F"},
        DataUrlCase{"Man", "x", "data:x;base64,TWFu"},
        // Bytes whose encoding is every base64 digit in order.
        DataUrlCase{
            std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51"
                        "\x55\x97\x61\x96\x9b\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a"
                        "\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf",
                        48),
            "x",
            "data:x;base64,ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789%2B%2F"}),
    [](const auto& info) {
      return test::CaseName(info.param.mime + " " + info.param.data, info.index);
    });

TEST(EscapeHtml, EscapesTheFiveCharactersOnly) {
  EXPECT_EQ(EscapeHtml("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#39;f");
  EXPECT_EQ(EscapeHtml("https://x/?q=1;caf\xc3\xa9 %20"), "https://x/?q=1;caf\xc3\xa9 %20");
  EXPECT_EQ(EscapeHtml(""), "");
}

TEST(AccessDeniedPage, ComposesHeadUrlTail) {
  EXPECT_EQ(AccessDeniedPage("https://x.org/a"), kDeniedHead + "https://x.org/a" + kDeniedTail);
  EXPECT_EQ(AccessDeniedPage(""), kDeniedHead + kDeniedTail);
  // A hostile URL cannot break out of the markup.
  EXPECT_EQ(AccessDeniedPage("https://x/?a=1&b=<script>\"'"),
            kDeniedHead + "https://x/?a=1&amp;b=&lt;script&gt;&quot;&#39;" + kDeniedTail);
}

struct LoadErrorCase {
  std::string url;
  std::string text;
  int32_t code;
  std::string inserted_url, inserted_text, code_text;
};

class LoadErrorCases : public ::testing::TestWithParam<LoadErrorCase> {};

TEST_P(LoadErrorCases, ComposesEveryPiece) {
  const LoadErrorCase& c = GetParam();
  EXPECT_EQ(LoadErrorPage(c.url, c.text, c.code), kErrorHead + c.inserted_url + kErrorMiddle +
                                                      c.inserted_text + " (" + c.code_text +
                                                      ").</p></body></html>");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LoadErrorCases,
    ::testing::Values(LoadErrorCase{"http://a/", "net::ERR_NAME_NOT_RESOLVED", -105, "http://a/",
                                    "net::ERR_NAME_NOT_RESOLVED", "-105"},
                      LoadErrorCase{"u", "t", 404, "u", "t", "404"},
                      LoadErrorCase{"", "", 0, "", "", "0"},
                      LoadErrorCase{"u", "t", INT32_MIN, "u", "t", "-2147483648"},
                      LoadErrorCase{"u", "t", INT32_MAX, "u", "t", "2147483647"},
                      LoadErrorCase{"http://a/?x=<b>&y", "bad 'thing' \"here\"", -2,
                                    "http://a/?x=&lt;b&gt;&amp;y",
                                    "bad &#39;thing&#39; &quot;here&quot;", "-2"}),
    [](const auto& info) {
      return test::CaseName(info.param.url + " " + info.param.text, info.index);
    });

}  // namespace
}  // namespace trb
