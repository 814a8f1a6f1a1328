// Sketch objects and the functions that sketch data while building its manifest, in one
// pass over the bytes, with the interpreter lock released.
#include "python/sketch.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "python/buffer_arg.h"
#include "python/convert.h"
#include "python/cpp_object.h"
#include "python/manifest.h"
#include "python/released_lock.h"
#include "shapes/shape_stream.h"

namespace quillmere::python {
namespace {

using SketchObject = CppObject<Sketch>;

constexpr char kSketchMadeBy[] =
    "Sketch objects come from sketch_py, manifest_and_sketch_py, Sketch.from_manifest, "
    "Sketch.from_bytes or ShapeHasher.sketch()";

extern LazyType g_sketch_type;

const Sketch& held(PyObject* self) {
  return SketchObject::value(self);
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

const Sketch* convert_sketch(PyObject* obj, const char* arg) {
  return SketchObject::argument(obj, g_sketch_type, arg, "Sketch");
}

PyObject* signature_getter(PyObject* self, void*) {
  const auto signature = held(self).signature();
  return new_tuple(signature.size(),
                   [&](size_t i) { return PyLong_FromUnsignedLong(signature[i]); });
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

// The one argument of jaccard and merge: `other`, a Sketch of the same kind as self.
const Sketch* other_sketch(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const kNames[] = {"other", nullptr};
  PyObject* other_arg = nullptr;
  if (!parse_args(args, kwargs, format, kNames, &other_arg)) return nullptr;
  const Sketch* other = convert_sketch(other_arg, "other");
  return other != nullptr && same_kind(held(self), *other) ? other : nullptr;
}

PyObject* jaccard_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Sketch* other = other_sketch(self, args, kwargs, "O:jaccard");
  if (other == nullptr) return nullptr;
  return PyFloat_FromDouble(held(self).jaccard(*other));
}

PyObject* merge_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Sketch* other = other_sketch(self, args, kwargs, "O:merge");
  if (other == nullptr) return nullptr;
  Sketch merged = held(self);
  merged.merge(*other);
  return wrap_sketch(merged);
}

PyObject* to_bytes_impl(PyObject* self) {
  return new_bytes(held(self).to_bytes());
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
  if ((op != Py_EQ && op != Py_NE) || !g_sketch_type.has_instance(other)) Py_RETURN_NOTIMPLEMENTED;
  return PyBool_FromLong((op == Py_EQ) == (held(self) == held(other)));
}

DefTable kSketchMethods{
    method_def<jaccard_impl>(
        "jaccard",
        "jaccard($self, /, other)\n--\n\n"
        "Estimated Jaccard overlap (95% within error_bound); both of one kind (records)."),
    method_def<merge_impl>("merge",
                           "merge($self, /, other)\n--\n\nThe sketch of the union of both sets."),
    method_def<to_bytes_impl>(
        "to_bytes",
        "to_bytes($self, /)\n--\n\nThe binary form (5,129 bytes), read back by Sketch.from_bytes."),
    static_method_def<from_bytes_impl>(
        "from_bytes",
        "from_bytes(data)\n--\n\nA sketch read back from to_bytes(); refuses any other bytes."),
    static_method_def<from_manifest_impl>(
        "from_manifest",
        "from_manifest(manifest)\n--\n\nThe chunk-level sketch of a manifest (its chunk ids)."),
};

DefTable kSketchGetters{
    getter_def("signature", signature_getter,
               "The densified MinHash signature: 256 integers below 2**32."),
    getter_def("cardinality", cardinality_getter,
               "Estimated distinct count (HyperLogLog, relative error cardinality_error)."),
    getter_def("records", records_getter,
               "What was sketched: \"lines\", \"csv\" (rows after the header) or None (chunks)."),
    getter_def(
        "error_bound", error_bound_getter,
        "Bound on |jaccard estimate - true J| holding for 95% of estimates (1.96 * 0.5 / 16)."),
    getter_def("cardinality_error", cardinality_error_getter,
               "Relative standard error of cardinality (1.04 / 64)."),
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
    {Py_tp_new, refuse_construction_slot<kSketchMadeBy>()},
    {Py_tp_dealloc, SketchObject::dealloc_slot()},
    {Py_tp_methods, kSketchMethods},
    {Py_tp_getset, kSketchGetters},
    {Py_tp_repr, reinterpret_cast<void*>(&guarded_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&sketch_richcompare)},
    {0, nullptr},
};

PyType_Spec kSketchSpec = {"shapes.Sketch", SketchObject::kBasicSize, 0, Py_TPFLAGS_DEFAULT,
                           kSketchSlots};
LazyType g_sketch_type{&kSketchSpec};

// --- functions ----------------------------------------------------------------------------

PyObject* pair(PyObject* manifest, PyObject* sketch) {
  PyRef m = PyRef::steal(manifest);
  PyRef s = PyRef::steal(sketch);
  if (!m || !s) return nullptr;
  return PyTuple_Pack(2, m.get(), s.get());
}

std::expected<ManifestAndSketch, ShapeError> from_buffer(const BufferArg& data, const ShapeArgs& a,
                                                         SignalCheck& signals) {
  const auto build = [&](const Interruption& interrupt) {
    return build_manifest_and_sketch(data.data(), a.scheme, a.records, a.workers, interrupt);
  };
  // Short work keeps the interpreter lock.
  if (data.data().size() <= kReleaseLockAbove && a.workers == 1) return build(Interruption{});
  return interruptible(signals, build);
}

std::expected<ManifestAndSketch, ShapeError> from_file(std::string_view path, bool keep_chunks,
                                                       const ShapeArgs& a, SignalCheck& signals) {
  return interruptible(signals, [&](const Interruption& interrupt) {
    return build_manifest_and_sketch_from_file(path, a.scheme, keep_chunks, a.records, a.workers,
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
  ShapeArgs a;
  BufferArg data;
  PyRef path_bytes;
  std::string_view path;
  const bool source_ok =
      kFile ? convert_path(source_arg, "path", path_bytes, path) : data.convert(source_arg, "data");
  if (!source_ok || !a.convert(records_arg, scheme_arg, workers_arg)) return nullptr;
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

}  // namespace

PyObject* sketch_type() {
  return g_sketch_type.get();
}

PyObject* wrap_sketch(const Sketch& sketch) {
  PyTypeObject* type = g_sketch_type.get_type();
  if (type == nullptr) return nullptr;
  return SketchObject::create(type, Sketch(sketch));
}

bool convert_sketch_summary(PyObject* obj, const char* arg, std::optional<SketchSummary>& out) {
  out.reset();
  std::optional<Sketch> merged;
  if (g_sketch_type.has_instance(obj)) {
    merged = held(obj);
  } else {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
      return raise_wrong_type(arg, obj, "Sketch or sequence of Sketch");
    }
    PyRef items = PyRef::steal(PySequence_Tuple(obj));
    if (!items) return prefix_argument_error(arg);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      const Sketch* sketch = convert_sketch(item, arg);
      if (sketch == nullptr) return false;
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

MethodTable<4> kSketchFunctions{
    method_def<sketch_function<false, false>>(
        "sketch_py",
        "sketch_py(data, records=None, chunk_scheme=None, *, workers=1)\n--\n\n"
        "The Sketch of a byte buffer.\n\nArgs:\n"
        "    data: any object with the buffer protocol\n" QM_RECORDS_ARG QM_SCHEME_ARG),
    method_def<sketch_function<true, false>>(
        "sketch_from_file_py",
        "sketch_from_file_py(path, records=None, chunk_scheme=None, *, workers=1)\n--\n\n"
        "The Sketch of a file, read once as a stream; memory stays flat.\n\nArgs:\n"
        "    path: Path to the file (str, bytes or PathLike)\n" QM_RECORDS_ARG QM_SCHEME_ARG),
    method_def<sketch_function<false, true>>(
        "manifest_and_sketch_py",
        "manifest_and_sketch_py(data, records=None, chunk_scheme=None, *, workers=1)\n--\n\n"
        "(Manifest, Sketch) of a byte buffer, in one pass over it.\n\nArgs:\n"
        "    data: any object with the buffer protocol\n" QM_RECORDS_ARG QM_SCHEME_ARG),
    method_def<sketch_function<true, true>>(
        "manifest_and_sketch_from_file_py",
        "manifest_and_sketch_from_file_py(path, records=None, chunk_scheme=None, *, workers=1)\n"
        "--\n\n"
        "(Manifest, Sketch) of a file, read once as a stream.\n\nArgs:\n"
        "    path: Path to the file (str, bytes or PathLike)\n" QM_RECORDS_ARG QM_SCHEME_ARG),
};

}  // namespace quillmere::python
