// Running native work with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmere::python {

// Runs `work` (which must touch no Python object) with the interpreter lock
// released, and takes the lock back before its result or exception leaves. Any lock
// `work` takes is taken and released without the interpreter lock held, so two
// threads can never wait for each other's lock.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

}  // namespace quillmere::python
