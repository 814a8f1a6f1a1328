// Function tables of the `shapes` and `delta` modules, defined beside their bindings.
// Each array is terminated by a zeroed entry and lists the functions in the order they
// are added to the module (and to its __all__).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmere::python {

extern PyMethodDef kShapesFunctions[];
extern PyMethodDef kDeltaFunctions[];
// record_execution_py, added to `receipts` after the functions of kReceiptsFunctions.
extern PyMethodDef kExecutionFunctions[];

}  // namespace quillmere::python
