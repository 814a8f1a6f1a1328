// Manifest and ShapeHasher of the `shapes` module, and what they share with the shape
// functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "engine/cas.h"
#include "engine/manifest.h"

namespace quillmere::python {

// The class objects (borrowed), created on first use; nullptr with an exception set.
PyObject* manifest_type();
PyObject* shape_hasher_type();

// build_manifest_py, build_manifest_from_file_py, manifest_from_json_py.
extern PyMethodDef kManifestFunctions[];

// The chunk_scheme argument: None or absent gives no scheme; a dict is read by the
// scheme rules (ValueError texts "Missing 'type' field in chunk_scheme", ...).
bool convert_chunk_scheme(PyObject* obj, std::optional<ChunkScheme>& out);

// A new Manifest object holding `manifest`; nullptr with an exception set.
PyObject* new_manifest_object(CompactManifest manifest);

// build_manifest_piece_py, join_manifest_pieces_py, manifest_from_piece_py.
extern PyMethodDef kManifestPieceFunctions[];

}  // namespace quillmere::python

// The docstring lines describing the chunk_scheme argument.
#define QM_SCHEME_ARG                                               \
  "    chunk_scheme: Optional chunking scheme dict:\n"              \
  "        - {\"type\": \"cdc\", \"avg_size\": int} for CDC\n"      \
  "        - {\"type\": \"fixed\", \"size\": int} for fixed-size\n" \
  "        - None (defaults to CDC with avg_size=65536)\n"
