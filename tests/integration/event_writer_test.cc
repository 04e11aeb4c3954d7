// The events writer over a real socket: order, a reader that never reads (posting never
// waits, the bound holds, the gap is announced), a reader that goes away, no reader at all,
// and the last events written out on stop.
#include "pipe/event_writer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "pipe_session.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

using Json = nlohmann::json;

// Event number `n`, padded to about `size` bytes.
std::string Numbered(int n, size_t size = 200) {
  return events::Url("http://seq.test/" + std::to_string(n) + "#" + std::string(size, 'x'));
}

int NumberOf(const Json& event) {
  const std::string url = event.at("url");
  return std::stoi(url.substr(std::string("http://seq.test/").size()));
}

// The events in `bytes`, each line parsed; a line that is not JSON fails the test.
std::vector<Json> ParseLines(const std::string& bytes) {
  std::vector<Json> out;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    Json event = Json::parse(bytes.substr(start, end - start), nullptr, false);
    EXPECT_FALSE(event.is_discarded()) << bytes.substr(start, end - start);
    out.push_back(std::move(event));
  }
  EXPECT_EQ(start, bytes.size()) << "the stream ends with a whole line";
  return out;
}

struct Connected {
  TestController reader;
  EventWriter writer;
  explicit Connected(EventWriter::Options options = {})
      : writer({reader.path()}, std::move(options)) {
    EXPECT_TRUE(reader.Accept());
    EXPECT_TRUE(WaitUntil([&] { return writer.state() == EventWriter::State::kConnected; }));
  }
};

// Stopping writes out what is held to a reader that reads, then closes.
TEST(EventWriter, EventsArriveInOrderAsLinesAndStopWritesThemAll) {
  Connected c;
  bool closed = false;
  std::string bytes;
  std::thread reader([&] { bytes = c.reader.ReadUntilClosed(&closed); });
  for (int i = 0; i < 1000; ++i) c.writer.Post(Numbered(i));
  c.writer.Stop();
  reader.join();
  const std::vector<Json> got = ParseLines(bytes);
  EXPECT_TRUE(closed);
  ASSERT_EQ(got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(NumberOf(got[i]), i);
}

// The controller reads nothing while the browser posts 20 times the bound: posting never
// waits, and what the browser holds stays within the bound. When the reader catches up it
// finds the events in order, the gap announced by a "dropped" event that counts it, and
// then what comes next.
TEST(EventWriter, StalledReaderStallsNothingAndLearnsWhatWasDropped) {
  EventWriter::Options options;
  options.queue_bound = 64 * 1024;
  Connected c(options);
  constexpr int kPosted = 20 * 64 * 1024 / 200;
  std::atomic<bool> posted{false};
  std::thread poster([&] {
    for (int i = 0; i < kPosted; ++i) c.writer.Post(Numbered(i));
    posted = true;
  });
  const bool finished = WaitUntil([&] { return posted.load(); });
  poster.join();  // a poster stuck on the socket would hang here: ctest's time-out says so
  ASSERT_TRUE(finished);
  const uint64_t dropped = c.writer.dropped_total();
  EXPECT_GT(dropped, 0u);

  // Reading alone brings the notice, without waiting for another event.
  std::string bytes;
  auto read_until = [&](const std::string& text) {
    return WaitUntil([&] {
      bytes += c.reader.Read(1 << 20, std::chrono::milliseconds(20));
      return bytes.find(text) != std::string::npos && bytes.back() == '\n';
    });
  };
  ASSERT_TRUE(read_until(R"({"event":"dropped")"));
  c.writer.Post(Numbered(kPosted));
  ASSERT_TRUE(read_until("http://seq.test/" + std::to_string(kPosted) + "#"));

  int sndbuf = 0;
  socklen_t len = sizeof sndbuf;
  ASSERT_EQ(getsockopt(c.reader.connection_fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, &len), 0);
  size_t before_first_gap = 0;
  int expected = 0;
  uint64_t announced = 0;
  bool gap_seen = false;
  for (const Json& event : ParseLines(bytes)) {
    if (event.at("event") == "dropped") {
      const uint64_t count = event.at("count");
      EXPECT_GT(count, 0u);
      announced += count;
      expected += static_cast<int>(count);
      gap_seen = true;
      continue;
    }
    ASSERT_EQ(NumberOf(event), expected) << "in order, every gap announced";
    ++expected;
    if (!gap_seen) before_first_gap += event.dump().size() + 1;
  }
  EXPECT_TRUE(gap_seen);
  EXPECT_EQ(expected, kPosted + 1);
  EXPECT_EQ(announced, dropped);
  // Before the gap: what the socket buffered plus what the writer held, no more.
  EXPECT_LE(before_first_gap, options.queue_bound + 2 * static_cast<size_t>(sndbuf));
}

// Stopping with a reader that never reads gives up after the grace: the browser's exit is
// not held up.
TEST(EventWriter, StopGivesUpOnAStalledReader) {
  EventWriter::Options options;
  options.flush_grace = std::chrono::milliseconds(50);
  Connected c(options);
  for (int i = 0; c.writer.dropped_total() == 0; ++i) c.writer.Post(Numbered(i, 4096));
  c.writer.Stop();  // returns: a writer that waited for the reader would hang the test here
  EXPECT_EQ(c.writer.state(), EventWriter::State::kClosed);
}

TEST(EventWriter, ReaderThatClosesEndsOnlyTheEvents) {
  Connected c;
  c.writer.Post(Numbered(0));
  c.reader.CloseConnection();
  // Posting goes on as if nothing happened; the writer notices and drops from then on.
  ASSERT_TRUE(WaitUntil([&] {
    c.writer.Post(Numbered(1, 4096));
    return c.writer.state() == EventWriter::State::kClosed;
  }));
  c.writer.Post(Numbered(2));
  c.writer.Stop();
}

TEST(EventWriter, NoListenerSaysSoOnceAndDropsEverything) {
  TempDir dir;
  ::testing::internal::CaptureStderr();
  EventWriter writer({dir.path() + "/nobody", dir.path() + "/CoreFxPipe_nobody"});
  ASSERT_TRUE(WaitUntil([&] { return writer.state() == EventWriter::State::kClosed; }));
  writer.Post(Numbered(0));
  writer.Stop();
  const std::string error = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(error.find("nothing listens on the events pipe " + dir.path() + "/nobody"),
            std::string::npos)
      << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

}  // namespace
}  // namespace trb::testing_support
