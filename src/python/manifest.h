// Manifest and ShapeHasher of the `shapes` module, and what they share with the shape
// functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>

#include "python/pyref.h"
#include "shapes/cas.h"
#include "shapes/manifest.h"
#include "shapes/shape_stream.h"

namespace quillmere::python {

class SignalCheck;

// The class objects (borrowed), created on first use; nullptr with an exception set.
PyObject* manifest_type();
PyObject* shape_hasher_type();

// The manifest held by a Manifest object (borrowed while `obj` lives), or nullptr without
// an exception when `obj` is not one.
const CompactManifest* manifest_of(PyObject* obj);

// build_manifest_py, build_manifest_from_file_py, manifest_from_json_py.
extern PyMethodDef kManifestFunctions[];

// A new Manifest object owning `manifest`, or nullptr with an exception set.
PyObject* wrap_manifest(CompactManifest manifest);

// Argument helpers of the manifest and sketch builders: the chunk_scheme argument (None or
// absent: the default scheme), workers (an int of at least 1), a file system path (str,
// bytes or PathLike; `out` holds the bytes `path` views), and the Python error of a failed
// build (the reason it was stopped, when `signals` stopped it).
bool convert_scheme(PyObject* obj, ChunkScheme& out);
bool convert_workers(PyObject* obj, unsigned& out);
bool convert_path(PyObject* obj, PyRef& out, std::string_view& path);
PyObject* build_error(const ShapeError& error, const SignalCheck& signals);

// The chunk_scheme argument: None or absent gives no scheme; a dict is read by the
// scheme rules (ValueError texts "Missing 'type' field in chunk_scheme", ...).
bool convert_chunk_scheme(PyObject* obj, std::optional<ChunkScheme>& out);

// build_manifest_piece_py, join_manifest_pieces_py, manifest_from_piece_py.
extern PyMethodDef kManifestPieceFunctions[];

}  // namespace quillmere::python

// The docstring lines describing the chunk_scheme argument.
#define QM_SCHEME_ARG                                               \
  "    chunk_scheme: Optional chunking scheme dict:\n"              \
  "        - {\"type\": \"cdc\", \"avg_size\": int} for CDC\n"      \
  "        - {\"type\": \"fixed\", \"size\": int} for fixed-size\n" \
  "        - None (defaults to CDC with avg_size=65536)\n"
