// Manifests and streaming shape hashing in the `shapes` module: the Manifest and
// ShapeHasher classes, the manifest builders for buffers and files, and reading a
// manifest back from its JSON form. Long work runs with the interpreter lock released.
#include "python/manifest.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/fork_safe.h"
#include "python/buffer_arg.h"
#include "python/convert.h"
#include "python/released_lock.h"
#include "python/sketch.h"
#include "shapes/data_shape.h"
#include "shapes/shape_stream.h"

namespace quillmere::python {
namespace {

// More threads than this would only wait on each other.
constexpr long kMaxWorkers = 64;

}  // namespace

// --- argument helpers ---------------------------------------------------------------------

// The chunk_scheme argument (None or absent: the default scheme).
bool convert_scheme(PyObject* obj, ChunkScheme& out) {
  std::optional<ChunkScheme> scheme;
  if (!convert_chunk_scheme(obj, scheme)) return false;
  out = scheme.value_or(kDefaultChunkScheme);
  return true;
}

bool convert_workers(PyObject* obj, unsigned& out) {
  if (is_absent(obj)) {
    out = 1;
    return true;
  }
  if (PyBool_Check(obj) || !PyLong_Check(obj)) return raise_wrong_type("workers", obj, "int");
  const long n = PyLong_AsLong(obj);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 1) {
    raise_value_error(ErrorFamily::Manifest, "workers must be at least 1");
    return false;
  }
  out = static_cast<unsigned>(std::min(n, kMaxWorkers));
  return true;
}

// A file system path: str, bytes or os.PathLike, as bytes for the system call.
bool convert_path(PyObject* obj, PyRef& out, std::string_view& path) {
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(obj, &converted) == 0) return prefix_argument_error("path");
  out = PyRef::steal(converted);
  path = std::string_view(PyBytes_AS_STRING(converted),
                          static_cast<size_t>(PyBytes_GET_SIZE(converted)));
  return true;
}

PyObject* build_error(const ShapeError& error, const SignalCheck& signals) {
  if (error.kind == ShapeError::Kind::Interrupted) return signals.raise_stopped();
  return raise_value_error(ErrorFamily::Manifest, error.display());
}

namespace {

PyObject* scheme_dict(ChunkScheme scheme) {
  const bool cdc = scheme.kind == ChunkScheme::Kind::CDC;
  PyRef size = PyRef::steal(PyLong_FromUnsignedLongLong(scheme.size));
  if (!size) return nullptr;
  return Py_BuildValue("{s:s,s:O}", "type", cdc ? "cdc" : "fixed", cdc ? "avg_size" : "size",
                       size.get());
}

// --- Manifest -----------------------------------------------------------------------------

struct ManifestObject {
  PyObject_HEAD std::shared_ptr<const CompactManifest>* manifest;
};

PyObject* g_manifest_type = nullptr;

const CompactManifest& held(PyObject* self) {
  return **reinterpret_cast<ManifestObject*>(self)->manifest;
}

void manifest_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ManifestObject*>(self)->manifest;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "Manifest objects come from build_manifest_py, build_manifest_from_file_py, "
                  "manifest_from_json_py or ShapeHasher.manifest()");
  return nullptr;
}

PyObject* new_hash_str(const Digest& digest) {
  char text[71];
  std::memcpy(text, "sha256:", 7);
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t k = 0; k < 32; ++k) {
    text[7 + 2 * k] = kHex[digest[k] >> 4];
    text[8 + 2 * k] = kHex[digest[k] & 0xF];
  }
  return PyUnicode_FromStringAndSize(text, sizeof text);
}

Py_ssize_t manifest_len(PyObject* self) {
  return static_cast<Py_ssize_t>(held(self).chunks.size());
}

PyObject* manifest_item(PyObject* self, Py_ssize_t i) {
  const ChunkTable& chunks = held(self).chunks;
  if (i < 0 || static_cast<size_t>(i) >= chunks.size()) {
    PyErr_SetString(PyExc_IndexError, "manifest index out of range");
    return nullptr;
  }
  const ChunkRecord& c = chunks[static_cast<size_t>(i)];
  PyRef id = PyRef::steal(new_hash_str(c.digest));
  if (!id) return nullptr;
  return Py_BuildValue("(KKO)", static_cast<unsigned long long>(c.offset),
                       static_cast<unsigned long long>(c.len), id.get());
}

