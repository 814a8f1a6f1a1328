// Arguments the shape bindings share (data shape hashes, manifests, pieces, sketches and the
// streaming hasher): the chunk scheme, the worker count, what a sketch counts, and the Python
// error of a failed build.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "shapes/data_shape.h"
#include "shapes/shape_stream.h"
#include "shapes/sketch.h"

namespace quillmere::python {

class SignalCheck;

// The chunk_scheme argument: None or absent gives no scheme; a dict is read by the
// scheme rules (ValueError texts "Missing 'type' field in chunk_scheme", ...).
bool convert_chunk_scheme(PyObject* obj, std::optional<ChunkScheme>& out);
// The same with the default scheme for None or absent.
bool convert_scheme(PyObject* obj, ChunkScheme& out);
// workers: absent gives 1; otherwise an int of at least 1 (more than can help are capped).
bool convert_workers(PyObject* obj, unsigned& out);
// records: None or absent (chunks), "lines" or "csv".
bool convert_record_mode(PyObject* obj, RecordMode& out);

// The arguments of the builders, converted in this order: records (sketch builders only),
// chunk_scheme=None, workers=1.
struct ShapeArgs {
  RecordMode records = RecordMode::Chunks;
  ChunkScheme scheme = kDefaultChunkScheme;
  unsigned workers = 1;

  bool convert(PyObject* scheme_arg, PyObject* workers_arg) {
    return convert_scheme(scheme_arg, scheme) && convert_workers(workers_arg, workers);
  }
  bool convert(PyObject* records_arg, PyObject* scheme_arg, PyObject* workers_arg) {
    return convert_record_mode(records_arg, records) && convert(scheme_arg, workers_arg);
  }
};

// The Python error of a failed build: the reason it was stopped when `signals` stopped it,
// otherwise ManifestError with the build's message. Returns nullptr.
PyObject* build_error(const BuildError& error, const SignalCheck& signals);

}  // namespace quillmere::python

// Docstring lines of the shared arguments.
#define QM_SCHEME_ARG                                               \
  "    chunk_scheme: Optional chunking scheme dict:\n"              \
  "        - {\"type\": \"cdc\", \"avg_size\": int} for CDC\n"      \
  "        - {\"type\": \"fixed\", \"size\": int} for fixed-size\n" \
  "        - None (defaults to CDC with avg_size=65536)\n"
#define QM_WORKERS_ARG                                                                \
  "    workers: threads sharing the work of this one input (default 1); the result\n" \
  "        does not depend on it\n"
#define QM_RECORDS_ARG                                                                           \
  "    records: None (a chunk-level sketch over the chunk digests), \"lines\" (each\n"           \
  "        non-empty line, without its \"\\n\" and a trailing \"\\r\") or \"csv\" (rows after\n" \
  "        the header; a newline inside double quotes does not end a row)\n"
