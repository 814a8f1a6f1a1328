// Stopping long work: a cancellation token that every long loop and every helper thread
// checks at its block boundaries, and the interruption check that long work asks between
// blocks (the token, then the caller's own check, e.g. for signal handlers).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>

namespace quillmere {

// Set once, never cleared. A token made with a parent is cancelled with it too, so work
// can be stopped on its own or together with everything its caller started.
class CancelToken {
 public:
  CancelToken() = default;
  explicit CancelToken(std::shared_ptr<const CancelToken> parent) : parent_(std::move(parent)) {}
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;

  void cancel() noexcept { cancelled_.store(true, std::memory_order_release); }
  bool cancelled() const noexcept {
    for (const CancelToken* t = this; t != nullptr; t = t->parent_.get()) {
      if (t->cancelled_.load(std::memory_order_acquire)) return true;
    }
    return false;
  }

 private:
  std::atomic<bool> cancelled_{false};
  std::shared_ptr<const CancelToken> parent_;
};

struct Interruption {
  // `signalled`: a system call was just interrupted by a signal (otherwise: a block is done,
  // and the callback may skip the check when it ran recently). True stops the work.
  bool (*stop_requested)(void* context, bool signalled) = nullptr;
  void* context = nullptr;
  // Checked first, at every block; helper threads of the work check it too.
  const CancelToken* token = nullptr;

  // True when the work must stop now; false with neither a token nor a callback.
  bool operator()(bool signalled = false) const {
    if (token != nullptr && token->cancelled()) return true;
    return stop_requested != nullptr && stop_requested(context, signalled);
  }
};

// The interruption check of the work this thread runs now, for waits deep inside a library
// that takes no check of its own (a database's lock or network wait). Empty by default.
const Interruption& current_interruption();

// Makes `interrupt` this thread's current check for its lifetime (scopes nest).
class InterruptionScope {
 public:
  explicit InterruptionScope(const Interruption& interrupt);
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  const Interruption* previous_;
};

// Takes `mutex` (any timed lockable), asking the thread's current interruption check every
// few milliseconds while another thread holds it; false, not taken, when the check said stop.
template <class Mutex>
bool lock_interruptibly(Mutex& mutex) {
  while (!mutex.try_lock_for(std::chrono::milliseconds(20))) {
    if (current_interruption()()) return false;
  }
  return true;
}

}  // namespace quillmere
