// Recording and verifying from Python: one body shared by the module functions of
// `_quillmere` and `receipts` and by the Client methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/api_error.h"

namespace quillmere::python {

// ValueError with the error's variant prefix ("SerializationError: ", "HashError: ",
// "ValidationError: ") followed by its text. Returns nullptr.
PyObject* api_error_to_python(const ApiError& error);

// (workload_id, payload, tags=None, trace_id=None, parent_id=None) -> PyReceipt.
// `format` is the "OO|OOO:name" argument format naming the caller in Python's messages.
PyObject* record_work_call(PyObject* args, PyObject* kwargs, const char* format);
// (receipt) -> bool.
PyObject* verify_receipt_call(PyObject* args, PyObject* kwargs, const char* format);

}  // namespace quillmere::python