PyObject* manifest_root(PyObject* self, void*) {
  return new_hash_str(held(self).root);
}
PyObject* manifest_total_len(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(held(self).total_len);
}
PyObject* manifest_scheme(PyObject* self, void*) {
  return scheme_dict(held(self).chunk_scheme);
}
PyObject* manifest_shape_hash(PyObject* self, void*) {
  return guarded([&] { return new_str(held(self).shape_hash()); });
}

PyObject* chunk_ids_impl(PyObject* self) {
  const ChunkTable& chunks = held(self).chunks;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < chunks.size(); ++i) {
    PyObject* id = new_hash_str(chunks[i].digest);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list.release();
}

PyObject* to_json_impl(PyObject* self) {
  return new_str(manifest_to_json(held(self)));
}

PyObject* to_bytes_impl(PyObject* self) {
  auto bytes = manifest_to_bytes(held(self));
  if (!bytes)
    return raise_value_error(ErrorFamily::Manifest, "Cannot write the manifest: " + bytes.error());
  return PyBytes_FromStringAndSize(bytes->data(), static_cast<Py_ssize_t>(bytes->size()));
}

bool convert_manifest(PyObject* obj, const char* arg, const CompactManifest*& out) {
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_manifest_type))) {
    return raise_wrong_type(arg, obj, "Manifest");
  }
  out = &held(obj);
  return true;
}

PyObject* jaccard_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"other", nullptr};
  PyObject* other_arg = nullptr;
  if (!parse_args(args, kwargs, "O:jaccard", kNames, &other_arg)) return nullptr;
  const CompactManifest* other = nullptr;
  if (!convert_manifest(other_arg, "other", other)) return nullptr;
  return PyFloat_FromDouble(manifest_jaccard(held(self), *other));
}

PyObject* manifest_repr(PyObject* self) {
  return guarded([&] {
    const CompactManifest& m = held(self);
    return new_str("<Manifest " + hash_string(m.root) +
                   " total_len=" + std::to_string(m.total_len) +
                   " chunks=" + std::to_string(m.chunks.size()) + ">");
  });
}

PyObject* manifest_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) ||
      !PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(g_manifest_type))) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const CompactManifest& a = held(self);
  const CompactManifest& b = held(other);
  bool equal = a.chunk_scheme == b.chunk_scheme && a.root == b.root && a.total_len == b.total_len &&
               a.chunks.size() == b.chunks.size();
  for (size_t i = 0; equal && i < a.chunks.size(); ++i) {
    equal = a.chunks[i].len == b.chunks[i].len && a.chunks[i].digest == b.chunks[i].digest;
  }
  return PyBool_FromLong((op == Py_EQ) == equal);
}

PyMethodDef kManifestMethods[] = {
    {"chunk_ids", noargs_method<chunk_ids_impl>(), METH_NOARGS,
     "chunk_ids($self, /)\n--\n\nThe chunk ids (hash strings) in stream order."},
    {"jaccard", keywords_method<jaccard_impl>(), METH_VARARGS | METH_KEYWORDS,
     "jaccard($self, /, other)\n--\n\n"
     "Jaccard overlap of the two manifests' sets of chunk ids (1.0 when both are empty);\n"
     "equal to delta.jaccard_similarity_py(self.chunk_ids(), other.chunk_ids())."},
    {"to_json", noargs_method<to_json_impl>(), METH_NOARGS,
     "to_json($self, /)\n--\n\n"
     "The JSON form: {\"chunk_scheme\": {...}, \"chunks\": [[offset, length, id], ...],\n"
     "\"root\": \"sha256:...\", \"total_len\": N}, read back by manifest_from_json_py."},
    {"to_bytes", noargs_method<to_bytes_impl>(), METH_NOARGS,
     "to_bytes($self, /)\n--\n\n"
     "The compact binary form (at most 42 bytes a chunk), read back by\n"
     "manifest_from_bytes_py. ValueError for a manifest built without its chunks."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kManifestGetters[] = {
    {"root", manifest_root, nullptr, "Merkle root over the chunk digests (hash string).", nullptr},
    {"total_len", manifest_total_len, nullptr, "Length of the stream in bytes.", nullptr},
    {"chunk_scheme", manifest_scheme, nullptr,
     "The chunk scheme dict ({\"type\": \"cdc\", \"avg_size\": N} or {\"type\": \"fixed\", "
     "\"size\": N}).",
     nullptr},
    {"shape_hash", manifest_shape_hash, nullptr,
     "The data shape hash of the stream, as compute_data_shape_hash_from_bytes_py gives it.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kManifestSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "The chunks of a byte stream (offset, length, id) with their Merkle root, held\n"
         "natively at 48 bytes a chunk. len(m), m[i] and iteration give (offset, length, id)\n"
         "tuples in stream order.")},
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&manifest_dealloc)},
    {Py_tp_methods, kManifestMethods},
    {Py_tp_getset, kManifestGetters},
    {Py_tp_repr, reinterpret_cast<void*>(&manifest_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&manifest_richcompare)},
    {Py_sq_length, reinterpret_cast<void*>(&manifest_len)},
    {Py_sq_item, reinterpret_cast<void*>(&manifest_item)},
    {0, nullptr},
};

