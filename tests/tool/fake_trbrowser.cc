// trbrowser for trbrowserctl's tests: the real pipe server with the recording fake behind it; it
// says what it saw on stderr and misbehaves as its FAKE_ environment says.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fake_browser.h"
#include "pipe/event_writer.h"
#include "pipe/events.h"
#include "pipe/pipe_controller.h"
#include "pipe/socket_path.h"
#include "pipe/unix_socket_transport.h"

namespace {

constexpr char kTerminated[] = "fake-trbrowser: terminated\n";
std::string Env(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }

// The connection, recording what the tool sends and swapping or dribbling what it gets.
struct Wire : trb::Transport {
  explicit Wire(std::unique_ptr<trb::Transport> inner) : inner(std::move(inner)) {}
  Wait WaitReadable() override { return inner->WaitReadable(); }
  std::optional<size_t> Read(char* buffer, size_t size) override {
    std::optional<size_t> n = inner->Read(buffer, size);
    if (n) received.append(buffer, *n);
    return n;
  }
  bool MoreArrivesWithin(std::chrono::milliseconds t) override {
    return inner->MoreArrivesWithin(t);
  }
  void Write(std::string_view bytes) override {
    const std::string swap = Env("FAKE_SWAP"), from = swap.substr(0, swap.find('='));
    const std::string reply(!swap.empty() && from == bytes ? swap.substr(from.size() + 1) : bytes);
    const size_t step = Env("FAKE_DRIBBLE").empty() ? reply.size() : 1;
    for (size_t i = 0; i < reply.size(); i += step) {
      if (i > 0) usleep(1000);
      inner->Write(std::string_view(reply).substr(i, step));
    }
  }
  std::unique_ptr<trb::Transport> inner;
  std::string received;
};

// The recording fake, whose loads post their event and reach GETURL only after FAKE_STALE polls.
struct Fake : trb::testing_support::FakeBrowser {
  void LoadURL(const std::string& page) override {
    shown = url;
    stale = std::atoi(Env("FAKE_STALE").c_str());
    FakeBrowser::LoadURL(page);
    if (events) events->Post(trb::events::Load(page));
  }
  std::string GetURL() override { return stale-- > 0 ? shown : FakeBrowser::GetURL(); }
  std::unique_ptr<trb::EventWriter> events;
  std::string shown;
  int stale = 0;
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
  signal(SIGTERM, [](int) { _exit(write(2, kTerminated, sizeof kTerminated - 1) < 0 ? 1 : 143); });
  const std::string mode = Env("FAKE_MODE"), on = Env("FAKE_ON");
  if (mode == "exit-early") return 1;
  if (mode == "no-connect" || (mode == "interrupt" && kill(getppid(), SIGINT) == 0)) pause();
  struct stat info = {};
  stat(pipe.c_str(), &info);
  std::fprintf(stderr, "fake-trbrowser: argv%s; socket mode %o\n", args.c_str(),
               info.st_mode & 0777);
  trb::StopSignal stop;
  if (mode == "other-user" && fork() == 0) {  // first a connection from another user (as root)
    chmod(pipe.substr(0, pipe.rfind('/')).c_str(), 0777), chmod(pipe.c_str(), 0777);
    _exit(setuid(65534) == 0 ? trb::ConnectUnixSocketFd({pipe}, stop) < 0 : 2);
  }
  wait(nullptr);

  Fake fake;
  trb::testing_support::ScopedMainHandler scoped(&fake);
  fake.before_call = [&on](const std::string& name) {  // hang, exit, interrupt or abort the tool
    if (on == name + ":hang") pause();
    if (on == name + ":exit") _exit(0);
    if (on == name + ":interrupt" || on == name + ":abort") kill(getppid(), SIGINT);
    if (on == name + ":abort" && kill(getppid(), SIGTERM) == 0) pause();  // never merged
  };
  if (!events_pipe.empty() && !Env("FAKE_EVENTS").empty()) {
    // As the browser does, the events connect before the commands.
    fake.events = std::make_unique<trb::EventWriter>(trb::SocketPathCandidates(events_pipe));
    fake.events->Post(trb::events::Title("fake \"quoted\""));
    while (fake.events->state() == trb::EventWriter::State::kConnecting) usleep(1000);
  }
  const int fd = trb::ConnectUnixSocketFd(trb::SocketPathCandidates(pipe), stop);
  if (fd < 0) return 3;
  Wire wire(trb::MakeUnixSocketTransport(fd, stop));
  if (mode == "window-closed") stop.Set();
  trb::PipeController(pipe).Serve(wire, stop);
  std::fprintf(stderr, "fake-trbrowser: received %s\n", wire.received.c_str());

  // The window's last event goes once the tool has hung up, as the browser exits.
  shutdown(fd, SHUT_WR);
  pollfd peer = {fd, POLLIN, 0};
  for (char c; poll(&peer, 1, -1) > 0 && recv(fd, &c, 1, 0) > 0;) continue;
  if (fake.events) fake.events->Post(trb::events::Window("hidden"));
  fake.events.reset();
  if (mode == "no-exit") pause();
  return std::atoi(Env("FAKE_EXIT").c_str());
}
