// Finding the controller's named pipe: its path, a name nobody serves, every instance busy. What
// the connection does once made is held by the integration tests, over the named pipe here.
#include <gtest/gtest.h>

#include <atomic>

#include "pipe/win/named_pipe_transport.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

// The switch value is prefixed, even a full pipe path: nobody serves that one.
TEST(NamedPipeConnection, NoServerEndsQuietly) {
  EXPECT_EQ(NamedPipePath(""), R"(\\.\pipe\trbrowser)");
  EXPECT_EQ(NamedPipePath(R"(\\.\pipe\a b)"), R"(\\.\pipe\\\.\pipe\a b)");
  PipeSession s;
  s.handler.hide_on_close_ = true;
  s.pipe.Start(kPipePathPrefix + s.controller.path(), s.stop);
  ExpectUntouched(s);
  EXPECT_FALSE(s.controller.Accept(200ms));
}

// The controller's one instance is held by a client of the test's: the pipe thread waits for
// another, which comes (the controller takes the holder and listens again) or not (a failed wait
// is not tried again; Wine lets the wait for a removed pipe run out its time: short here).
TEST(NamedPipeConnection, BusyPipe) {
  for (const std::string how : {"freed", "wait timed out", "pipe removed"}) {
    SCOPED_TRACE(how);
    PipeSession s;
    s.handler.hide_on_close_ = true;
    const HANDLE holder =
        CreateFileA((kPipePathPrefix + s.controller.path()).c_str(), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::atomic<int> waits{0};
    s.pipe.Start(s.controller.path(), s.stop,
                 {.busy_timeout = how == "freed"          ? 20s
                                  : how == "pipe removed" ? 1000ms
                                                          : 200ms,
                  .on_busy = [&] { ++waits; }});
    EXPECT_TRUE(WaitUntil([&] { return waits > 0; }));
    if (how == "freed") {
      EXPECT_FALSE(s.pipe.ended());
      ASSERT_TRUE(s.controller.Accept() && s.controller.Accept());  // the holder, then the pipe
      EXPECT_EQ(s.StopAndRead(), kDefaultReport);
    } else {
      if (how == "pipe removed") s.controller.StopListening();
      ExpectUntouched(s);
      EXPECT_EQ(waits.load(), 1);
    }
    CloseHandle(holder);
  }
}

}  // namespace
}  // namespace trb::testing_support
