// Finding and connecting to the controller's named pipe: the default name, a pipe nobody
// serves, every instance busy (freed in time, or never), the stop while waiting, and the
// controller closing its end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "overlapped_io.h"
#include "pipe_session.h"

namespace trb::testing_support {
namespace {

using Strings = std::vector<std::string>;

// A pipe with a single instance, taken by a client of the test's own until Free.
class BusyPipe {
 public:
  explicit BusyPipe(std::string name) : name_(std::move(name)) {
    server_ = NewServerInstance(name_, 1);
    filler_ = CreateFileA(PipePath(name_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  }
  ~BusyPipe() {
    if (filler_ != INVALID_HANDLE_VALUE) CloseHandle(filler_);
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }
  bool busy() const { return server_ != INVALID_HANDLE_VALUE && filler_ != INVALID_HANDLE_VALUE; }
  const std::string& name() const { return name_; }
  HANDLE server() const { return server_; }

  // Ends the filler's connection and waits for the next client on the freed instance.
  bool FreeAndAccept() {
    DisconnectNamedPipe(server_);
    CloseHandle(filler_);
    filler_ = INVALID_HANDLE_VALUE;
    return AcceptClient(server_, std::chrono::seconds(20));
  }
  // Closes the only instance: the pipe no longer exists.
  void Remove() {
    CloseHandle(server_);
    server_ = INVALID_HANDLE_VALUE;
  }

 private:
  std::string name_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  HANDLE filler_ = INVALID_HANDLE_VALUE;
};

std::string UniqueName(const char* what) {
  static std::atomic<int> count{0};
  return "trb-conn-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count) + "-" +
         what;
}

// Starts the pipe thread against `busy`, counting in `waits` each wait for a free instance;
// `busy_timeout`, when given, replaces the default length of such a wait.
void StartCountingWaits(PipeSession& s, const BusyPipe& busy, std::atomic<int>& waits,
                        std::optional<std::chrono::milliseconds> busy_timeout = std::nullopt) {
  ConnectOptions options;
  if (busy_timeout) options.busy_timeout = *busy_timeout;
  options.on_busy = [&waits] { ++waits; };
  s.pipe.Start(busy.name(), s.stop, options);
}

TEST(NamedPipeConnection, DefaultNameIsTrbrowser) {
  PipeSession s;
  const HANDLE server = NewServerInstance("trbrowser");
  ASSERT_NE(server, INVALID_HANDLE_VALUE) << "another test program serves \\\\.\\pipe\\trbrowser";
  s.pipe.Start("", s.stop);
  ASSERT_TRUE(AcceptClient(server, std::chrono::seconds(20)));
  ASSERT_TRUE(WriteAll(server, "ISHIDDEN"));
  EXPECT_EQ(ReadUpTo(server, 10, std::chrono::seconds(20)), "ISHIDDEN 1");
  s.pipe.Stop();
  bool closed = false;
  EXPECT_EQ(ReadUpTo(server, SIZE_MAX, std::chrono::seconds(20), &closed), kDefaultReport);
  EXPECT_TRUE(closed);
  CloseHandle(server);
}

// A name nobody serves; a full pipe path as the switch value, which is prefixed again.
TEST(NamedPipeConnection, NoServerEndsQuietly) {
  for (const bool full_path : {false, true}) {
    SCOPED_TRACE(full_path ? "full path" : "unserved name");
    PipeSession s;
    s.handler.hide_on_close_ = true;
    s.pipe.Start(full_path ? PipePath(s.controller.path()) : UniqueName("nobody"), s.stop);
    ExpectUntouched(s);
    EXPECT_FALSE(s.controller.Accept(std::chrono::milliseconds(200)));
    s.pipe.Stop();  // finds the thread ended
  }
}

TEST(NamedPipeConnection, BusyPipeIsJoinedWhenAnInstanceFrees) {
  PipeSession s;
  BusyPipe busy(UniqueName("busy"));
  ASSERT_TRUE(busy.busy());
  std::atomic<int> waits{0};
  StartCountingWaits(s, busy, waits);
  ASSERT_TRUE(WaitUntil([&] { return waits.load() >= 1; }));
  EXPECT_FALSE(s.pipe.ended());
  ASSERT_TRUE(busy.FreeAndAccept());
  ASSERT_TRUE(WriteAll(busy.server(), "SHOW;ISHIDDEN"));
  EXPECT_EQ(ReadUpTo(busy.server(), 10, std::chrono::seconds(20)), "ISHIDDEN 0");
  s.pipe.Stop();
  bool closed = false;
  EXPECT_EQ(ReadUpTo(busy.server(), SIZE_MAX, std::chrono::seconds(20), &closed), kDefaultReport);
  EXPECT_TRUE(closed);
}

TEST(NamedPipeConnection, BusyPipeWhoseWaitTimesOutIsGivenUp) {
  PipeSession s;
  s.handler.hide_on_close_ = true;
  BusyPipe busy(UniqueName("busy"));
  ASSERT_TRUE(busy.busy());
  std::atomic<int> waits{0};
  StartCountingWaits(s, busy, waits, std::chrono::milliseconds(200));
  ExpectUntouched(s);
  EXPECT_EQ(waits.load(), 1);  // a failed wait is not tried again
}

// Wine lets the wait run out its time-out when the pipe goes meanwhile, so it is short here.
TEST(NamedPipeConnection, PipeRemovedWhileWaitingIsGivenUp) {
  PipeSession s;
  s.handler.hide_on_close_ = true;
  BusyPipe busy(UniqueName("busy"));
  ASSERT_TRUE(busy.busy());
  std::atomic<int> waits{0};
  StartCountingWaits(s, busy, waits, std::chrono::milliseconds(1000));
  ASSERT_TRUE(WaitUntil([&] { return waits.load() >= 1; }));
  busy.Remove();
  ExpectUntouched(s);
  EXPECT_EQ(waits.load(), 1);
}

// The stop is looked at only once connected: the connection is still made, and its first
// cycle ends it with the report.
TEST(NamedPipeConnection, StopWhileWaitingForABusyPipeReportsOnceConnected) {
  PipeSession s;
  BusyPipe busy(UniqueName("busy"));
  ASSERT_TRUE(busy.busy());
  std::atomic<int> waits{0};
  StartCountingWaits(s, busy, waits);
  ASSERT_TRUE(WaitUntil([&] { return waits.load() >= 1; }));
  s.stop.Set();
  EXPECT_FALSE(s.pipe.ended());
  ASSERT_TRUE(busy.FreeAndAccept());
  bool closed = false;
  EXPECT_EQ(ReadUpTo(busy.server(), SIZE_MAX, std::chrono::seconds(20), &closed), kDefaultReport);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(s.WaitEnded());
  EXPECT_EQ(s.handler.Calls(), Strings{"GetNormalRect"});
}

TEST(NamedPipeConnection, ControllerClosingAtOnceClosesTheBrowserWithoutReport) {
  PipeSession s;
  s.handler.hide_on_close_ = true;
  ASSERT_TRUE(s.Connect());
  s.controller.CloseConnection();
  EXPECT_TRUE(s.WaitEnded());
  EXPECT_EQ(s.handler.Calls(), Strings{"CloseBrowser 1"});
  EXPECT_FALSE(s.handler.hide_on_close_);
}

}  // namespace
}  // namespace trb::testing_support
