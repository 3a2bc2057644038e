// unique_fd.h - a descriptor closed when its owner goes.
#ifndef KESTARA_SHARED_UNIQUE_FD_H
#define KESTARA_SHARED_UNIQUE_FD_H

#include <unistd.h>

// Owns one descriptor (or none, -1) and closes it on destruction or reset().
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

#endif  // KESTARA_SHARED_UNIQUE_FD_H
