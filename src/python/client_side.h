// The Client methods over what a SQL store keeps beside its receipts: manifests by
// digest and the reuse index (storage/side_tables.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmere::python {

// store_manifest_bytes(body) -> digest; load_manifest_bytes(digest) -> bytes | None;
// index_executions(entries); reuse_candidates(method, keys) -> [(entry, shared)].
PyObject* store_manifest_bytes_method(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* load_manifest_bytes_method(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* index_executions_method(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reuse_candidates_method(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmere::python
