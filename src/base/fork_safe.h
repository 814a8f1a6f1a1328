// Living through fork: a generation number that changes in every child, and a mutex that a
// child finds unlocked even when another thread of the parent held it at the fork (that
// thread does not exist in the child, so nobody would ever release it).
#pragma once

#include <cstdint>
#include <mutex>

namespace quillmere {

// 0 in the first process; one more in each child than in its parent at the fork.
uint64_t fork_generation();

// A std::mutex (BasicLockable) made anew in a forked child. Whatever it guarded may be
// half-changed in the child; its owner must check fork_generation() and rebuild what
// belongs to the parent (threads, connections) before use.
class ForkSafeMutex {
 public:
  ForkSafeMutex();
  ~ForkSafeMutex();
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  friend struct ForkRegistry;
  std::mutex mutex_;
  ForkSafeMutex* prev_ = nullptr;  // the registry's list of live mutexes
  ForkSafeMutex* next_ = nullptr;
};

}  // namespace quillmere
