// Manifest and ShapeHasher of the `shapes` module, and what they share with the shape
// functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/convert.h"
#include "python/pyref.h"
#include "python/shape_args.h"
#include "shapes/cas.h"
#include "shapes/manifest.h"
#include "shapes/shape_stream.h"

namespace quillmere::python {

// The class objects (borrowed), created on first use; nullptr with an exception set.
PyObject* manifest_type();
PyObject* shape_hasher_type();

// The manifest held by a Manifest object (borrowed while `obj` lives), or nullptr without
// an exception when `obj` is not one.
const CompactManifest* manifest_of(PyObject* obj);

// build_manifest_py, build_manifest_from_file_py, manifest_from_json_py,
// manifest_from_bytes_py.
extern MethodTable<4> kManifestFunctions;

// A new Manifest object owning `manifest`, or nullptr with an exception set.
PyObject* wrap_manifest(CompactManifest manifest);

// build_manifest_piece_py, join_manifest_pieces_py, manifest_from_piece_py.
extern MethodTable<3> kManifestPieceFunctions;

}  // namespace quillmere::python
