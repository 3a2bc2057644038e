// process_inl.h - template parts of process.h.
#ifndef KESTARA_TESTS_SUPPORT_PROCESS_INL_H
#define KESTARA_TESTS_SUPPORT_PROCESS_INL_H

#include <thread>

namespace kt {

template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_PROCESS_INL_H
