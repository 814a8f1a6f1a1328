// Sketch objects and the functions that sketch data while building its manifest, in one
// pass over the bytes, with the interpreter lock released.
#include "python/sketch.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "python/buffer_arg.h"
#include "python/convert.h"
#include "python/manifest.h"
#include "python/released_lock.h"
#include "shapes/shape_stream.h"

namespace quillmere::python {
namespace {

struct SketchObject {
  PyObject_HEAD Sketch* sketch;
};

PyObject* g_sketch_type = nullptr;

const Sketch& held(PyObject* self) {
  return *reinterpret_cast<SketchObject*>(self)->sketch;
}

bool is_sketch(PyObject* obj) {
  return g_sketch_type != nullptr &&
         PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_sketch_type));
}

void sketch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SketchObject*>(self)->sketch;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "Sketch objects come from sketch_py, manifest_and_sketch_py, "
                  "Sketch.from_manifest, Sketch.from_bytes or ShapeHasher.sketch()");
  return nullptr;
}

uint64_t rounded_cardinality(const Sketch& sketch) {
  if (sketch.empty()) return 0;
  const double estimate = std::round(sketch.cardinality());
  return estimate < 1.0 ? 1 : static_cast<uint64_t>(estimate);
}

PyObject* records_name(RecordMode mode) {
  auto name = record_mode_name(mode);
  if (!name) Py_RETURN_NONE;
  return new_str(*name);
}

bool same_kind(const Sketch& a, const Sketch& b) {
  if (a.mode() == b.mode()) return true;
  const auto name = [](RecordMode m) {
    return std::string(record_mode_name(m).value_or("chunks"));
  };
  raise_value_error(ErrorFamily::Shape, "cannot compare a sketch of " + name(a.mode()) +
                                            " with one of " + name(b.mode()));
  return false;
}

bool convert_sketch(PyObject* obj, const char* arg, const Sketch*& out) {
  if (!is_sketch(obj)) return raise_wrong_type(arg, obj, "Sketch");
  out = &held(obj);
  return true;
}

PyObject* signature_getter(PyObject* self, void*) {
  const auto signature = held(self).signature();
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(signature.size())));
  if (!tuple) return nullptr;
  for (size_t i = 0; i < signature.size(); ++i) {
    PyObject* value = PyLong_FromUnsignedLong(signature[i]);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
  }
  return tuple.release();
}
PyObject* cardinality_getter(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(rounded_cardinality(held(self)));
}
PyObject* records_getter(PyObject* self, void*) {
  return records_name(held(self).mode());
}
PyObject* error_bound_getter(PyObject*, void*) {
  return PyFloat_FromDouble(kJaccardErrorBound);
}
PyObject* cardinality_error_getter(PyObject*, void*) {
  return PyFloat_FromDouble(kCardinalityRelativeError);
}

PyObject* jaccard_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"other", nullptr};
  PyObject* other_arg = nullptr;
  if (!parse_args(args, kwargs, "O:jaccard", kNames, &other_arg)) return nullptr;
  const Sketch* other = nullptr;
  if (!convert_sketch(other_arg, "other", other) || !same_kind(held(self), *other)) {
    return nullptr;
  }
  return PyFloat_FromDouble(held(self).jaccard(*other));
}

PyObject* merge_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"other", nullptr};
  PyObject* other_arg = nullptr;
  if (!parse_args(args, kwargs, "O:merge", kNames, &other_arg)) return nullptr;
  const Sketch* other = nullptr;
  if (!convert_sketch(other_arg, "other", other) || !same_kind(held(self), *other)) {
    return nullptr;
  }
  Sketch merged = held(self);
  merged.merge(*other);
  return wrap_sketch(merged);
}

