// The controller's Unix sockets: finding, joining and leaving the command pipe, the one pipe
// thread, and the events channel (one line of JSON each, in order, never a wait for the browser).
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <tuple>
#include <utility>
#include <vector>

#include "pipe/event_writer.h"
#include "pipe/ui_calls.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

// No socket file, a dead controller's, a full backlog (timed out, stopped, or joined once freed).
TEST(PipeConnection, NoListenerOrABusyOne) {
  for (const std::string what : {"no file", "dead", "busy", "stopped", "freed"}) {
    SCOPED_TRACE(what);
    PipeSession s(/*backlog=*/0);
    s.handler.hide_on_close_ = true;
    const int filler = ConnectClient(s.controller.path());  // takes the only slot
    std::atomic<int> busy{0};
    ConnectOptions options;
    options.busy_timeout = what == "busy" ? 200ms : 1h;  // "stopped": only the stop ends it
    options.on_busy = [&] { ++busy; };
    if (what == "no file" || what == "dead") s.controller.StopListening();
    s.pipe.Start(what == "no file" ? s.controller.dir() + "/none" : s.controller.path(), s.stop,
                 options);
    if (what == "stopped" || what == "freed") {
      ASSERT_TRUE(WaitUntil([&] { return busy.load() >= 3; }));
      if (what == "stopped") s.pipe.Stop();
    }
    if (what == "freed") {
      ASSERT_TRUE(s.controller.Accept());  // the filler's connection: a slot frees
      ASSERT_TRUE(s.controller.Accept());  // the browser's
      ASSERT_TRUE(s.controller.Send("ISHIDDEN"));
      EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1");
    } else {
      ExpectUntouched(s);
    }
    close(filler);
  }
}

// A bare name is looked up in TMPDIR, plain, then as a .NET pipe (a dead plain one hides none).
TEST(PipeConnection, NameIsLookedUpInTmpdirPlainFirstThenAsDotNetPipe) {
  for (const auto& [listener, name, other_name] :
       {std::tuple{"CoreFxPipe_ctl", "ctl", "ctl"}, {"trbrowser", "", "CoreFxPipe_trbrowser"}}) {
    SCOPED_TRACE(listener);
    PipeSession s;
    TestController controller(8, listener);
    int other = ListenAt(controller.dir() + "/" + other_name);  // live only after the first
    if (*name != '\0') close(std::exchange(other, -1));
    setenv("TMPDIR", controller.dir().c_str(), 1);
    s.pipe.Start(name, s.stop);
    ASSERT_TRUE(controller.Accept());
    unsetenv("TMPDIR");
    ASSERT_TRUE(controller.Send("ISHIDDEN"));
    EXPECT_EQ(controller.Read(10), "ISHIDDEN 1");
    pollfd p{other, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);  // nobody connected to the other one
    close(other);
  }
}

// Signals on the pipe thread (a desktop's SIGCHLD) interrupt its waits: no end, loss or echo.
TEST(PipeConnection, InterruptedSystemCallsAreRetried) {
  struct sigaction action = {}, old = {};
  action.sa_handler = [](int) {};  // no SA_RESTART: every signal makes a blocked call fail
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  PipeSession s;
  std::atomic<pthread_t> pipe_thread{};
  std::atomic<bool> known{false}, done{false};
  s.handler.before_call = [&](const std::string&) { pipe_thread = pthread_self(), known = true; };
  ASSERT_TRUE(s.Connect() && s.controller.Send("SHOW;"));
  ASSERT_TRUE(WaitUntil([&] { return known.load(); }));
  std::thread signaller([&] {
    for (; !done; std::this_thread::sleep_for(200us)) pthread_kill(pipe_thread, SIGUSR1);
  });
  for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(1ms)) {  // signals while it waits
    EXPECT_TRUE(s.controller.Send(i % 2 ? "ISHIDDEN" : "SHOW;HIDE;ISHIDDEN;"));
    EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1") << "round trip " << i;
  }
  EXPECT_TRUE(s.controller.Send("QUIT"));
  EXPECT_EQ(s.StopAndRead(), kDefaultReport);
  done = true;
  signaller.join();
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(PipeConnection, ControllerOfAnotherUserIsRefusedAtOnceWithoutAByteSaidInOneLine) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user (uid 65534)";
  ASSERT_EQ(seteuid(65534), 0);
  PipeSession s;  // its socket is listened on as uid 65534
  ASSERT_EQ(seteuid(0), 0);
  s.handler.hide_on_close_ = true;
  testing::internal::CaptureStderr();
  s.pipe.Start(s.controller.path(), s.stop);
  ExpectUntouched(s);
  const std::string error = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(error.find("runs as uid 65534") != std::string::npos &&
              std::count(error.begin(), error.end(), '\n') == 1)
      << error;
  ASSERT_TRUE(s.controller.Accept());
  EXPECT_EQ(s.StopAndRead(), "");
}

