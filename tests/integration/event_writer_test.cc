// The events channel over a real socket: every event one line of JSON, in order; a reader
// that never reads (posting never waits, the bound holds, the gap is announced), one that
// goes away, none at all, a writer that cannot start, and the last events written on stop.
#include "pipe/event_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "test_controller.h"

namespace trb::testing_support {
namespace {

using Json = nlohmann::json;

// Whatever bytes a page put in a URL or title, the event is one line of valid JSON that
// starts with the event's name.
TEST(Events, EachIsOneLineOfJsonNamedFirst) {
  const std::string valid = std::string("\"\\ \n\r\t\x01\x7f") + '\0' + " \u2028 \xF0\x9F\x98\x80";
  const std::string text = valid + " \xff \xc0\xaf \xed\xa0\x80 \xe2\x82";
  const std::string read =
      valid + " \uFFFD \uFFFD\uFFFD \uFFFD\uFFFD\uFFFD \uFFFD";  // bad bytes replaced
  const struct {
    std::string line;
    Json object;
  } cases[] = {
      {events::Url(text), {{"event", "url"}, {"url", read}}},
      {events::Load("u"), {{"event", "load"}, {"url", "u"}}},
      {events::LoadError(text, -105, text, true),
       {{"event", "load-error"}, {"url", read}, {"code", -105}, {"text", read}, {"main", true}}},
      {events::Denied("u", false), {{"event", "denied"}, {"url", "u"}, {"main", false}}},
      {events::Handoff("tavrin:x"), {{"event", "handoff"}, {"url", "tavrin:x"}}},
      {events::Title(text), {{"event", "title"}, {"title", read}}},
      {events::Window("minimized"), {{"event", "window"}, {"state", "minimized"}}},
      {events::Popup("u"), {{"event", "popup"}, {"url", "u"}}},
      {events::RendererGone("killed"), {{"event", "renderer-gone"}, {"status", "killed"}}},
      {events::Dropped(UINT64_MAX), {{"event", "dropped"}, {"count", UINT64_MAX}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.line.find_first_of("\r\n"), c.line.size() - 1) << c.line;
    EXPECT_EQ(Json::parse(c.line, nullptr, false), c.object) << c.line;
    const std::string name = c.object["event"];
    EXPECT_TRUE(c.line.starts_with(R"({"event":")" + name + '"')) << c.line;
  }
}

// Event number `n`, padded to about `size` bytes.
std::string Numbered(int n, size_t size = 200) {
  return events::Url("http://seq.test/" + std::to_string(n) + "#" + std::string(size, 'x'));
}

int NumberOf(const Json& event) { return std::stoi(event.at("url").get<std::string>().substr(16)); }

// The events in `bytes`, each line parsed; a line that is not JSON fails the test.
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
  TestController reader;
  EventWriter writer;
  explicit Connected(EventWriter::Options options = {}) : writer({reader.path()}, options) {
    EXPECT_TRUE(reader.Accept());
    EXPECT_TRUE(WaitUntil([&] { return writer.state() == EventWriter::State::kConnected; }));
  }
};

TEST(EventWriter, EventsArriveInOrderAndStopWritesThemAll) {
  Connected c;
  bool closed = false;
  std::string bytes;
  std::thread reader([&] { bytes = c.reader.ReadUntilClosed(&closed); });
  for (int i = 0; i < 1000; ++i) c.writer.Post(Numbered(i));
  c.writer.Stop();
  reader.join();
  EXPECT_TRUE(closed);
  const std::vector<Json> got = ParseLines(bytes);
  ASSERT_EQ(got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(NumberOf(got[i]), i);
}

// The controller reads nothing while the browser posts 20 times the bound: posting never
// waits, and what the browser holds stays within the bound. Catching up, the reader finds the
// events in order, each gap announced by a "dropped" event that counts it, then what follows.
TEST(EventWriter, StalledReaderStallsNothingAndLearnsWhatWasDropped) {
  EventWriter::Options options;
  options.queue_bound = 64 * 1024;
  Connected c(options);
  constexpr int kPosted = 20 * 64 * 1024 / 200;
  for (int i = 0; i < kPosted; ++i) c.writer.Post(Numbered(i));  // a wait here hangs the test
  const uint64_t dropped = c.writer.dropped_total();
  EXPECT_GT(dropped, 0u);
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
  int expected = 0;
  uint64_t announced = 0;
  for (const Json& event : ParseLines(bytes)) {
    if (event.at("event") == "dropped") {
      announced += event.at("count").get<uint64_t>();
      expected += event.at("count").get<int>();
    } else {
      ASSERT_EQ(NumberOf(event), expected++) << "in order, every gap announced";
      if (announced == 0) before_first_gap += event.dump().size() + 1;
    }
  }
  EXPECT_EQ(expected, kPosted + 1);
  EXPECT_EQ(announced, dropped);
  // Before the gap: what the socket buffered plus what the writer held, no more.
  EXPECT_LE(before_first_gap, options.queue_bound + 2 * static_cast<size_t>(sndbuf));
}

// Stopping with a reader that never reads gives up after the grace.
TEST(EventWriter, StopGivesUpOnAStalledReader) {
  EventWriter::Options options;
  options.flush_grace = 50ms;
  Connected c(options);
  for (int i = 0; c.writer.dropped_total() == 0; ++i) c.writer.Post(Numbered(i, 4096));
  c.writer.Stop();  // returns: a writer that waited for the reader would hang the test here
  EXPECT_EQ(c.writer.state(), EventWriter::State::kClosed);
}

// Posting goes on as if nothing happened; the writer notices and drops from then on.
TEST(EventWriter, ReaderThatClosesEndsOnlyTheEvents) {
  Connected c;
  c.writer.Post(Numbered(0));
  c.reader.CloseConnection();
  ASSERT_TRUE(WaitUntil([&] {
    c.writer.Post(Numbered(1, 4096));
    return c.writer.state() == EventWriter::State::kClosed;
  }));
}

TEST(EventWriter, NoListenerSaysSoOnceAndDropsEverything) {
  TempDir dir;
  testing::internal::CaptureStderr();
  EventWriter writer({dir.path() + "/nobody", dir.path() + "/CoreFxPipe_nobody"});
  ASSERT_TRUE(WaitUntil([&] { return writer.state() == EventWriter::State::kClosed; }));
  writer.Stop();
  const std::string error = testing::internal::GetCapturedStderr();
  EXPECT_NE(error.find("nothing listens on the events pipe " + dir.path() + "/nobody or "),
            std::string::npos)
      << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

// Without a descriptor or a thread to spare, the writer says so and holds no event from the
// start (a browser that queued them would grow for nothing).
TEST(EventWriter, WriterThatCannotStartSaysSoAndHoldsNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    int resource;
    const char* says;
  } cases[] = {{RLIMIT_NOFILE, "eventfd"}, {RLIMIT_NPROC, "cannot start the events thread"}};
  for (const auto& c : cases) {
    auto child = [&c] {
      // One descriptor left, for the writer's stop signal; no thread left.
      const int lowest_free = dup(0);
      close(lowest_free);
      const rlim_t left = c.resource == RLIMIT_NOFILE ? lowest_free + 1 : 0;
      const rlimit limit{left, left};
      if (c.resource == RLIMIT_NPROC && geteuid() == 0 && setuid(65534) != 0) std::_Exit(2);
      if (setrlimit(c.resource, &limit) != 0) std::_Exit(3);
      EventWriter writer({"/nonexistent/events"});
      std::_Exit(writer.state() == EventWriter::State::kClosed ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), c.says);
  }
}

}  // namespace
}  // namespace trb::testing_support
