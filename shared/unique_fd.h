// unique_fd.h - a descriptor closed when its owner goes.
#ifndef KESTARA_SHARED_UNIQUE_FD_H
#define KESTARA_SHARED_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

// Owns one descriptor (or none, -1) and closes it on destruction or reset().
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  int get() const { return fd_; }
  // Closes the descriptor held, if any, and takes `fd` (-1: none).
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

#endif  // KESTARA_SHARED_UNIQUE_FD_H
