// How the pipe controller waits for the rest of a command cut by the read size, over a real
// socket and over scripted reads: the grace, over-long commands, a stop during the wait, and a
// controller that stops reading. How one read is cut into pieces is the framer's unit tests'.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pipe/framing.h"
#include "pipe/pipe_controller.h"
#include "pipe/transport.h"
#include "pipe_session.h"

namespace trb::testing_support {
namespace {

using Strings = std::vector<std::string>;

// Holds the pipe thread inside its first command (ISHIDDEN) while `write` runs, so that
// everything written there is waiting before the next read.
void WhileHeld(PipeSession& s, const std::function<void()>& write) {
  Gate gate;
  bool first = true;
  s.handler.before_call = [&](const std::string& name) {
    if (name == "IsWindowHidden" && first) {
      first = false;
      gate.EnterAndWait();
    }
  };
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("ISHIDDEN;"));
  ASSERT_TRUE(gate.WaitEntered());
  write();
  gate.Release();
  ASSERT_EQ(s.controller.Read(10), "ISHIDDEN 1");
}

TEST(PipeFraming, FullReadWhoseCommandNeverGoesOnIsHandledAfterTheGrace) {
  PipeSession s;
  std::string filler;
  while (filler.size() + 100 <= Framer::kReadSize) filler += "NORESIZE;";
  const size_t fillers = filler.size() / 9;
  std::string url = "http://x.test/";
  url.resize(Framer::kReadSize - filler.size() - 5, 'a');
  // Exactly one full read ending inside the URL, and then nothing: the command must not
  // wait for bytes that never come.
  WhileHeld(s, [&] { ASSERT_TRUE(s.controller.Send(filler + "LOAD " + url)); });
  ASSERT_TRUE(s.handler.WaitResolveCount(2 + static_cast<int>(fillers)));
  // What comes later is a command of its own. (Not ISHIDDEN: WhileHeld's hook would see it.)
  ASSERT_TRUE(s.controller.Send("GETURL;"));
  EXPECT_EQ(s.controller.Read(7 + url.size()), "GETURL " + url);  // the fake reports its load
  s.pipe.Stop();
  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed), kDefaultReport);  // no syntax error
  Strings expected{"IsWindowHidden"};
  expected.insert(expected.end(), fillers, "ForbidResize");
  expected.push_back("LoadURL " + url);
  expected.push_back("GetURL");
  expected.push_back("GetNormalRect");
  EXPECT_EQ(s.handler.Calls(), expected);
}

