// Client: records and verifies receipts, and stores and lists them when it was created
// with a storage path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "python/convert.h"
#include "storage/receipt_store.h"

namespace quillmere::python {

// The class object (borrowed), created on first use; nullptr with an exception set.
PyObject* client_type();

// The store of a Client (null: none configured).
std::shared_ptr<ReceiptStore> client_store(PyObject* self);

// redact_secrets(text, url=None), beside the Client.
extern MethodTable<1> kStorageFunctions;

}  // namespace quillmere::python
