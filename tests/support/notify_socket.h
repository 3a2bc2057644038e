// notify_socket.h - test support: the service manager's side of the notify protocol, a datagram
// socket whose path a daemon under test gets as NOTIFY_SOCKET.
#ifndef KESTARA_TESTS_SUPPORT_NOTIFY_SOCKET_H
#define KESTARA_TESTS_SUPPORT_NOTIFY_SOCKET_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "process.h"

namespace kt {

// Messages queue up unread until the test looks at them.
class NotifySocket {
 public:
  // A socket in a folder of its own.
  NotifySocket();
  // A socket at `path` (a folder the test chose, such as a sandbox's runtime folder).
  explicit NotifySocket(const std::string &path);
  ~NotifySocket();
  NotifySocket(const NotifySocket &) = delete;
  NotifySocket &operator=(const NotifySocket &) = delete;

  // True when the socket is bound.
  bool ok() const { return fd_ >= 0; }
  const std::string &path() const { return path_; }
  // Every message received so far, one per line.
  const std::string &received();
  // Waits until the messages received so far hold `text`.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout = 10s);

 private:
  void bind();

  std::optional<TempDir> dir_;
  std::string path_;
  std::string received_;
  int fd_ = -1;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_NOTIFY_SOCKET_H
