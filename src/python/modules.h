// Module definitions of the extension and the helpers that fill module objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/convert.h"

namespace quillmere::python {

// One importable module: its CPython definition, the function that adds its contents, and
// the once-only cell holding the module object once it has been created.
struct ModuleDefinition {
  PyModuleDef def;
  bool (*fill)(PyObject* module);
  PyObject* cell = nullptr;
};

// Creates the module of `definition` (at most once per process; a second attempt raises
// ImportError) and returns a new reference, or nullptr with an exception set.
PyObject* init_module(ModuleDefinition& definition);

// Appends `name` to module.__all__ (created on first use) and sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value);
// Adds each function of a null-terminated table, in order, through add_to_module.
bool add_functions(PyObject* module, PyMethodDef* functions);

// Module-level function tables, in the order they are added.
extern MethodTable<2> kTopLevelFunctions;  // record_work_py, verify_receipt_py
extern MethodTable<3>
    kReceiptsFunctions;  // receipt_from_json_py, record_work_py, verify_receipt_py

}  // namespace quillmere::python
