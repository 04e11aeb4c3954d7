// Round trip of a query through the real controller socket and PipeController, against the
// floor of the same socket with a bare echo thread in place of the pipe thread; and the rate
// of pipelined queries, against the same echo thread answering each one.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pipe/pipe_thread.h"
#include "pipe/stop_signal.h"
#include "pipe/target.h"

namespace {

using Clock = std::chrono::steady_clock;
using trb::NormalRect;

constexpr int kWarmup = 2000;
constexpr int kRoundTrips = 20000;
constexpr int kPipelined = 100000;
constexpr char kQuery[] = "ISHIDDEN";
constexpr char kReply[] = "ISHIDDEN 0";
constexpr size_t kReplySize = sizeof kReply - 1;

class InstantWindow : public trb::Window {
 public:
  void ShowWindowNormal() override {}
  void ShowWindowTopmost() override {}
  void HideWindow() override {}
  void MinimizeWindow() override {}
  void SetNormalRect(const NormalRect&) override {}
  void ForbidResize() override {}
  bool IsWindowHidden() override { return false; }
  NormalRect GetNormalRect() override { return {1, 2, 3, 4}; }
};

class NoBrowser : public trb::Browser {
 public:
  void LoadURL(const std::string&) override {}
  void Reload() override {}
  std::string GetURL() override { return ""; }
  void CloseBrowser(bool) override {}
};

class BenchHandler : public trb::MainHandler {
 public:
  trb::Target ResolveTarget() override { return target_; }

 private:
  InstantWindow window_;
  trb::Target target_{
      std::make_shared<NoBrowser>(), [this](const trb::WindowCall& call) { call(window_); }, {}};
};

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "bench_pipe_roundtrip: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

struct Listener {
  std::string dir;
  std::string path;
  int fd = -1;
  Listener() {
    char pattern[] = "/tmp/trb-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
    dir = pattern;
    path = dir + "/ctl.sock";
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
      Die("listen");
    }
  }
  ~Listener() {
    close(fd);
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  int Accept() const {
    const int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) Die("accept");
    return conn;
  }
};

int Connect(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("connect");
  return fd;
}

void SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) Die("send");
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void ReadExactly(int fd, size_t size) {
  static char sink[1 << 16];
  while (size > 0) {
    const ssize_t n = recv(fd, sink, std::min(size, sizeof sink), 0);
    if (n <= 0) Die("recv");
    size -= static_cast<size_t>(n);
  }
}

struct Latency {
  double p50_us;
  double p99_us;
};

Latency MeasureRoundTrips(int fd) {
  std::vector<double> samples;
  samples.reserve(kRoundTrips);
  for (int i = 0; i < kWarmup + kRoundTrips; ++i) {
    const auto start = Clock::now();
    SendAll(fd, kQuery, sizeof kQuery - 1);
    ReadExactly(fd, kReplySize);
    const std::chrono::duration<double, std::micro> took = Clock::now() - start;
    if (i >= kWarmup) samples.push_back(took.count());
  }
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Commands per second for kPipelined queries written in one stream, read back in full.
double MeasurePipelined(int fd) {
  std::string stream;
  for (int i = 0; i < kPipelined; ++i) stream += "ISHIDDEN;";
  const auto start = Clock::now();
  std::thread writer([&] { SendAll(fd, stream.data(), stream.size()); });
  ReadExactly(fd, kReplySize * kPipelined);
  const std::chrono::duration<double> took = Clock::now() - start;
  writer.join();
  return kPipelined / took.count();
}

// The floor: a thread that answers each query on the same kind of socket with one write,
// doing nothing else.
void EchoThread(int fd) {
  char buffer[2047];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    const auto count = std::count(buffer, buffer + n, ';');
    for (long i = 0; i < std::max<long>(count, 1); ++i) SendAll(fd, kReply, kReplySize);
  }
  close(fd);
}

}  // namespace

int main() {
  BenchHandler handler;
  trb::g_main_handler.store(&handler);

  Listener listener;
  trb::StopSignal stop;
  trb::PipeThread pipe;
  pipe.Start(listener.path, stop);
  const int ours_fd = listener.Accept();
  const Latency ours = MeasureRoundTrips(ours_fd);
  const double ours_rate = MeasurePipelined(ours_fd);
  pipe.Stop();
  close(ours_fd);

  const int echo_client = Connect(listener.path);
  const int echo_server = listener.Accept();
  std::thread echo(EchoThread, echo_server);
  const Latency floor = MeasureRoundTrips(echo_client);
  const double floor_rate = MeasurePipelined(echo_client);
  close(echo_client);
  echo.join();

  std::printf("pipe_roundtrip ours_p50_us=%.2f ours_p99_us=%.2f echo_p50_us=%.2f ratio_p50=%.2f\n",
              ours.p50_us, ours.p99_us, floor.p50_us, ours.p50_us / floor.p50_us);
  std::printf("pipe_pipelined ours_cmds_per_s=%.0f echo_cmds_per_s=%.0f ratio=%.2f\n", ours_rate,
              floor_rate, ours_rate / floor_rate);
  trb::g_main_handler.store(nullptr);
  return 0;
}
