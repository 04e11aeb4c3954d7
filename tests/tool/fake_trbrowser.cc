// trbrowser for trbrowserctl's tests: the real pipe server on the --named-pipe socket, with the
// recording fake browser behind it. It says what it saw on stderr; the environment makes it
// misbehave: FAKE_MODE exit-early|no-connect|interrupt|window-closed|no-exit; FAKE_ON CALL:ACTION
// (hang, exit, interrupt or abort the tool when the pipe makes that call of the fake); FAKE_SWAP
// REPLY=OTHER; FAKE_DRIBBLE (byte by byte); FAKE_STALE (GETURLs that still see the old page);
// FAKE_EVENTS (connects --events-pipe); FAKE_EXIT (the exit code).
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "fake_browser.h"
#include "pipe/event_writer.h"
#include "pipe/events.h"
#include "pipe/pipe_controller.h"
#include "pipe/socket_path.h"
#include "pipe/unix_socket_transport.h"

namespace {

std::string Env(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }

// The connection, recording what the tool sends and changing what it gets.
class Wire : public trb::Transport {
 public:
  explicit Wire(std::unique_ptr<trb::Transport> inner) : inner_(std::move(inner)) {}
  Wait WaitReadable() override { return inner_->WaitReadable(); }
  std::optional<size_t> Read(char* buffer, size_t size) override {
    std::optional<size_t> n = inner_->Read(buffer, size);
    if (n) received.append(buffer, *n);
    return n;
  }
  bool MoreArrivesWithin(std::chrono::milliseconds wait) override {
    return inner_->MoreArrivesWithin(wait);
  }
  void Write(std::string_view bytes) override {
    const std::string swap = Env("FAKE_SWAP");
    const size_t eq = swap.find('=');
    std::string reply(eq != std::string::npos && swap.substr(0, eq) == bytes ? swap.substr(eq + 1)
                                                                             : bytes);
    if (Env("FAKE_DRIBBLE").empty()) return inner_->Write(reply);
    for (const char& c : reply) {
      inner_->Write(std::string_view(&c, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::string received;

 private:
  std::unique_ptr<trb::Transport> inner_;
};

// The recording fake, whose loads post their event and reach GETURL only after FAKE_STALE polls.
class Fake : public trb::testing_support::FakeBrowser {
 public:
  void LoadURL(const std::string& page) override {
    shown_ = url;
    stale_ = std::atoi(Env("FAKE_STALE").c_str());
    FakeBrowser::LoadURL(page);
    if (events) events->Post(trb::events::Load(page));
  }
  std::string GetURL() override { return stale_-- > 0 ? shown_ : FakeBrowser::GetURL(); }
  std::unique_ptr<trb::EventWriter> events;

 private:
  std::string shown_;
  int stale_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::string pipe, events_pipe, args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    args += " " + arg;
    if (arg.rfind("--named-pipe=", 0) == 0) pipe = arg.substr(13);
    if (arg.rfind("--events-pipe=", 0) == 0) events_pipe = arg.substr(14);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);              // no fake outlives a tool that died
  std::puts("fake-trbrowser: noise on stdout");  // never the tool's stdout
  signal(SIGTERM, [](int) {
    constexpr char kSaid[] = "fake-trbrowser: terminated\n";
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, kSaid, sizeof kSaid - 1);
    _exit(143);
  });
  const std::string mode = Env("FAKE_MODE"), on = Env("FAKE_ON");
  if (mode == "exit-early") return 1;
  if (mode == "no-connect" || (mode == "interrupt" && kill(getppid(), SIGINT) == 0)) pause();
  struct stat info = {};
  stat(pipe.c_str(), &info);
  std::fprintf(stderr, "fake-trbrowser: argv%s; socket mode %o\n", args.c_str(),
               info.st_mode & 0777);

  Fake fake;
  trb::testing_support::ScopedMainHandler scoped(&fake);
  fake.before_call = [&on](const std::string& name) {
    if (on == name + ":hang") pause();
    if (on == name + ":exit") _exit(0);
    if (on == name + ":interrupt" || on == name + ":abort") kill(getppid(), SIGINT);
    if (on == name + ":abort" && kill(getppid(), SIGTERM) == 0) pause();  // never merged
  };
  if (!events_pipe.empty() && !Env("FAKE_EVENTS").empty()) {
    // As the browser does, the events connect before the commands.
    fake.events = std::make_unique<trb::EventWriter>(trb::SocketPathCandidates(events_pipe));
    fake.events->Post(trb::events::Title("fake \"quoted\""));
    while (fake.events->state() == trb::EventWriter::State::kConnecting) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  trb::StopSignal stop;
  const int fd = trb::ConnectUnixSocketFd(trb::SocketPathCandidates(pipe), stop);
  if (fd < 0) return 3;
  Wire wire(trb::MakeUnixSocketTransport(fd, stop));
  if (mode == "window-closed") stop.Set();
  trb::PipeController(pipe).Serve(wire, stop);
  std::fprintf(stderr, "fake-trbrowser: received %s\n", wire.received.c_str());

  // The window's last event goes once the tool has hung up, as the browser exits.
  shutdown(fd, SHUT_WR);
  pollfd peer = {fd, POLLIN, 0};
  char byte;
  while (poll(&peer, 1, -1) > 0 && recv(fd, &byte, 1, 0) > 0) {
  }
  if (fake.events) fake.events->Post(trb::events::Window("hidden"));
  fake.events.reset();
  if (mode == "no-exit") pause();
  return std::atoi(Env("FAKE_EXIT").c_str());
}
