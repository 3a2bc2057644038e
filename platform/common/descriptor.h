// descriptor.h - the platform libraries' owning descriptor: closed when its owner goes.
#ifndef KESTARA_PLATFORM_COMMON_DESCRIPTOR_H
#define KESTARA_PLATFORM_COMMON_DESCRIPTOR_H

#include <unistd.h>

#include <utility>

namespace kestara::platform {

// Owns one descriptor (or none, -1) and closes it on destruction or reset(). Copying is not
// allowed; moving hands the descriptor over.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor &operator=(Descriptor &&other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool ok() const { return fd_ >= 0; }
  // Closes the descriptor held, if any, and takes `fd` (-1: none).
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Hands the descriptor over without closing it.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace kestara::platform

#endif  // KESTARA_PLATFORM_COMMON_DESCRIPTOR_H