PyObject* to_bytes_impl(PyObject* self) {
  const std::string bytes = held(self).to_bytes();
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* from_bytes_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", nullptr};
  PyObject* data_arg = nullptr;
  if (!parse_args(args, kwargs, "O:from_bytes", kNames, &data_arg)) return nullptr;
  BufferArg data;
  if (!data.convert(data_arg, "data")) return nullptr;
  auto sketch =
      Sketch::from_bytes({reinterpret_cast<const char*>(data.data().data()), data.data().size()});
  if (!sketch) return raise_value_error(ErrorFamily::Shape, "Invalid sketch: " + sketch.error());
  return wrap_sketch(*sketch);
}

PyObject* from_manifest_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"manifest", nullptr};
  PyObject* manifest_arg = nullptr;
  if (!parse_args(args, kwargs, "O:from_manifest", kNames, &manifest_arg)) return nullptr;
  const CompactManifest* manifest = manifest_of(manifest_arg);
  if (manifest == nullptr) {
    raise_wrong_type("manifest", manifest_arg, "Manifest");
    return nullptr;
  }
  return wrap_sketch(sketch_of_manifest(*manifest));
}

PyObject* sketch_repr(PyObject* self) {
  const Sketch& s = held(self);
  const std::string records(record_mode_name(s.mode()).value_or("chunks"));
  char bound[32];
  std::snprintf(bound, sizeof bound, "%.3f", kJaccardErrorBound);
  return new_str("<Sketch of " + records + " cardinality~" +
                 std::to_string(rounded_cardinality(s)) + " (jaccard +/-" + bound + ")>");
}

PyObject* sketch_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_sketch(other)) Py_RETURN_NOTIMPLEMENTED;
  return PyBool_FromLong((op == Py_EQ) == (held(self) == held(other)));
}

PyMethodDef kSketchMethods[] = {
    {"jaccard", keywords_method<jaccard_impl>(), METH_VARARGS | METH_KEYWORDS,
     "jaccard($self, /, other)\n--\n\n"
     "Estimated Jaccard overlap (95% within error_bound); both of one kind (records)."},
    {"merge", keywords_method<merge_impl>(), METH_VARARGS | METH_KEYWORDS,
     "merge($self, /, other)\n--\n\nThe sketch of the union of both sets."},
    {"to_bytes", noargs_method<to_bytes_impl>(), METH_NOARGS,
     "to_bytes($self, /)\n--\n\nThe binary form (5,129 bytes), read back by Sketch.from_bytes."},
    {"from_bytes", keywords_method<from_bytes_impl>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data)\n--\n\nA sketch read back from to_bytes(); refuses any other bytes."},
    {"from_manifest", keywords_method<from_manifest_impl>(),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_manifest(manifest)\n--\n\nThe chunk-level sketch of a manifest (its chunk ids)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSketchGetters[] = {
    {"signature", signature_getter, nullptr,
     "The densified MinHash signature: 256 integers below 2**32.", nullptr},
    {"cardinality", cardinality_getter, nullptr,
     "Estimated distinct count (HyperLogLog, relative error cardinality_error).", nullptr},
    {"records", records_getter, nullptr,
     "What was sketched: \"lines\", \"csv\" (rows after the header) or None (chunks).", nullptr},
    {"error_bound", error_bound_getter, nullptr,
     "Bound on |jaccard estimate - true J| holding for 95% of estimates (1.96 * 0.5 / 16).",
     nullptr},
    {"cardinality_error", cardinality_error_getter, nullptr,
     "Relative standard error of cardinality (1.04 / 64).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* guarded_repr(PyObject* self) {
  return guarded([&] { return sketch_repr(self); });
}

PyType_Slot kSketchSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "A sketch of a set of records or chunks: a MinHash signature of 256 bins\n"
         "(one-permutation hashing, densified) for Jaccard estimates and a HyperLogLog of\n"
         "4096 registers for the distinct count.")},
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&sketch_dealloc)},
    {Py_tp_methods, kSketchMethods},
    {Py_tp_getset, kSketchGetters},
    {Py_tp_repr, reinterpret_cast<void*>(&guarded_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&sketch_richcompare)},
    {0, nullptr},
};

PyType_Spec kSketchSpec = {"shapes.Sketch", static_cast<int>(sizeof(SketchObject)), 0,
                           Py_TPFLAGS_DEFAULT, kSketchSlots};

