// node_pool.h - an allocator for the library's node-based tables (maps and sets of requests,
// the registry of PDUs handed out). Every request adds and removes a few of their entries;
// the allocator keeps the nodes given back on a free list, so that a request in steady state
// makes no call into the general allocator for them.
//
// One node at a time is kept (allocations of one object of the node's type); anything else,
// such as a hash table's bucket array, goes to operator new. At most kSpare nodes of one type
// are kept; the rest are freed. Like the rest of the library, it serves one thread.
//
// Under AddressSanitizer nothing is kept, so that a node used after its release is still
// caught.
#ifndef KESTARA_PLATFORM_SNMP_NODE_POOL_H
#define KESTARA_PLATFORM_SNMP_NODE_POOL_H

#include <cstddef>
#include <new>

namespace ovsnmp {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kKeepNodes = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kKeepNodes = false;
#else
inline constexpr bool kKeepNodes = true;
#endif
#else
inline constexpr bool kKeepNodes = true;
#endif

template <class T>
class NodeAllocator {
 public:
  using value_type = T;
  static constexpr size_t kSpare = 1024;

  NodeAllocator() noexcept = default;
  template <class U>
  NodeAllocator(const NodeAllocator<U> &) noexcept {}

  T *allocate(size_t n) {
    if (kKeepNodes && n == 1 && free_ != nullptr) {
      Free *node = free_;
      free_ = node->next;
      --count_;
      return reinterpret_cast<T *>(node);
    }
    return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(alignof(T))));
  }

  void deallocate(T *p, size_t n) noexcept {
    if (kKeepNodes && kFits && n == 1 && count_ < kSpare) {
      // The node's storage holds the free list's link until it is handed out again.
      Free *node = ::new (static_cast<void *>(p)) Free{free_};
      free_ = node;
      ++count_;
      return;
    }
    ::operator delete(p, std::align_val_t(alignof(T)));
  }

  template <class U>
  bool operator==(const NodeAllocator<U> &) const noexcept {
    return true;
  }

 private:
  struct Free {
    Free *next;
  };
  // Only what has room for the free list's link is kept.
  static constexpr bool kFits = sizeof(T) >= sizeof(Free) && alignof(T) >= alignof(Free);
  static inline Free *free_ = nullptr;
  static inline size_t count_ = 0;
};

}  // namespace ovsnmp

#endif  // KESTARA_PLATFORM_SNMP_NODE_POOL_H
