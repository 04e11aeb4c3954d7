#include "pipe/framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace trb {
namespace {

using Strings = std::vector<std::string>;

struct OneRead {
  const char* name;
  std::string delivered;
  bool filled;
  Strings pieces;
  std::string carried;
};

std::string Filled(std::string text) {
  text.resize(Framer::kReadSize, 'x');
  return text;
}

class OneReadTest : public testing::TestWithParam<OneRead> {};

TEST_P(OneReadTest, GivesPiecesAndTail) {
  const OneRead& c = GetParam();
  Framer framer;
  const Framer::Pieces out = framer.Feed(c.delivered, c.filled);
  EXPECT_EQ(out.pieces, c.pieces);
  EXPECT_EQ(framer.carried(), c.carried);
  EXPECT_FALSE(out.over_long.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Framing, OneReadTest,
    testing::Values(
        OneRead{"TwoCommands", "SHOW;HIDE", false, {"SHOW", "HIDE"}, ""},
        OneRead{"FinalSeparator", "SHOW;", false, {"SHOW"}, ""},
        OneRead{"DoubleSeparator", "SHOW;;HIDE", false, {"SHOW", "", "HIDE"}, ""},
        OneRead{"LeadingSeparator", ";SHOW", false, {"", "SHOW"}, ""},
        OneRead{"LoneSeparator", ";", false, {""}, ""},
        OneRead{"TwoWritesReadTogether", "SHOWHIDE", false, {"SHOWHIDE"}, ""},
        OneRead{"NewlineAfterSeparator", "SHOW;\n", false, {"SHOW", "\n"}, ""},
        OneRead{"LoneNewline", "\n", false, {"\n"}, ""},
        OneRead{
            "ZeroByteDropsRest", std::string("SHOW;HI\0DE;QUIT", 15), false, {"SHOW", "HI"}, ""},
        OneRead{"ZeroByteFirst", std::string("\0SHOW", 5), false, {""}, ""},
        OneRead{"EmptyRead", "", false, {""}, ""},
        OneRead{"SpacesKept", " SHOW ; HIDE\t", false, {" SHOW ", " HIDE\t"}, ""},
        OneRead{"FilledCarriesLastPiece",
                Filled("SHOW;LOAD http://a/"),
                true,
                {"SHOW"},
                Filled("SHOW;LOAD http://a/").substr(5)},
        OneRead{"FilledEndingInSeparator",
                Filled("SHOW;").substr(0, 2046) + ";",
                true,
                {"SHOW", Filled("SHOW;").substr(5, 2041)},
                ""},
        OneRead{"FilledWithZeroByteHandledWhole",
                Filled(std::string("SHOW;HID\0", 9)),
                true,
                {"SHOW", "HID"},
                ""}),
    [](const testing::TestParamInfo<OneRead>& info) { return info.param.name; });

TEST(Framing, CommandAcrossReadBoundaryStaysWhole) {
  // 3000 bytes of commands read as 2047 + 953: the command under the boundary is one piece.
  std::string stream;
  while (stream.size() < 3000) stream += "LOAD http://example.test/page;";
  ASSERT_EQ(stream.size(), 3000u);
  Framer framer;
  Strings pieces = framer.Feed(std::string_view(stream).substr(0, 2047), true).pieces;
  const Strings second = framer.Feed(std::string_view(stream).substr(2047), false).pieces;
  pieces.insert(pieces.end(), second.begin(), second.end());
  EXPECT_TRUE(framer.carried().empty());
  ASSERT_EQ(pieces.size(), 100u);  // 30 bytes each; the 69th spans the boundary
  for (size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i], "LOAD http://example.test/page") << i;
  }
}

TEST(Framing, CarriedTailJoinsUnterminatedShortRead) {
  Framer framer;
  EXPECT_EQ(framer.Feed(Filled("SHOW;GET"), true).pieces, Strings{"SHOW"});
  // A short read is handled whole, with or without a final ';'.
  EXPECT_EQ(framer.Feed("URL", false).pieces, Strings{Filled("SHOW;GET").substr(5) + "URL"});
  EXPECT_TRUE(framer.carried().empty());
}

TEST(Framing, ZeroByteEndsCarriedCommand) {
  Framer framer;
  framer.Feed(Filled("A;B"), true);
  const std::string tail = framer.carried();
  EXPECT_EQ(framer.Feed(std::string("C\0;D;", 5), false).pieces, Strings{tail + "C"});
  EXPECT_TRUE(framer.carried().empty());
}

TEST(Framing, CarriedTailKeepsGrowingOverFilledReads) {
  Framer framer;
  const std::string chunk(Framer::kReadSize, 'u');
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(framer.Feed(chunk, true).pieces.empty());
  EXPECT_EQ(framer.carried().size(), 3 * Framer::kReadSize);
  EXPECT_EQ(framer.Feed("v;W", false).pieces, (Strings{std::string(3 * 2047, 'u') + "v", "W"}));
}

TEST(Framing, OverLongCommandIsAnsweredOnceAndDropped) {
  Framer framer;
  const std::string chunk(Framer::kReadSize, 'z');
  std::string seen;
  std::optional<std::string> over_long;
  while (!over_long) {
    Framer::Pieces out = framer.Feed(chunk, true);
    EXPECT_TRUE(out.pieces.empty());
    seen += chunk;
    over_long = std::move(out.over_long);
    ASSERT_LE(seen.size(), Framer::kMaxCarried + 2 * Framer::kReadSize);
  }
  EXPECT_EQ(*over_long, seen);
  EXPECT_GT(over_long->size(), Framer::kMaxCarried);
  EXPECT_TRUE(framer.carried().empty());

  // The rest of that command, up to its ';', is dropped; what follows is handled again.
  Framer::Pieces rest = framer.Feed(chunk, true);
  EXPECT_TRUE(rest.pieces.empty());
  EXPECT_FALSE(rest.over_long);
  EXPECT_EQ(framer.Feed("zzz;SHOW;HIDE", false).pieces, (Strings{"SHOW", "HIDE"}));
}

TEST(Framing, OverLongCommandEndingWithShortRead) {
  Framer framer;
  const std::string chunk(Framer::kReadSize, 'z');
  while (!framer.Feed(chunk, true).over_long) {
  }
  // A short read without ';' ends the over-long command too; the next read starts afresh.
  EXPECT_TRUE(framer.Feed("zzz", false).pieces.empty());
  EXPECT_EQ(framer.Feed("SHOW", false).pieces, Strings{"SHOW"});
}

TEST(Framing, OverLongCommandEndingExactlyAtSeparator) {
  Framer framer;
  const std::string chunk(Framer::kReadSize, 'z');
  while (!framer.Feed(chunk, true).over_long) {
  }
  const Framer::Pieces out = framer.Feed("zz;", false);
  EXPECT_TRUE(out.pieces.empty());
  EXPECT_EQ(framer.Feed("HIDE;", false).pieces, Strings{"HIDE"});
}

}  // namespace
}  // namespace trb
