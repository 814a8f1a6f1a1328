// ReleasedLock and SignalCheck.
#include "python/released_lock.h"

#include "python/cancel_token.h"
#include "python/pyref.h"

namespace quillmere::python {
namespace {

constexpr auto kCheckInterval = std::chrono::milliseconds(20);

// threading.main_thread().ident, looked up once (the lock is held).
unsigned long main_thread_ident() {
  static unsigned long ident = 0;
  static bool known = false;
  if (!known) {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef main = threading
                     ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                     : PyRef();
    PyRef value = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
    if (value && PyLong_Check(value.get())) {
      ident = PyLong_AsUnsignedLong(value.get());
      known = !PyErr_Occurred();
    }
    PyErr_Clear();
  }
  return known ? ident : PyThread_get_thread_ident();
}

}  // namespace

bool ReleasedLock::run_signal_handlers() {
  PyEval_RestoreThread(state_);
  const bool raised = PyErr_CheckSignals() != 0;
  state_ = PyEval_SaveThread();
  return raised;
}

SignalCheck::SignalCheck()
    : main_thread_(PyThread_get_thread_ident() == main_thread_ident()),
      last_(std::chrono::steady_clock::now()),
      token_(std::make_shared<CancelToken>(current_cancel_token())) {}

Interruption SignalCheck::bind(ReleasedLock& lock) {
  lock_ = &lock;
  return Interruption{&SignalCheck::stop_requested, this, token_.get()};
}

PyObject* SignalCheck::raise_stopped() const {
  if (PyErr_Occurred()) return nullptr;
  raise_cancelled();
  return nullptr;
}

bool SignalCheck::stop_requested(void* context, bool signalled) {
  auto* self = static_cast<SignalCheck*>(context);
  if (!self->main_thread_ || self->lock_ == nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  if (!signalled && now - self->last_ < kCheckInterval) return false;
  self->last_ = now;
  if (!self->lock_->run_signal_handlers()) return false;
  self->token_->cancel();
  return true;
}

}  // namespace quillmere::python
