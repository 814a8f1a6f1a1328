// Running long native work with the interpreter lock released, and the interruption check
// that such work asks between blocks: it takes the lock back just long enough to run the
// signal handlers, and stops the work when one raised.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>

#include "base/cancellation.h"

namespace quillmere::python {

// Releases the interpreter lock for its lifetime (taken back even when an exception leaves
// the scope). Nothing in the scope may touch a Python object.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

  // Runs the signal handlers with the lock held; true when one raised (the exception is
  // left set for the caller to report once the work has stopped).
  bool run_signal_handlers();

 private:
  PyThreadState* state_;
};

// The interruption check of work running under a ReleasedLock: the work's own cancellation
// token (a child of the thread's current CancelToken, so cancelling that stops the work
// too), and on the main thread the signal handlers, run at most every few milliseconds
// between blocks and always after an interrupted system call. A handler that raises
// (Ctrl-C) cancels the token, so helper threads of the work stop with it.
class SignalCheck {
 public:
  // Call with the interpreter lock held, before releasing it.
  SignalCheck();
  // The engine callback; valid while `lock` (the scope's ReleasedLock) lives.
  Interruption bind(ReleasedLock& lock);
  // With the lock held, after the check stopped the work: leaves the exception that says
  // why set (the signal handler's, or CancelledError for a cancelled token); nullptr.
  PyObject* raise_stopped() const;
  // True when the work was asked to stop (a signal handler raised or a token was cancelled).
  bool stopped() const { return PyErr_Occurred() != nullptr || token_->cancelled(); }

 private:
  static bool stop_requested(void* context, bool signalled);
  ReleasedLock* lock_ = nullptr;
  bool main_thread_;
  std::chrono::steady_clock::time_point last_;
  std::shared_ptr<CancelToken> token_;
};

// Runs `work(interrupt)` without the interpreter lock, with `signals`' check passed in and
// made the thread's current one (for waits inside libraries, e.g. a database's lock).
template <class F>
auto interruptible(SignalCheck& signals, F&& work)
    -> decltype(work(std::declval<const Interruption&>())) {
  ReleasedLock released;
  const Interruption interrupt = signals.bind(released);
  const InterruptionScope scope(interrupt);
  return work(interrupt);
}

// Runs `work` (which must touch no Python object) with the interpreter lock released,
// and takes the lock back before its result or exception leaves. Any lock `work` takes is
// taken and released without the interpreter lock held, so two threads can never wait
// for each other's lock.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
  ReleasedLock released;
  return work();
}

// Bytes functions release the lock above this size, as hashlib does.
inline constexpr size_t kReleaseLockAbove = 4096;

// `work` without the interpreter lock when `release` is true (long work); short work
// keeps the lock, which costs less than giving it up and taking it back.
template <class F>
auto without_gil_if(bool release, F&& work) -> decltype(work()) {
  if (!release) return work();
  return without_gil(std::forward<F>(work));
}

}  // namespace quillmere::python