PyType_Spec kManifestSpec = {"shapes.Manifest", static_cast<int>(sizeof(ManifestObject)), 0,
                             Py_TPFLAGS_DEFAULT, kManifestSlots};

}  // namespace

PyObject* wrap_manifest(std::shared_ptr<const CompactManifest> manifest) {
  auto* type = reinterpret_cast<PyTypeObject*>(manifest_type());
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ManifestObject*>(self)->manifest =
      new (std::nothrow) std::shared_ptr<const CompactManifest>(std::move(manifest));
  if (reinterpret_cast<ManifestObject*>(self)->manifest == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

PyObject* wrap_manifest(CompactManifest manifest) {
  return wrap_manifest(std::make_shared<const CompactManifest>(std::move(manifest)));
}

namespace {

// --- ShapeHasher --------------------------------------------------------------------------

constexpr const char* kForkedMidCall =
    "this ShapeHasher was in use by another thread when the process forked; its state is lost "
    "in this process";

struct HasherState {
  ChunkScheme scheme;
  bool keep_chunks = false;
  bool sketching = false;
  std::optional<Sketch> sketch;
  std::unique_ptr<ShapeStream> stream;  // null once finished
  std::shared_ptr<const CompactManifest> result;
  std::string shape_hash;
  bool forked_mid_call = false;
};

// Why the hasher cannot go on (ValueError set), or false when it can.
bool unusable(const HasherState& state) {
  const char* why = nullptr;
  if (state.forked_mid_call) {
    why = kForkedMidCall;
  } else if (state.stream && state.stream->broken()) {
    why = "the shape hash was interrupted during update(); start a new ShapeHasher";
  }
  if (why != nullptr) raise_value_error(ErrorFamily::Shape, why);
  return why != nullptr;
}

struct ShapeHasherObject {
  PyObject_HEAD HasherState* state;
  PyThread_type_lock lock;
  uint64_t generation;  // the fork generation `lock` belongs to
};

PyObject* g_hasher_type = nullptr;

ShapeHasherObject* as_hasher(PyObject* self) {
  return reinterpret_cast<ShapeHasherObject*>(self);
}

// In a forked child, on first use: a lock that another thread of the parent held at the fork
// would never be released, and the stream it guarded is half fed. Such a hasher gets a new
// lock and refuses further use; an idle one goes on (its helper threads start anew).
void adopt_after_fork(ShapeHasherObject* object) {
  const uint64_t generation = fork_generation();
  if (object->generation == generation) return;
  object->generation = generation;
  if (PyThread_acquire_lock(object->lock, NOWAIT_LOCK)) {
    PyThread_release_lock(object->lock);
    return;
  }
  // Not freed: freeing a held lock is undefined. A few bytes, once per fork.
  object->lock = PyThread_allocate_lock();
  if (object->lock == nullptr) throw std::bad_alloc();
  object->state->forked_mid_call = true;
}

// Holds the object's lock; waits for it with the interpreter lock released, as hashlib does.
class HasherLock {
 public:
  explicit HasherLock(PyObject* self)
      : lock_((adopt_after_fork(as_hasher(self)), as_hasher(self)->lock)) {
    if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
      Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(lock_, WAIT_LOCK);
      Py_END_ALLOW_THREADS
    }
  }
  ~HasherLock() { PyThread_release_lock(lock_); }
  HasherLock(const HasherLock&) = delete;
  HasherLock& operator=(const HasherLock&) = delete;

 private:
  PyThread_type_lock lock_;
};

void hasher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ShapeHasherObject* object = as_hasher(self);
  delete object->state;
  if (object->lock != nullptr) PyThread_free_lock(object->lock);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* hasher_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"chunk_scheme", "keep_chunks", "workers", "records",
                                       nullptr};
  PyObject* scheme_arg = nullptr;
  PyObject* keep_arg = nullptr;
  PyObject* workers_arg = nullptr;
  PyObject* records_arg = nullptr;
  if (!parse_args(args, kwargs, "|OO$OO:ShapeHasher", kNames, &scheme_arg, &keep_arg, &workers_arg,
                  &records_arg)) {
    return nullptr;
  }
  // records: left out, no sketch; None, a chunk-level one; "lines" / "csv", records.
  RecordMode mode = RecordMode::Chunks;
  if (records_arg != nullptr && !convert_record_mode(records_arg, mode)) return nullptr;
  ChunkScheme scheme;
  unsigned workers = 1;
  if (!convert_scheme(scheme_arg, scheme)) return nullptr;
  int keep = 0;
  if (keep_arg != nullptr && (keep = PyObject_IsTrue(keep_arg)) < 0) return nullptr;
  if (!convert_workers(workers_arg, workers)) return nullptr;
  if (auto error = check_scheme(scheme, 0)) {
    return raise_value_error(ErrorFamily::Shape,
                             "Failed to create shape hasher: " + error->display());
  }
  auto state = std::make_unique<HasherState>();
  state->scheme = scheme;
  state->keep_chunks = keep != 0;
  state->stream = std::make_unique<ShapeStream>(scheme, keep != 0, workers);
  if (records_arg != nullptr) {
    state->sketching = true;
    state->stream->sketch(mode);
  }
  PyThread_type_lock lock = PyThread_allocate_lock();
  if (lock == nullptr) return PyErr_NoMemory();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    PyThread_free_lock(lock);
    return nullptr;
  }
  as_hasher(self)->state = state.release();
  as_hasher(self)->lock = lock;
  as_hasher(self)->generation = fork_generation();
  return self;
}