// --- functions ----------------------------------------------------------------------------

PyObject* pair(PyObject* manifest, PyObject* sketch) {
  PyRef m = PyRef::steal(manifest);
  PyRef s = PyRef::steal(sketch);
  if (!m || !s) return nullptr;
  return PyTuple_Pack(2, m.get(), s.get());
}

struct SketchArgs {
  RecordMode mode = RecordMode::Chunks;
  ChunkScheme scheme;
  unsigned workers = 1;
};

bool convert_sketch_args(PyObject* records, PyObject* scheme, PyObject* workers, SketchArgs& out) {
  return convert_record_mode(records, out.mode) && convert_scheme(scheme, out.scheme) &&
         convert_workers(workers, out.workers);
}

std::expected<ManifestAndSketch, ShapeError> from_buffer(const BufferArg& data, const SketchArgs& a,
                                                         SignalCheck& signals) {
  const auto build = [&](const Interruption& interrupt) {
    return build_manifest_and_sketch(data.data(), a.scheme, a.mode, a.workers, interrupt);
  };
  // Short work keeps the interpreter lock.
  if (data.data().size() <= kReleaseLockAbove && a.workers == 1) return build(Interruption{});
  return interruptible(signals, build);
}

std::expected<ManifestAndSketch, ShapeError> from_file(std::string_view path, bool keep_chunks,
                                                       const SketchArgs& a, SignalCheck& signals) {
  return interruptible(signals, [&](const Interruption& interrupt) {
    return build_manifest_and_sketch_from_file(path, a.scheme, keep_chunks, a.mode, a.workers,
                                               interrupt);
  });
}

template <bool kFile, bool kWithManifest>
PyObject* sketch_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {kFile ? "path" : "data", "records", "chunk_scheme",
                                       "workers", nullptr};
  static const std::string format = std::string("O|OO$O:") +
                                    (kWithManifest ? "manifest_and_sketch" : "sketch") +
                                    (kFile ? "_from_file_py" : "_py");
  PyObject* source_arg = nullptr;
  PyObject* records_arg = nullptr;
  PyObject* scheme_arg = nullptr;
  PyObject* workers_arg = nullptr;
  if (!parse_args(args, kwargs, format.c_str(), kNames, &source_arg, &records_arg, &scheme_arg,
                  &workers_arg)) {
    return nullptr;
  }
  SketchArgs a;
  BufferArg data;
  PyRef path_bytes;
  std::string_view path;
  const bool source_ok =
      kFile ? convert_path(source_arg, path_bytes, path) : data.convert(source_arg, "data");
  if (!source_ok || !convert_sketch_args(records_arg, scheme_arg, workers_arg, a)) return nullptr;
  // Without the manifest, a file's chunks are not kept (memory stays flat); a chunk-level
  // sketch takes the digests as they pass.
  SignalCheck signals;
  auto built = kFile ? from_file(path, kWithManifest, a, signals) : from_buffer(data, a, signals);
  if (!built) return build_error(built.error(), signals);
  if constexpr (kWithManifest) {
    return pair(wrap_manifest(std::move(built->manifest)), wrap_sketch(built->sketch));
  } else {
    return wrap_sketch(built->sketch);
  }
}

#define QM_RECORDS_ARG                                                                           \
  "    records: None (a chunk-level sketch over the chunk digests), \"lines\" (each\n"           \
  "        non-empty line, without its \"\\n\" and a trailing \"\\r\") or \"csv\" (rows after\n" \
  "        the header; a newline inside double quotes does not end a row)\n"

}  // namespace

PyObject* sketch_type() {
  if (g_sketch_type == nullptr) g_sketch_type = PyType_FromSpec(&kSketchSpec);
  return g_sketch_type;
}

PyObject* wrap_sketch(const Sketch& sketch) {
  auto* type = reinterpret_cast<PyTypeObject*>(sketch_type());
  if (type == nullptr) return nullptr;
  auto copy = std::make_unique<Sketch>(sketch);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<SketchObject*>(self)->sketch = copy.release();
  return self;
}

