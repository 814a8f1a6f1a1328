// The bytes of a buffer-protocol argument, held for the whole call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "python/convert.h"

namespace quillmere::python {

// The bytes of any buffer-protocol object, held for the whole call: a bytearray cannot be
// resized while its buffer is held. A buffer that is not contiguous is copied.
class BufferArg {
 public:
  BufferArg() = default;
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool convert(PyObject* obj, const char* arg) {
    if (!PyObject_CheckBuffer(obj)) return raise_wrong_type(arg, obj, "Buffer");
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0) {
      held_ = true;
      data_ = {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
    PyErr_Clear();
    Py_buffer full;
    if (PyObject_GetBuffer(obj, &full, PyBUF_FULL_RO) != 0) return false;
    copy_.resize(static_cast<size_t>(full.len));
    const int status = PyBuffer_ToContiguous(copy_.data(), &full, full.len, 'C');
    PyBuffer_Release(&full);
    if (status != 0) return false;
    data_ = copy_;
    return true;
  }
  std::span<const uint8_t> data() const { return data_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::vector<uint8_t> copy_;
  std::span<const uint8_t> data_;
};

}  // namespace quillmere::python
