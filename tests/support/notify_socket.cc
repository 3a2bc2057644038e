// notify_socket.cc - test support: the service manager's side of the notify protocol.
#include "notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstdio>

namespace kt {

NotifySocket::NotifySocket() : dir_(std::in_place) {
  path_ = dir_->file("notify");
  bind();
}

NotifySocket::NotifySocket(const std::string &path) : path_(path) { bind(); }

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) close(fd_);
}

void NotifySocket::bind() {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

const std::string &NotifySocket::received() {
  std::array<char, 4096> buffer{};
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&p, 1, 0) <= 0) break;
    const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    received_.append(buffer.data(), static_cast<size_t>(n));
    received_ += '\n';
  }
  return received_;
}

bool NotifySocket::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
  return eventually([&] { return received().find(text) != std::string::npos; }, timeout);
}

}  // namespace kt
