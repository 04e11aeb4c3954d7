// The events' encoding: every event is one line of valid JSON, whatever bytes a page put in
// its URL or title. Checked by parsing what was written.
#include "pipe/events.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace trb {
namespace {

using Json = nlohmann::json;

// The one JSON object on the line; fails the test when the line is not exactly that.
Json ParseLine(const std::string& line) {
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 1) << "one line: " << line;
  Json parsed = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  EXPECT_TRUE(parsed.is_object()) << line;
  return parsed;
}

struct TextCase {
  const char* name;
  std::string text;
  std::string decoded;  // what a JSON reader gets back
};

class EventText : public ::testing::TestWithParam<TextCase> {};

TEST_P(EventText, IsValidJsonAndReadsBack) {
  const TextCase& c = GetParam();
  const Json url = ParseLine(events::Url(c.text));
  EXPECT_EQ(url.value("url", "?"), c.decoded);
  const Json title = ParseLine(events::Title(c.text));
  EXPECT_EQ(title.value("title", "?"), c.decoded);
  const Json error = ParseLine(events::LoadError(c.text, -105, c.text, true));
  EXPECT_EQ(error.value("text", "?"), c.decoded);
  // The name always comes first, so a reader can dispatch on the line's start.
  EXPECT_EQ(events::Title(c.text).rfind(R"({"event":"title",)", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EventText,
    ::testing::Values(TextCase{"Plain", "http://a.test/x?y=1&z=2", "http://a.test/x?y=1&z=2"},
                      TextCase{"Empty", "", ""}, TextCase{"Quotes", R"(say "hi")", R"(say "hi")"},
                      TextCase{"Backslashes", R"(C:\path\"x\\)", R"(C:\path\"x\\)"},
                      TextCase{"LineBreaksAndTabs", "a\nb\r\nc\td", "a\nb\r\nc\td"},
                      TextCase{"ControlCharacters",
                               std::string("a\x01\x1f\x7f", 4) + std::string(1, '\0') + "z",
                               std::string("a\x01\x1f\x7f", 4) + std::string(1, '\0') + "z"},
                      TextCase{"LineSeparators", "a\u2028b\u2029c", "a\u2028b\u2029c"},
                      TextCase{"Utf8", "Grüße 😀 中文", "Grüße 😀 中文"},
                      TextCase{"InvalidByte",
                               "a\xff"
                               "b",
                               "a\uFFFD"
                               "b"},
                      TextCase{"TruncatedSequenceAtEnd", "ab\xe2\x82", "ab\uFFFD"},
                      TextCase{"Overlong", "\xc0\xaf/", "\uFFFD\uFFFD/"},
                      TextCase{"EncodedSurrogate", "x\xed\xa0\x80y", "x\uFFFD\uFFFD\uFFFDy"},
                      TextCase{"LoneContinuation", "\x80\x80", "\uFFFD\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Events, EachHasItsNameAndFields) {
  struct Expect {
    std::string line;
    Json object;
  };
  const Expect cases[] = {
      {events::Url("u"), {{"event", "url"}, {"url", "u"}}},
      {events::Load("u"), {{"event", "load"}, {"url", "u"}}},
      {events::LoadError("u", -105, "net::ERR_NAME_NOT_RESOLVED", true),
       {{"event", "load-error"},
        {"url", "u"},
        {"code", -105},
        {"text", "net::ERR_NAME_NOT_RESOLVED"},
        {"main", true}}},
      {events::Denied("u", false), {{"event", "denied"}, {"url", "u"}, {"main", false}}},
      {events::Handoff("tavrin:x"), {{"event", "handoff"}, {"url", "tavrin:x"}}},
      {events::Title("t"), {{"event", "title"}, {"title", "t"}}},
      {events::Window("minimized"), {{"event", "window"}, {"state", "minimized"}}},
      {events::Popup("u"), {{"event", "popup"}, {"url", "u"}}},
      {events::RendererGone("killed"), {{"event", "renderer-gone"}, {"status", "killed"}}},
      {events::Dropped(18446744073709551615u),
       {{"event", "dropped"}, {"count", 18446744073709551615u}}},
  };
  for (const Expect& c : cases) EXPECT_EQ(ParseLine(c.line), c.object) << c.line;
}

}  // namespace
}  // namespace trb
