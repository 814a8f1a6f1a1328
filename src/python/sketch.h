// Sketch of the `shapes` module, and what the manifest and execution bindings take from it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "engine/record_execution.h"
#include "python/convert.h"
#include "shapes/sketch.h"

namespace quillmere::python {

// The class object (borrowed), created on first use; nullptr with an exception set.
PyObject* sketch_type();
// A new Sketch object, or nullptr with an exception set.
PyObject* wrap_sketch(const Sketch& sketch);

// A Sketch, or a sequence of Sketches of one kind (merged: the sketch of their union), as
// a receipt carries it; nothing when the sketched set is empty.
bool convert_sketch_summary(PyObject* obj, const char* arg, std::optional<SketchSummary>& out);
// The merged chunk-level sketch of the manifests, when every entry is one (nothing
// otherwise, or when they hold no chunk).
std::optional<SketchSummary> chunk_sketch_summary(
    const std::vector<const CompactManifest*>& manifests);

// sketch_py, sketch_from_file_py, manifest_and_sketch_py, manifest_and_sketch_from_file_py.
extern MethodTable<4> kSketchFunctions;

}  // namespace quillmere::python
