// Function tables of the `shapes` and `delta` modules, defined beside their bindings.
// Each lists the functions in the order they are added to the module (and to its __all__).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/convert.h"

namespace quillmere::python {

extern MethodTable<4> kShapesFunctions;
extern MethodTable<3> kDeltaFunctions;
// record_execution_py, added to `receipts` after the functions of kReceiptsFunctions.
extern MethodTable<1> kExecutionFunctions;

}  // namespace quillmere::python