PyObject* hasher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return hasher_new_impl(type, args, kwargs); });
}

PyObject* update_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", nullptr};
  PyObject* data_arg = nullptr;
  if (!parse_args(args, kwargs, "O:update", kNames, &data_arg)) return nullptr;
  BufferArg data;
  if (!data.convert(data_arg, "data")) return nullptr;
  HasherLock lock(self);
  HasherState& state = *as_hasher(self)->state;
  if (unusable(state)) return nullptr;
  if (!state.stream)
    return raise_value_error(ErrorFamily::Shape, "update() after the shape hash was finished");
  if (data.data().size() <= kReleaseLockAbove) {
    state.stream->update(data.data());
    Py_RETURN_NONE;
  }
  SignalCheck signals;
  const bool done = interruptible(signals, [&](const Interruption& interrupt) {
    return state.stream->update(data.data(), interrupt);
  });
  if (!done) return signals.raise_stopped();
  Py_RETURN_NONE;
}

// Ends the stream once; later calls see the same result.
void finish(HasherState& state) {
  if (!state.stream) return;
  {
    ReleasedLock released;
    state.result = std::make_shared<const CompactManifest>(state.stream->finish());
    if (state.sketching) state.sketch = state.stream->take_sketch();
    state.stream.reset();
  }
  state.shape_hash = state.result->shape_hash();
}

PyObject* shape_hash_impl(PyObject* self) {
  HasherLock lock(self);
  HasherState& state = *as_hasher(self)->state;
  if (unusable(state)) return nullptr;
  finish(state);
  return new_str(state.shape_hash);
}

PyObject* hasher_manifest_impl(PyObject* self) {
  HasherLock lock(self);
  HasherState& state = *as_hasher(self)->state;
  if (!state.keep_chunks) {
    return raise_value_error(ErrorFamily::Shape,
                             "manifest() needs a ShapeHasher made with keep_chunks=True");
  }
  if (unusable(state)) return nullptr;
  finish(state);
  return wrap_manifest(state.result);
}

PyObject* hasher_sketch_impl(PyObject* self) {
  HasherLock lock(self);
  HasherState& state = *as_hasher(self)->state;
  if (!state.sketching)
    return raise_value_error(ErrorFamily::Manifest,
                             "sketch() needs a ShapeHasher made with records=");
  if (unusable(state)) return nullptr;
  finish(state);
  return wrap_sketch(*state.sketch);
}

PyObject* hasher_scheme(PyObject* self, void*) {
  return scheme_dict(as_hasher(self)->state->scheme);
}

