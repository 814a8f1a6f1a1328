// The fork generation and the registry of mutexes remade in a forked child.
#include "base/fork_safe.h"

#include <pthread.h>

#include <atomic>
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

  static void before_fork() { get().lock.lock(); }
  static void in_parent() { get().lock.unlock(); }
  static void in_child() {
    ForkRegistry& r = get();
    generation.fetch_add(1, std::memory_order_relaxed);
    // Only the forking thread exists now: remaking the locks in place cannot race.
    for (ForkSafeMutex* m = r.head; m != nullptr; m = m->next_) new (&m->mutex_) std::mutex();
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

  static inline std::atomic<uint64_t> generation{0};
  std::mutex lock;
  ForkSafeMutex* head = nullptr;
};

uint64_t fork_generation() {
  ForkRegistry::get();  // the child handler is in place before anyone compares generations
  return ForkRegistry::generation.load(std::memory_order_relaxed);
}

ForkSafeMutex::ForkSafeMutex() {
  ForkRegistry::get().add(this);
}

ForkSafeMutex::~ForkSafeMutex() {
  ForkRegistry::get().remove(this);
}

}  // namespace quillmere
