#include "reply_plan.h"

#include <gtest/gtest.h>

namespace trbctl {
namespace {

const std::string kNonce = "0123456789abcdef";
const std::string kMarkerReply = "ERROR Syntax Error: #trbrowserctl-0123456789abcdef";

TEST(ReplyPlan, WhichCommandsAnswer) {
  struct Case {
    std::string piece;
    ReplyKind kind;
  };
  // Which pieces the browser refuses is the command language's business (its unit tests); the
  // plan follows it for one piece of each kind.
  const Case cases[] = {
      {"LOAD http://127.0.0.1/", ReplyKind::kNone},
      {"load http://127.0.0.1/", ReplyKind::kSyntaxError},
      {"", ReplyKind::kSyntaxError},
      {"ISHIDDEN extra", ReplyKind::kIsHidden},
      {"GETURL", ReplyKind::kGetUrl},
      {"QUIT now", ReplyKind::kFinalReport},
      {"SET-HIDE-ON-CLOSE 1", ReplyKind::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("piece \"" + c.piece + "\"");
    Plan plan = PlanPiece(c.piece, kNonce);
    EXPECT_EQ(plan.kind, c.kind);
    if (c.kind != ReplyKind::kGetUrl) {
      EXPECT_EQ(plan.wire, c.piece + ";");
    }
    if (c.kind == ReplyKind::kSyntaxError) {
      EXPECT_EQ(plan.expected, "ERROR Syntax Error: " + c.piece);
    }
  }
}

TEST(ReplyPlan, GetUrlIsFollowedByARefusedMarker) {
  Plan plan = PlanPiece("GETURL", kNonce);
  EXPECT_EQ(plan.wire, "GETURL;#trbrowserctl-0123456789abcdef;");
  EXPECT_EQ(plan.expected, kMarkerReply);
  // The marker must be something the browser refuses, or its reply never comes.
  EXPECT_EQ(PlanPiece(MarkerPiece(kNonce), kNonce).kind, ReplyKind::kSyntaxError);
}

TEST(ReplyBuffer, BackToBackRepliesAreCutApart) {
  // Everything a session of four answering commands gets, in a single read.
  ReplyBuffer buffer;
  buffer.Append("ISHIDDEN 1GETURL http://127.0.0.1:8080/a?b=c d" + kMarkerReply +
                "ERROR Syntax Error: loadISHIDDEN 0GEOMETRY 1 2 3 4");
  std::string reply;
  ASSERT_EQ(buffer.Take(PlanPiece("ISHIDDEN", kNonce), reply), TakeStatus::kComplete);
  EXPECT_EQ(reply, "ISHIDDEN 1");
  ASSERT_EQ(buffer.Take(PlanPiece("GETURL", kNonce), reply), TakeStatus::kComplete);
  EXPECT_EQ(reply, "GETURL http://127.0.0.1:8080/a?b=c d");
  ASSERT_EQ(buffer.Take(PlanPiece("load", kNonce), reply), TakeStatus::kComplete);
  EXPECT_EQ(reply, "ERROR Syntax Error: load");
  ASSERT_EQ(buffer.Take(PlanPiece("ISHIDDEN", kNonce), reply), TakeStatus::kComplete);
  EXPECT_EQ(reply, "ISHIDDEN 0");
  EXPECT_EQ(buffer.TakeFinalReport(), "GEOMETRY 1 2 3 4");
  EXPECT_EQ(buffer.pending(), "");
}

TEST(ReplyBuffer, RepliesSplitAcrossReadsWaitForTheRest) {
  std::string stream = "GETURL http://127.0.0.1/ISHIDDEN 0" + kMarkerReply + "ISHIDDEN 1";
  Plan geturl = PlanPiece("GETURL", kNonce);
  Plan ishidden = PlanPiece("ISHIDDEN", kNonce);
  // Feed one byte at a time: every prefix must be "incomplete", never a wrong reply.
  ReplyBuffer buffer;
  std::string reply;
  size_t i = 0;
  TakeStatus status = TakeStatus::kIncomplete;
  while (status == TakeStatus::kIncomplete && i < stream.size()) {
    buffer.Append(stream.substr(i++, 1));
    status = buffer.Take(geturl, reply);
  }
  ASSERT_EQ(status, TakeStatus::kComplete);
  // A URL that itself ends like another reply does not end the GETURL reply early.
  EXPECT_EQ(reply, "GETURL http://127.0.0.1/ISHIDDEN 0");
  while (i < stream.size()) {
    EXPECT_EQ(buffer.Take(ishidden, reply), TakeStatus::kIncomplete);
    buffer.Append(stream.substr(i++, 1));
  }
  ASSERT_EQ(buffer.Take(ishidden, reply), TakeStatus::kComplete);
  EXPECT_EQ(reply, "ISHIDDEN 1");
}

TEST(ReplyBuffer, EmptyUrl) {
  ReplyBuffer buffer;
  buffer.Append("GETURL " + kMarkerReply);
  std::string reply;
  ASSERT_EQ(buffer.Take(PlanPiece("GETURL", kNonce), reply), TakeStatus::kComplete);
  EXPECT_EQ(reply, "GETURL ");
}

TEST(ReplyBuffer, MismatchesAreSeenAtTheFirstWrongByte) {
  struct Case {
    std::string piece;
    std::string bytes;
  };
  const Case cases[] = {
      {"ISHIDDEN", "ISHIDDEN 2"},
      {"ISHIDDEN", "X"},
      {"GETURL", "GETURX"},
      {"nope", "ERROR Syntax Error: nopf"},
      {"ISHIDDEN", "GEOMETRY 0 0 10 10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    ReplyBuffer buffer;
    buffer.Append(c.bytes);
    std::string reply;
    EXPECT_EQ(buffer.Take(PlanPiece(c.piece, kNonce), reply), TakeStatus::kMismatch);
  }
}

TEST(ReplyBuffer, AnUnaskedFinalReportIsRecognised) {
  ReplyBuffer buffer;
  buffer.Append("GEOM");
  EXPECT_TRUE(buffer.MayBeFinalReport());
  buffer.Append("ETRY -5 0 2147483647 -2147483648");
  EXPECT_TRUE(buffer.MayBeFinalReport());
  EXPECT_EQ(buffer.TakeFinalReport(), "GEOMETRY -5 0 2147483647 -2147483648");
  ReplyBuffer other;
  other.Append("ISHIDDEN 0");
  EXPECT_FALSE(other.MayBeFinalReport());
}

TEST(FinalReport, Form) {
  EXPECT_TRUE(IsFinalReport("GEOMETRY 100 200 700 1000"));
  EXPECT_TRUE(IsFinalReport("GEOMETRY -1 -2 0 0"));
  const char* bad[] = {"GEOMETRY 1 2 3",
                       "GEOMETRY 1 2 3 4 5",
                       "GEOMETRY 1  2 3 4",
                       "GEOMETRY 01 2 3 4",
                       "GEOMETRY +1 2 3 4",
                       "GEOMETRY 1 2 3 4 ",
                       "GEOMETRY a 2 3 4",
                       "GEOMETRY -  2 3 4",
                       "geometry 1 2 3 4",
                       "",
                       "GEOMETRY 1 2 3 99999999999"};
  for (const char* text : bad) EXPECT_FALSE(IsFinalReport(text)) << text;
}

}  // namespace
}  // namespace trbctl
