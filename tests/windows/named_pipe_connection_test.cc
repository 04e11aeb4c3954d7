// Finding the controller's named pipe: its path, a name nobody serves, every instance busy
// (freed in time, never, or the pipe gone). What the connection does once made is held by the
// integration tests, which run over the named pipe in this build.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "overlapped_io.h"
#include "pipe/win/named_pipe_transport.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

std::string UniqueName() {
  static int count = 0;
  return "trb-conn-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
}

// A pipe whose single instance a client of the test's own holds; the pipe thread is started
// against it and counts its waits for a free instance.
struct BusyPipe : PipeSession {
  explicit BusyPipe(std::chrono::milliseconds busy_timeout = std::chrono::seconds(20)) {
    filler = CreateFileA(PipePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    pipe.Start(name, stop, {.busy_timeout = busy_timeout, .on_busy = [this] { ++waits; }});
  }
  ~BusyPipe() {
    Free(filler);
    Free(server);  // a thread still waiting for the pipe then gives up
    pipe.Stop();
  }
  static void Free(HANDLE& h) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  bool Waiting() {
    return filler != INVALID_HANDLE_VALUE && WaitUntil([&] { return waits > 0; });
  }
  // Frees the instance and takes the pipe thread's connection on it.
  bool FreeAndAccept() {
    DisconnectNamedPipe(server);
    Free(filler);
    return AcceptClient(server, std::chrono::seconds(20));
  }

  std::string name = UniqueName();
  HANDLE server = NewServerInstance(name, 1);
  HANDLE filler = INVALID_HANDLE_VALUE;
  std::atomic<int> waits{0};
};

// The switch value is prefixed, even a full pipe path, which nobody then serves.
TEST(NamedPipeConnection, NoServerEndsQuietly) {
  EXPECT_EQ(NamedPipePath(""), R"(\\.\pipe\trbrowser)");
  EXPECT_EQ(NamedPipePath(R"(\\.\pipe\a b)"), R"(\\.\pipe\\\.\pipe\a b)");
  for (const bool full_path : {false, true}) {
    SCOPED_TRACE(full_path ? "full path" : "unserved name");
    PipeSession s;
    s.handler.hide_on_close_ = true;
    s.pipe.Start(full_path ? PipePath(s.controller.path()) : UniqueName(), s.stop);
    ExpectUntouched(s);
    EXPECT_FALSE(s.controller.Accept(std::chrono::milliseconds(200)));
  }
}

TEST(NamedPipeConnection, BusyPipeIsJoinedWhenAnInstanceFrees) {
  BusyPipe b;
  ASSERT_TRUE(b.Waiting());
  EXPECT_FALSE(b.pipe.ended());
  ASSERT_TRUE(b.FreeAndAccept());
  ASSERT_TRUE(WriteAll(b.server, "SHOW;ISHIDDEN"));
  EXPECT_EQ(ReadUpTo(b.server, 10, std::chrono::seconds(20)), "ISHIDDEN 0");
  b.pipe.Stop();
  bool closed = false;
  EXPECT_EQ(ReadUpTo(b.server, SIZE_MAX, std::chrono::seconds(20), &closed), kDefaultReport);
  EXPECT_TRUE(closed);
}

// A failed wait is not tried again, whether it ran out or the pipe went meanwhile (Wine lets
// the wait run out its time then, so it is short here).
TEST(NamedPipeConnection, BusyPipeWhoseWaitFailsIsGivenUp) {
  for (const bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "pipe removed" : "wait timed out");
    BusyPipe b(std::chrono::milliseconds(removed ? 1000 : 200));
    b.handler.hide_on_close_ = true;
    ASSERT_TRUE(b.Waiting());
    if (removed) BusyPipe::Free(b.server);
    ExpectUntouched(b);
    EXPECT_EQ(b.waits.load(), 1);
  }
}

}  // namespace
}  // namespace trb::testing_support
