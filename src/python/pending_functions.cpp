// Empty function tables until the shape and delta bindings are built.
#include "python/functions.h"

namespace quillmere::python {

PyMethodDef kShapesFunctions[] = {{nullptr, nullptr, 0, nullptr}};
PyMethodDef kDeltaFunctions[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace quillmere::python
