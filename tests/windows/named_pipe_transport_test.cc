// The named-pipe transport against a real pipe server: the path rule, what one read takes,
// the stop winning over waiting bytes, replies, and a server that goes away.
#include "pipe/win/named_pipe_transport.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "overlapped_io.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

struct PathCase {
  const char* value;
  const char* path;
};

class NamedPipePathTest : public testing::TestWithParam<PathCase> {};

TEST_P(NamedPipePathTest, PrefixesTheSwitchValue) {
  EXPECT_EQ(NamedPipePath(GetParam().value), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, NamedPipePathTest,
    testing::Values(PathCase{"", R"(\\.\pipe\trbrowser)"}, PathCase{"abc", R"(\\.\pipe\abc)"},
                    PathCase{"a b", R"(\\.\pipe\a b)"},
                    PathCase{R"(\\.\pipe\abc)", R"(\\.\pipe\\\.\pipe\abc)"},
                    PathCase{"dir\\x", R"(\\.\pipe\dir\x)"},
                    PathCase{"\xc3\xa9t\xc3\xa9", "\\\\.\\pipe\\\xc3\xa9t\xc3\xa9"}));

// A connected transport and the server end it talks to; `ok` when both ends are connected.
struct Connected {
  Connected() : transport(ConnectNamedPipe(PipePath(controller.path()), stop)) {
    ok = transport != nullptr && controller.Accept();
  }
  TestController controller;
  StopSignal stop;
  std::unique_ptr<Transport> transport;
  bool ok = false;
};

TEST(NamedPipeTransport, ReadsAtMost2047BytesAtATime) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ASSERT_TRUE(c.controller.Send(std::string(3000, 'x')));
  char buffer[4096];
  ASSERT_EQ(c.transport->WaitReadable(), Transport::Wait::kData);
  EXPECT_EQ(c.transport->Read(buffer, sizeof buffer), 2047u);
  ASSERT_EQ(c.transport->WaitReadable(), Transport::Wait::kData);
  EXPECT_EQ(c.transport->Read(buffer, sizeof buffer), 953u);
}

TEST(NamedPipeTransport, ReadTakesWhatIsWaitingAcrossWrites) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ASSERT_TRUE(c.controller.Send("SHOW"));
  ASSERT_TRUE(c.controller.Send("HIDE"));
  char buffer[2048];
  ASSERT_EQ(c.transport->WaitReadable(), Transport::Wait::kData);
  const std::optional<size_t> n = c.transport->Read(buffer, 2047);
  ASSERT_EQ(n, 8u);  // byte mode: the writes' boundaries are gone
  EXPECT_EQ(std::string(buffer, *n), "SHOWHIDE");
}

TEST(NamedPipeTransport, StopWinsOverWaitingBytes) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ASSERT_TRUE(c.controller.Send("SHOW;"));
  c.stop.Set();
  EXPECT_EQ(c.transport->WaitReadable(), Transport::Wait::kStop);
}

TEST(NamedPipeTransport, MoreArrivesWithinSeesWaitingAndLateBytes) {
  Connected c;
  ASSERT_TRUE(c.ok);
  EXPECT_FALSE(c.transport->MoreArrivesWithin(std::chrono::milliseconds(30)));
  ASSERT_TRUE(c.controller.Send("x"));
  EXPECT_TRUE(c.transport->MoreArrivesWithin(std::chrono::milliseconds(0)));
  char buffer[8];
  ASSERT_EQ(c.transport->Read(buffer, sizeof buffer), 1u);
  std::thread late([&] {
    Sleep(20);
    c.controller.Send("y");
  });
  EXPECT_TRUE(c.transport->MoreArrivesWithin(std::chrono::seconds(20)));
  late.join();
}

TEST(NamedPipeTransport, MoreArrivesWithinGivesWayToTheStopAndToAClosedPipe) {
  Connected c;
  ASSERT_TRUE(c.ok);
  c.stop.Set();
  EXPECT_FALSE(c.transport->MoreArrivesWithin(std::chrono::seconds(20)));
  Connected d;
  ASSERT_TRUE(d.ok);
  d.controller.CloseConnection();
  EXPECT_FALSE(d.transport->MoreArrivesWithin(std::chrono::seconds(20)));
}

TEST(NamedPipeTransport, EachReplyArrivesWhole) {
  Connected c;
  ASSERT_TRUE(c.ok);
  // The last reply is more than the pipe's buffer holds: its write returns once the
  // controller has read enough of it.
  std::future<std::string> read =
      std::async(std::launch::async, [&] { return c.controller.Read(10 + 100000); });
  c.transport->Write("ISHIDDEN 1");
  c.transport->Write("");
  c.transport->Write(std::string(100000, 'u'));
  EXPECT_EQ(read.get(), "ISHIDDEN 1" + std::string(100000, 'u'));
}

TEST(NamedPipeTransport, ServerClosingIsSeenByTheNextWait) {
  Connected c;
  ASSERT_TRUE(c.ok);
  c.controller.CloseConnection();
  EXPECT_EQ(c.transport->WaitReadable(), Transport::Wait::kClosed);
  c.transport->Write("lost");  // ignored, no crash
}

TEST(NamedPipeTransport, ClosesItsHandleOnce) {
  Connected c;
  ASSERT_TRUE(c.ok);
  c.transport.reset();
  bool closed = false;
  EXPECT_EQ(c.controller.ReadUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace trb::testing_support
