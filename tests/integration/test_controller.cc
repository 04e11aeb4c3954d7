#include "test_controller.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <utility>

namespace trb::testing_support {
namespace {

sockaddr_un Address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

std::string ReadUpTo(int fd, size_t count, std::chrono::milliseconds timeout, bool* closed) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  char buffer[65536];
  for (pollfd p{fd, POLLIN, 0}; out.size() < count;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
    if (n <= 0 && !(n < 0 && errno == EINTR)) return closed && (*closed = n == 0), out;
    out.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  return out;
}

}  // namespace

TempDir::TempDir() : path_("/tmp/trb-pipe-test-XXXXXX") {
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TestController::TestController(int backlog, std::string socket_name)
    : path_(dir_.path() + "/" + socket_name), listen_fd_(ListenAt(path_, backlog)) {
  if (listen_fd_ < 0) throw std::runtime_error("cannot listen: " + std::string(strerror(errno)));
}

TestController::~TestController() {
  CloseConnection();
  StopListening();
}

bool TestController::Accept(std::chrono::milliseconds timeout) {
  CloseConnection();
  pollfd p{listen_fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  conn_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return conn_fd_ >= 0;
}

bool TestController::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(conn_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string TestController::Read(size_t count, std::chrono::milliseconds timeout) {
  return ReadUpTo(conn_fd_, count, timeout, nullptr);
}

std::string TestController::ReadUntilClosed(bool* closed, std::chrono::milliseconds timeout) {
  return *closed = false, ReadUpTo(conn_fd_, std::numeric_limits<size_t>::max(), timeout, closed);
}

void TestController::CloseConnection() {
  if (conn_fd_ >= 0) close(std::exchange(conn_fd_, -1));
}

void TestController::StopListening() {
  if (listen_fd_ >= 0) close(std::exchange(listen_fd_, -1));
}

int ConnectClient(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const sockaddr_un addr = Address(path);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  return close(fd), -1;
}

int ListenAt(const std::string& path, int backlog) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = Address(path);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    if (listen(fd, backlog) == 0) return fd;
  }
  return close(fd), -1;
}

}  // namespace trb::testing_support