// Once per process, so in a child: a stop runs the UI call the thread waits in; no second start.
TEST(PipeThread, StartServeStopRunningTheUiCallInFlightAndNoSecondStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((StopPipeThread(), StopPipeThread(), std::_Exit(0)), testing::ExitedWithCode(0), "");
  auto child = [] {
    std::atomic<bool> woken{false};
    SetUiWaker([&] { woken = true; });
    FakeBrowser browser;
    const ScopedMainHandler scoped(&browser);
    browser.before_call = [](const std::string&) { RunOnUiThread([] {}); };
    TestController controller;
    SetPipeSwitchValue(controller.path());
    StartPipeThread();
    if (!controller.Accept() || !controller.Send("ISHIDDEN")) std::_Exit(2);
    if (!WaitUntil([&] { return woken.load(); })) std::_Exit(3);
    StopPipeThread();
    bool closed = false;
    if (controller.ReadUntilClosed(&closed) != "ISHIDDEN 1" + std::string(kDefaultReport)) {
      std::_Exit(4);
    }
    StopPipeThread();   // again: returns at once
    StartPipeThread();  // never a second thread
    std::_Exit(closed && !controller.Accept(300ms) ? 0 : 5);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

using Json = nlohmann::json;

TEST(Events, EachIsOneLineOfJsonNamedFirst) {
  const std::string ok = std::string("\"\\ \n\r\t\x01\x7f") + '\0' + " \u2028 \xF0\x9F\x98\x80";
  const std::string text = ok + " \xff \xc0\xaf \xed\xa0\x80 \xe2\x82";
  const std::string read = ok + " \uFFFD \uFFFD\uFFFD \uFFFD\uFFFD\uFFFD \uFFFD";  // replaced
  const std::pair<std::string, Json> cases[] = {
      {events::Url(text), {{"event", "url"}, {"url", read}}},
      {events::LoadError(text, -105, text, true),
       {{"event", "load-error"}, {"url", read}, {"code", -105}, {"text", read}, {"main", true}}},
      {events::Title(text), {{"event", "title"}, {"title", read}}},
      {events::Window("minimized"), {{"event", "window"}, {"state", "minimized"}}},
      {events::RendererGone("killed"), {{"event", "renderer-gone"}, {"status", "killed"}}},
      {events::Dropped(UINT64_MAX), {{"event", "dropped"}, {"count", UINT64_MAX}}}};
  for (const auto& [line, object] : cases) {
    EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 1) << line;
    EXPECT_EQ(Json::parse(line, nullptr, false), object) << line;
    EXPECT_TRUE(line.starts_with(R"({"event":")" + object["event"].get<std::string>() + '"'));
  }
}

std::string Numbered(int n, size_t size = 200) {
  return events::Url("http://seq.test/" + std::to_string(n) + "#" + std::string(size, 'x'));
}
int NumberOf(const Json& event) { return std::stoi(event.at("url").get<std::string>().substr(16)); }
std::vector<Json> ParseLines(const std::string& bytes) {
  std::vector<Json> out;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(Json::parse(bytes.substr(start, end - start), nullptr, false));
    EXPECT_FALSE(out.back().is_discarded()) << bytes.substr(start, end - start);
  }
  EXPECT_EQ(start, bytes.size()) << "the stream ends with a whole line";
  return out;
}

struct Connected {
  explicit Connected(EventWriter::Options options = {}) : writer({reader.path()}, options) {
    EXPECT_TRUE(reader.Accept());
    EXPECT_TRUE(WaitUntil([&] { return writer.state() == EventWriter::State::kConnected; }));
  }
  TestController reader;
  EventWriter writer;
};

TEST(EventWriter, ReaderGoneEndsOnlyTheEvents) {
  Connected gone;
  gone.reader.CloseConnection();
  EXPECT_TRUE(WaitUntil([&] {
    gone.writer.Post(Numbered(1, 4096));
    return gone.writer.state() == EventWriter::State::kClosed;
  }));
}

// Posting 20 times the bound to a reader that reads nothing never waits and holds no more than
// the bound; the reader then finds every gap announced, in order; a stop does not wait for it.
TEST(EventWriter, StalledReaderStallsNothingAndLearnsWhatWasDropped) {
  const EventWriter::Options options{.queue_bound = 64 * 1024, .flush_grace = 50ms, .connect = {}};
  Connected c(options);
  constexpr int kPosted = 20 * 64 * 1024 / 200;
  for (int i = 0; i < kPosted; ++i) c.writer.Post(Numbered(i));  // a wait here hangs the test
  const uint64_t dropped = c.writer.dropped_total();
  std::string bytes;
  auto read_until = [&](const std::string& text) {
    return WaitUntil([&] {
      bytes += c.reader.Read(1 << 20, 20ms);
      return bytes.find(text) != std::string::npos && bytes.back() == '\n';
    });
  };
  ASSERT_TRUE(read_until(R"({"event":"dropped")"));  // reading alone brings the notice
  c.writer.Post(Numbered(kPosted));
  ASSERT_TRUE(read_until("http://seq.test/" + std::to_string(kPosted) + "#"));
  int sndbuf = 0;
  socklen_t len = sizeof sndbuf;
  ASSERT_EQ(getsockopt(c.reader.connection_fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, &len), 0);
  size_t before_first_gap = 0;
  uint64_t expected = 0, announced = 0;
  for (const Json& event : ParseLines(bytes)) {
    const bool gap = event.at("event") == "dropped";
    const uint64_t count = gap ? event.at("count").get<uint64_t>() : 1;
    ASSERT_TRUE(gap || NumberOf(event) == static_cast<int>(expected)) << "in order: " << expected;
    if (!gap && announced == 0) before_first_gap += event.dump().size() + 1;
    expected += count, announced += gap ? count : 0;
  }
  EXPECT_EQ(expected, kPosted + 1u);
  EXPECT_TRUE(dropped > 0 && announced == dropped) << announced << " of " << dropped;
  // Before the gap: what the socket buffered plus what the writer held, no more.
  EXPECT_LE(before_first_gap, options.queue_bound + 2 * static_cast<size_t>(sndbuf));
  for (int i = 0; c.writer.dropped_total() == dropped; ++i) c.writer.Post(Numbered(i));
  c.writer.Stop();  // gives up after the grace: a writer that waited would hang the test here
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// Without a listener, a descriptor or a thread, the writer says so in one line and holds nothing.
TEST(EventWriter, WithoutAListenerOrResourcesSaysSoAndHoldsNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& [resource, says] :
       {std::pair{-1, "nothing listens on the events pipe /none/a or /none/b; running without"},
        {RLIMIT_NOFILE, "cannot set up the events pipe \\(eventfd\\)"},
        {RLIMIT_NPROC, "cannot start the events thread"}}) {
    if (resource == RLIMIT_NOFILE && kSanitized) continue;  // the sanitizers need descriptors
    auto child = [resource = resource] {
      const int lowest_free = dup(0);  // the one descriptor left: for the writer's stop signal
      close(lowest_free);
      const rlim_t left = resource == RLIMIT_NOFILE ? lowest_free + 1 : 0;
      const rlimit limit{left, left};
      if (resource == RLIMIT_NPROC && geteuid() == 0 && setuid(65534) != 0) std::_Exit(2);
      if (resource >= 0 && setrlimit(resource, &limit) != 0) std::_Exit(3);
      EventWriter writer({"/none/a", "/none/b"});
      std::_Exit(WaitUntil([&] { return writer.state() == EventWriter::State::kClosed; }) ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), std::string("^[^\n]*") + says + "[^\n]*\n$");
  }
}

}  // namespace
}  // namespace trb::testing_support