bool convert_record_mode(PyObject* obj, RecordMode& out) {
  if (is_absent(obj)) {
    out = RecordMode::Chunks;
    return true;
  }
  std::string_view text;
  if (!convert_str(obj, "records", text)) return false;
  if (text == "lines") {
    out = RecordMode::Lines;
  } else if (text == "csv") {
    out = RecordMode::Csv;
  } else {
    raise_value_error(ErrorFamily::Shape, "records must be None, \"lines\" or \"csv\", not \"" +
                                              std::string(text.substr(0, 40)) + "\"");
    return false;
  }
  return true;
}

bool convert_sketch_summary(PyObject* obj, const char* arg, std::optional<SketchSummary>& out) {
  out.reset();
  std::optional<Sketch> merged;
  if (is_sketch(obj)) {
    merged = held(obj);
  } else {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
      return raise_wrong_type(arg, obj, "Sketch or sequence of Sketch");
    }
    PyRef items = PyRef::steal(PySequence_Tuple(obj));
    if (!items) return prefix_argument_error(arg);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      const Sketch* sketch = nullptr;
      if (!convert_sketch(item, arg, sketch)) return false;
      if (!merged) {
        merged = *sketch;
      } else {
        if (!same_kind(*merged, *sketch)) return false;
        merged->merge(*sketch);
      }
    }
  }
  if (merged && !merged->empty()) {
    out = SketchSummary{merged->signature_bytes(), rounded_cardinality(*merged)};
  }
  return true;
}

std::optional<SketchSummary> chunk_sketch_summary(
    const std::vector<const CompactManifest*>& manifests) {
  if (manifests.empty()) return std::nullopt;
  Sketch merged(RecordMode::Chunks);
  for (const CompactManifest* manifest : manifests) {
    if (manifest == nullptr) return std::nullopt;
    merged.merge(sketch_of_manifest(*manifest));
  }
  if (merged.empty()) return std::nullopt;
  return SketchSummary{merged.signature_bytes(), rounded_cardinality(merged)};
}

PyMethodDef kSketchFunctions[] = {
    {"sketch_py", keywords_method<sketch_function<false, false>>(), METH_VARARGS | METH_KEYWORDS,
     "sketch_py(data, records=None, chunk_scheme=None, *, workers=1)\n--\n\n"
     "The Sketch of a byte buffer.\n\nArgs:\n"
     "    data: any object with the buffer protocol\n" QM_RECORDS_ARG QM_SCHEME_ARG},
    {"sketch_from_file_py", keywords_method<sketch_function<true, false>>(),
     METH_VARARGS | METH_KEYWORDS,
     "sketch_from_file_py(path, records=None, chunk_scheme=None, *, workers=1)\n--\n\n"
     "The Sketch of a file, read once as a stream; memory stays flat.\n\nArgs:\n"
     "    path: Path to the file (str, bytes or PathLike)\n" QM_RECORDS_ARG QM_SCHEME_ARG},
    {"manifest_and_sketch_py", keywords_method<sketch_function<false, true>>(),
     METH_VARARGS | METH_KEYWORDS,
     "manifest_and_sketch_py(data, records=None, chunk_scheme=None, *, workers=1)\n--\n\n"
     "(Manifest, Sketch) of a byte buffer, in one pass over it.\n\nArgs:\n"
     "    data: any object with the buffer protocol\n" QM_RECORDS_ARG QM_SCHEME_ARG},
    {"manifest_and_sketch_from_file_py", keywords_method<sketch_function<true, true>>(),
     METH_VARARGS | METH_KEYWORDS,
     "manifest_and_sketch_from_file_py(path, records=None, chunk_scheme=None, *, workers=1)\n"
     "--\n\n"
     "(Manifest, Sketch) of a file, read once as a stream.\n\nArgs:\n"
     "    path: Path to the file (str, bytes or PathLike)\n" QM_RECORDS_ARG QM_SCHEME_ARG},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quillmere::python
