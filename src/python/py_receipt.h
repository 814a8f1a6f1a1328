// PyReceipt: the Python object that owns one receipt, read-only for its whole life.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "receipts/receipt.h"

namespace quillmere::python {

// The class object (borrowed), created on first use; nullptr with an exception set.
PyObject* py_receipt_type();

// Moves the receipt into a new PyReceipt (new reference), or nullptr with an exception set.
PyObject* wrap_receipt(Receipt receipt);

// The receipt held by `obj`, or nullptr with TypeError "argument 'ARG': ... 'PyReceipt'".
const Receipt* convert_receipt(PyObject* obj, const char* arg);

// receipt_from_json_py(json_str): reads a receipt from its JSON text, without validating it.
PyObject* receipt_from_json_py(PyObject* module, PyObject* args, PyObject* kwargs);
inline constexpr const char* kReceiptFromJsonDoc =
    "receipt_from_json_py(json_str)\n--\n\n"
    "Create a receipt from JSON string.\n\n"
    "Args:\n    json_str: JSON string representation of the receipt\n\n"
    "Returns:\n    PyReceipt object\n\n"
    "Raises:\n    ValueError: If JSON parsing or receipt creation fails";

}  // namespace quillmere::python
