// The fork generation and the registry of mutexes remade in a forked child.
#include "base/fork_safe.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <new>

namespace quillmere {

// Every live ForkSafeMutex, linked through the mutexes themselves. The registry's own lock
// is held across fork (taken before it, released after), so the list is whole in the child.
struct ForkRegistry {
  static ForkRegistry& get() {
    static ForkRegistry* registry = [] {
      auto* r = new ForkRegistry();  // never destroyed: mutexes may outlive static teardown
      pthread_atfork(&before_fork, &in_parent, &in_child);
      return r;
    }();
    return *registry;
  }

  static void before_fork() {
    ForkRegistry& r = get();
    r.lock.lock();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(ForkSafeMutex::kSettleBeforeForkMs);
    for (ForkSafeMutex* m = r.head; m != nullptr; m = m->next_) {
      m->held_for_fork_ = m->mutex_.try_lock_until(deadline);
    }
    for (size_t k = 0; k < r.hook_count; ++k) r.hooks[k].prepare();
  }
  static void run_after(ForkRegistry& r) {
    for (size_t k = r.hook_count; k-- > 0;) r.hooks[k].after();
  }
  static void in_parent() {
    ForkRegistry& r = get();
    run_after(r);
    for (ForkSafeMutex* m = r.head; m != nullptr; m = m->next_) {
      if (m->held_for_fork_) m->mutex_.unlock();
      m->held_for_fork_ = false;
    }
    r.lock.unlock();
  }
  static void in_child() {
    ForkRegistry& r = get();
    generation.fetch_add(1, std::memory_order_relaxed);
    run_after(r);
    // Only the forking thread exists now: nothing can race with what follows.
    for (ForkSafeMutex* m = r.head; m != nullptr; m = m->next_) {
      if (m->held_for_fork_) {
        m->mutex_.unlock();
      } else {
        new (&m->mutex_) std::timed_mutex();
        m->torn_ = true;
      }
      m->held_for_fork_ = false;
    }
    new (&r.lock) std::mutex();
  }

  void add(ForkSafeMutex* m) {
    std::lock_guard guard(lock);
    m->next_ = head;
    if (head != nullptr) head->prev_ = m;
    head = m;
  }
  void remove(ForkSafeMutex* m) {
    std::lock_guard guard(lock);
    if (m->prev_ != nullptr) m->prev_->next_ = m->next_;
    if (m->next_ != nullptr) m->next_->prev_ = m->prev_;
    if (head == m) head = m->next_;
  }

  struct Hook {
    void (*prepare)();
    void (*after)();
  };
  static inline std::atomic<uint64_t> generation{0};
  Hook hooks[4]{};
  size_t hook_count = 0;
  std::mutex lock;
  ForkSafeMutex* head = nullptr;
};

uint64_t fork_generation() {
  ForkRegistry::get();  // the child handler is in place before anyone compares generations
  return ForkRegistry::generation.load(std::memory_order_relaxed);
}

void at_fork(void (*prepare)(), void (*after)()) {
  ForkRegistry& r = ForkRegistry::get();
  std::lock_guard guard(r.lock);
  for (size_t k = 0; k < r.hook_count; ++k) {
    if (r.hooks[k].prepare == prepare) return;
  }
  if (r.hook_count == std::size(r.hooks)) std::abort();  // a fixed few callers
  r.hooks[r.hook_count++] = {prepare, after};
}

ForkSafeMutex::ForkSafeMutex() {
  ForkRegistry::get().add(this);
}

ForkSafeMutex::~ForkSafeMutex() {
  ForkRegistry::get().remove(this);
}

}  // namespace quillmere
