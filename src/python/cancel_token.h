// The CancelToken class: cancellation of native work from Python. A token made current on a
// thread (`with token:`) is the parent of every native call's own token on that thread, so
// token.cancel() from any thread (or an event loop cancelling a task) stops that work at
// its next block, helper threads included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "base/cancellation.h"

namespace quillmere::python {

// The class object (borrowed), created on first use; nullptr with an exception set.
PyObject* cancel_token_type();

// The token made current on this thread by `with token:` (null when none). Lock held.
std::shared_ptr<const CancelToken> current_cancel_token();

// Sets concurrent.futures.CancelledError("the work was cancelled"); returns nullptr.
PyObject* raise_cancelled();

}  // namespace quillmere::python
