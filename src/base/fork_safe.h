// Living through fork: a generation number that changes in every child, and a mutex that a
// child finds unlocked even when another thread of the parent held it at the fork (that
// thread does not exist in the child, so nobody would ever release it).
#pragma once

#include <cstdint>
#include <mutex>

namespace quillmere {

// 0 in the first process; one more in each child than in its parent at the fork.
uint64_t fork_generation();

// Runs `prepare` just before fork, after the ForkSafeMutexes have settled, and `after` in
// both processes just after it (e.g. to hold a library's own global locks across fork).
// Registered once per pair; at most a few pairs.
void at_fork(void (*prepare)(), void (*after)());

// A mutex that fork leaves usable. Before fork, the forking thread waits (briefly, see
// kSettleBeforeFork) for every held ForkSafeMutex, so that what they guard is whole in the
// child; one still held by another thread then is made anew in the child and marked torn
// (the thread that held it does not exist there). The owner must rebuild what belongs
// to the parent (threads, connections) before use, checking fork_generation().
class ForkSafeMutex {
 public:
  // How long a fork waits, in all, for the mutexes that other threads hold.
  static constexpr int kSettleBeforeForkMs = 500;

  ForkSafeMutex();
  ~ForkSafeMutex();
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  template <class Duration>
  bool try_lock_for(const Duration& wait) {
    return mutex_.try_lock_for(wait);
  }
  void unlock() { mutex_.unlock(); }
  // True in a process forked while another thread held this mutex (read under the lock):
  // what it guards may be half changed.
  bool torn() const { return torn_; }

 private:
  friend struct ForkRegistry;
  std::timed_mutex mutex_;
  bool torn_ = false;
  bool held_for_fork_ = false;     // taken by the forking thread before fork
  ForkSafeMutex* prev_ = nullptr;  // the registry's list of live mutexes
  ForkSafeMutex* next_ = nullptr;
};

}  // namespace quillmere
