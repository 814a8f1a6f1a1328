// The `signing` submodule of `_quillmere`: keys, keyrings, signing and checking receipts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmere::python {

// Adds SigningKey, PublicKey, Keyring and the module functions to `module`.
bool fill_signing(PyObject* module);

}  // namespace quillmere::python