TEST(PipeFraming, LongCommandStreamedInChunksStaysWhole) {
  PipeSession s;
  ASSERT_TRUE(s.Connect());
  const std::string url = "http://x.test/" + std::string(200000, 'q');
  const std::string command = "LOAD " + url + ";ISHIDDEN;";
  // Chunks with short pauses, as a controller writing from a slow producer would: each read
  // may come back short, but the next bytes arrive well within the grace.
  for (size_t at = 0; at < command.size(); at += 8192) {
    ASSERT_TRUE(s.controller.Send(command.substr(at, 8192)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1");
  s.pipe.Stop();
  EXPECT_EQ(s.handler.Calls(), (Strings{"LoadURL " + url, "IsWindowHidden", "GetNormalRect"}));
}

// Delivers scripted reads, as a controller writing faster than the browser reads would: a
// socket cannot promise that every read of a long command comes back full.
class ScriptedTransport : public Transport {
 public:
  explicit ScriptedTransport(std::vector<std::string> reads) : reads_(std::move(reads)) {}
  Wait WaitReadable() override { return Wait::kData; }
  std::optional<size_t> Read(char* buffer, size_t size) override {
    if (next_ == reads_.size()) return std::nullopt;  // then the controller closes
    const std::string& read = reads_[next_++];
    EXPECT_LE(read.size(), size);
    std::copy(read.begin(), read.end(), buffer);
    return read.size();
  }
  bool MoreArrivesWithin(std::chrono::milliseconds) override {
    ++graces;
    if (stop_during_grace) {
      stop.Set();  // the window closes while the browser waits
      return false;
    }
    return next_ < reads_.size();
  }
  void Write(std::string_view bytes) override { written.emplace_back(bytes); }

  // Serves the script to its end against a recording fake browser; gives the browser calls.
  Strings Serve() {
    FakeMainHandler handler;
    const ScopedMainHandler scoped(&handler);
    PipeController("unused").Serve(*this, stop);
    return handler.Calls();
  }

  Strings written;
  int graces = 0;
  bool stop_during_grace = false;
  StopSignal stop;

 private:
  std::vector<std::string> reads_;
  size_t next_ = 0;
};

TEST(PipeFraming, OverLongCommandIsAnsweredOnceAndTheStreamGoesOn) {
  std::string stream = "LOAD " + std::string(Framer::kMaxCarried + 5000, 'z') + ";SHOW;ISHIDDEN";
  std::vector<std::string> reads;
  for (size_t at = 0; at < stream.size(); at += Framer::kReadSize) {
    reads.push_back(stream.substr(at, Framer::kReadSize));
  }
  ScriptedTransport transport(std::move(reads));
  EXPECT_EQ(transport.Serve(), (Strings{"ShowWindowNormal", "IsWindowHidden", "CloseBrowser 1"}));
  ASSERT_EQ(transport.written.size(), 2u);
  const std::string& answer = transport.written[0];
  const std::string prefix = "ERROR Syntax Error: LOAD zzz";
  EXPECT_GT(answer.size(), Framer::kMaxCarried);
  EXPECT_EQ(answer.substr(0, prefix.size()), prefix);
  EXPECT_EQ(answer.find_first_not_of('z', prefix.size()), std::string::npos);
  EXPECT_EQ(transport.written[1], "ISHIDDEN 0");
}

// A full read that ends on ';', as one SHOW padded with spaces.
std::string FullReadOfShow() { return "SHOW" + std::string(Framer::kReadSize - 5, ' ') + ";"; }

TEST(PipeFraming, CommandCutWhereABacklogEndsStaysWhole) {
  // A controller writing faster than the browser reads can be blocked half-way through a
  // write; the read that empties the backlog is then short yet ends inside a command.
  ScriptedTransport transport({FullReadOfShow(), "GEOMETRY 1", "0 20 300 500;ISHIDDEN;"});
  EXPECT_EQ(transport.Serve(), (Strings{"ShowWindowNormal", "SetNormalRect 10 20 300 500",
                                        "IsWindowHidden", "CloseBrowser 1"}));
  EXPECT_EQ(transport.written, (Strings{"ISHIDDEN 1"}));  // no syntax error for either half
}

TEST(PipeFraming, ShortReadsOutsideABacklogAreAnsweredAtOnce) {
  // The first read is short: its unterminated command is handled without waiting, and only
  // a read right after a full one waits.
  ScriptedTransport transport({"SHOW;ISHIDDEN", FullReadOfShow(), "ISHIDDEN"});
  transport.Serve();
  EXPECT_EQ(transport.graces, 1);
  EXPECT_EQ(transport.written, (Strings{"ISHIDDEN 0", "ISHIDDEN 0"}));
}

TEST(PipeFraming, CommandCutWhenTheBrowserStopsIsNotHandledInPart) {
  std::string read = "ISHIDDEN;";
  read.resize(Framer::kReadSize - 10, ' ');
  read += "GEOMETRY 1";  // ...0 20 300 500; never arrives: the window is closed first
  ScriptedTransport transport({read});
  transport.stop_during_grace = true;
  EXPECT_EQ(transport.Serve(), (Strings{"IsWindowHidden", "GetNormalRect"}));
  EXPECT_EQ(transport.written, (Strings{"ISHIDDEN 1", kDefaultReport}));
}

TEST(PipeFraming, ControllerThatStopsReadingCannotHoldUpTheStop) {
  PipeSession s;
  s.handler.url = "http://a.test/" + std::string(64 * 1024, 'p');
  ConnectOptions options;
  options.stopped_write_grace = std::chrono::milliseconds(100);
  ASSERT_TRUE(s.Connect(options));
  std::string commands;
  for (int i = 0; i < 200; ++i) commands += "GETURL;";
  ASSERT_TRUE(s.controller.Send(commands));  // ~13 MB of replies that nobody reads
  ASSERT_TRUE(s.handler.WaitResolveCount(2));
  s.pipe.Stop();  // returns: the blocked reply is given up once the grace has passed
  EXPECT_TRUE(s.pipe.ended());
}

}  // namespace
}  // namespace trb::testing_support