PyMethodDef kHasherMethods[] = {
    {"update", keywords_method<update_impl>(), METH_VARARGS | METH_KEYWORDS,
     "update($self, /, data)\n--\n\n"
     "Appends the bytes of any buffer to the stream. Raises ValueError once the shape\n"
     "hash has been finished."},
    {"shape_hash", noargs_method<shape_hash_impl>(), METH_NOARGS,
     "shape_hash($self, /)\n--\n\n"
     "Ends the stream and returns its data shape hash, equal to\n"
     "compute_data_shape_hash_from_bytes_py over all the bytes given to update()."},
    {"manifest", noargs_method<hasher_manifest_impl>(), METH_NOARGS,
     "manifest($self, /)\n--\n\n"
     "Ends the stream and returns its Manifest (needs keep_chunks=True)."},
    {"sketch", noargs_method<hasher_sketch_impl>(), METH_NOARGS,
     "sketch($self, /)\n--\n\n"
     "Ends the stream and returns the Sketch of its bytes, taken in the same pass (needs\n"
     "records=None for chunks, \"lines\" or \"csv\")."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kHasherGetters[] = {
    {"chunk_scheme", hasher_scheme, nullptr, "The chunk scheme dict.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kHasherSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "ShapeHasher(chunk_scheme=None, keep_chunks=False, *, workers=1, records=...)\n--\n\n"
         "Streaming data shape hash in the style of hashlib: update(data) any number of\n"
         "times, then shape_hash() (and manifest() when keep_chunks is true). Memory stays\n"
         "flat unless the chunks are kept. `workers` threads share the work of one stream.\n"
         "With `records` (None: chunks, \"lines\" or \"csv\") sketch() gives the Sketch too.")},
    {Py_tp_new, reinterpret_cast<void*>(&hasher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&hasher_dealloc)},
    {Py_tp_methods, kHasherMethods},
    {Py_tp_getset, kHasherGetters},
    {0, nullptr},
};

PyType_Spec kHasherSpec = {"shapes.ShapeHasher", static_cast<int>(sizeof(ShapeHasherObject)), 0,
                           Py_TPFLAGS_DEFAULT, kHasherSlots};

// --- functions ----------------------------------------------------------------------------

// The arguments of both builders: the source, converted by `convert_source` first,
// then chunk_scheme=None, *, workers=1.
struct BuildArgs {
  ChunkScheme scheme;
  unsigned workers = 1;
};

template <typename ConvertSource>
bool parse_build_args(PyObject* args, PyObject* kwargs, const char* format,
                      const char* const* names, BuildArgs& out, ConvertSource convert_source) {
  PyObject* source_arg = nullptr;
  PyObject* scheme_arg = nullptr;
  PyObject* workers_arg = nullptr;
  return parse_args(args, kwargs, format, names, &source_arg, &scheme_arg, &workers_arg) &&
         convert_source(source_arg) && convert_scheme(scheme_arg, out.scheme) &&
         convert_workers(workers_arg, out.workers);
}

PyObject* built_manifest(std::expected<CompactManifest, ShapeError>&& built,
                         const SignalCheck& signals) {
  if (!built) return build_error(built.error(), signals);
  return wrap_manifest(std::move(*built));
}

PyObject* build_manifest_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", "chunk_scheme", "workers", nullptr};
  BuildArgs a;
  BufferArg data;
  if (!parse_build_args(args, kwargs, "O|O$O:build_manifest_py", kNames, a,
                        [&](PyObject* arg) { return data.convert(arg, "data"); })) {
    return nullptr;
  }
  SignalCheck signals;
  const auto build = [&](const Interruption& interrupt) {
    return build_manifest(data.data(), a.scheme, a.workers, interrupt);
  };
  if (data.data().size() <= kReleaseLockAbove && a.workers == 1) {
    return built_manifest(build(Interruption{}), signals);
  }
  return built_manifest(interruptible(signals, build), signals);
}

PyObject* build_manifest_from_file_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"path", "chunk_scheme", "workers", nullptr};
  BuildArgs a;
  PyRef path_bytes;
  std::string_view path;
  if (!parse_build_args(args, kwargs, "O|O$O:build_manifest_from_file_py", kNames, a,
                        [&](PyObject* arg) { return convert_path(arg, path_bytes, path); })) {
    return nullptr;
  }
  SignalCheck signals;
  return built_manifest(interruptible(signals,
                                      [&](const Interruption& interrupt) {
                                        return build_manifest_from_file(path, a.scheme, true,
                                                                        a.workers, interrupt);
                                      }),
                        signals);
}

PyObject* manifest_from_json_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"text", nullptr};
  PyObject* text_arg = nullptr;
  if (!parse_args(args, kwargs, "O:manifest_from_json_py", kNames, &text_arg)) return nullptr;
  std::string_view text;
  if (!convert_str(text_arg, "text", text)) return nullptr;
  auto manifest = manifest_from_json(text);
  if (!manifest)
    return raise_value_error(ErrorFamily::Manifest, "Invalid manifest JSON: " + manifest.error());
  return wrap_manifest(std::move(*manifest));
}

PyObject* manifest_from_bytes_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", nullptr};
  PyObject* data_arg = nullptr;
  if (!parse_args(args, kwargs, "O:manifest_from_bytes_py", kNames, &data_arg)) return nullptr;
  BufferArg data;
  if (!data.convert(data_arg, "data")) return nullptr;
  auto manifest = without_gil_if(data.data().size() > kReleaseLockAbove,
                                 [&] { return manifest_from_bytes(data.data()); });
  if (!manifest)
    return raise_value_error(ErrorFamily::Manifest, "Invalid binary manifest: " + manifest.error());
  return wrap_manifest(std::move(*manifest));
}

#define QM_WORKERS_ARG                                                                \
  "    workers: threads sharing the work of this one input (default 1); the result\n" \
  "        does not depend on it\n"

constexpr const char* kBuildManifestDoc =
    "build_manifest_py(data, chunk_scheme=None, *, workers=1)\n"
    "--\n"
    "\n"
    "Build the manifest of a byte buffer.\n"
    "\n"
    "Args:\n"
    "    data: any object with the buffer protocol (bytes, bytearray, memoryview, array,\n"
    "        mmap); a bytearray cannot be resized during the call\n" QM_SCHEME_ARG QM_WORKERS_ARG
    "\n"
    "Returns:\n"
    "    Manifest\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the scheme has a size of 0";

constexpr const char* kBuildManifestFromFileDoc =
    "build_manifest_from_file_py(path, chunk_scheme=None, *, workers=1)\n"
    "--\n"
    "\n"
    "Build the manifest of a file, read as a stream.\n"
    "\n"
    "Args:\n"
    "    path: Path to the file (str, bytes or PathLike)\n" QM_SCHEME_ARG QM_WORKERS_ARG
    "\n"
    "Returns:\n"
    "    Manifest\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the file cannot be read or the scheme has a size of 0";

constexpr const char* kManifestFromJsonDoc =
    "manifest_from_json_py(text)\n"
    "--\n"
    "\n"
    "Read a manifest from its JSON form (Manifest.to_json).\n"
    "\n"
    "Checks that the chunks are contiguous from 0, that their lengths add up to\n"
    "total_len and that the root recomputed from the ids equals root.\n"
    "\n"
    "Raises:\n"
    "    ValueError: naming the first fault found";

}  // namespace

const CompactManifest* manifest_of(PyObject* obj) {
  if (g_manifest_type == nullptr ||
      !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_manifest_type))) {
    return nullptr;
  }
  return &held(obj);
}

PyObject* manifest_type() {
  if (g_manifest_type == nullptr) g_manifest_type = PyType_FromSpec(&kManifestSpec);
  return g_manifest_type;
}

PyObject* shape_hasher_type() {
  if (g_hasher_type == nullptr) g_hasher_type = PyType_FromSpec(&kHasherSpec);
  return g_hasher_type;
}

constexpr const char* kManifestFromBytesDoc =
    "manifest_from_bytes_py(data)\n"
    "--\n"
    "\n"
    "Read a manifest from its binary form (Manifest.to_bytes), with the checks of\n"
    "manifest_from_json_py.\n"
    "\n"
    "Raises:\n"
    "    ValueError: naming the first fault found";

PyMethodDef kManifestFunctions[] = {
    {"build_manifest_py", keywords_method<build_manifest_py>(), METH_VARARGS | METH_KEYWORDS,
     kBuildManifestDoc},
    {"build_manifest_from_file_py", keywords_method<build_manifest_from_file_py>(),
     METH_VARARGS | METH_KEYWORDS, kBuildManifestFromFileDoc},
    {"manifest_from_json_py", keywords_method<manifest_from_json_py>(),
     METH_VARARGS | METH_KEYWORDS, kManifestFromJsonDoc},
    {"manifest_from_bytes_py", keywords_method<manifest_from_bytes_py>(),
     METH_VARARGS | METH_KEYWORDS, kManifestFromBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quillmere::python
