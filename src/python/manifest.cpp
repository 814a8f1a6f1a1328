// Manifests and streaming shape hashing in the `shapes` module: the Manifest and
// ShapeHasher classes, the manifest builders for buffers and files, and reading a
// manifest back from its JSON form. Long work runs with the interpreter lock released.
#include "python/manifest.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "base/fork_safe.h"
#include "python/buffer_arg.h"
#include "python/convert.h"
#include "python/cpp_object.h"
#include "python/released_lock.h"
#include "python/sketch.h"
#include "shapes/data_shape.h"
#include "shapes/shape_stream.h"

namespace quillmere::python {
namespace {

PyObject* scheme_dict(ChunkScheme scheme) {
  const bool cdc = scheme.kind == ChunkScheme::Kind::CDC;
  PyRef size = PyRef::steal(PyLong_FromUnsignedLongLong(scheme.size));
  if (!size) return nullptr;
  return Py_BuildValue("{s:s,s:O}", "type", cdc ? "cdc" : "fixed", cdc ? "avg_size" : "size",
                       size.get());
}

// --- Manifest -----------------------------------------------------------------------------

// Never null: a hasher's manifest is shared with the Manifest objects made from it.
using ManifestObject = CppObject<std::shared_ptr<const CompactManifest>>;

constexpr char kManifestMadeBy[] =
    "Manifest objects come from build_manifest_py, build_manifest_from_file_py, "
    "manifest_from_json_py or ShapeHasher.manifest()";

extern LazyType g_manifest_type;

const CompactManifest& held(PyObject* self) {
  return *ManifestObject::value(self);
}

// "sha256:" and the digest's hex digits, written into `scratch` (reused across calls).
PyObject* new_hash_str(const Digest& digest, std::string& scratch) {
  scratch.clear();
  append_hash_string(scratch, digest);
  return new_str(scratch);
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
  return guarded([&]() -> PyObject* {
    PyRef id = PyRef::steal(new_str(hash_string(c.digest)));
    if (!id) return nullptr;
    return Py_BuildValue("(KKO)", static_cast<unsigned long long>(c.offset),
                         static_cast<unsigned long long>(c.len), id.get());
  });
}

PyObject* manifest_root(PyObject* self, void*) {
  return guarded([&] { return new_str(hash_string(held(self).root)); });
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
  std::string scratch;
  return new_list(chunks.size(), [&](size_t i) { return new_hash_str(chunks[i].digest, scratch); });
}

PyObject* to_json_impl(PyObject* self) {
  return new_str(manifest_to_json(held(self)));
}

PyObject* to_bytes_impl(PyObject* self) {
  auto bytes = manifest_to_bytes(held(self));
  if (!bytes)
    return raise_value_error(ErrorFamily::Manifest, "Cannot write the manifest: " + bytes.error());
  return new_bytes(*bytes);
}

PyObject* jaccard_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"other", nullptr};
  PyObject* other_arg = nullptr;
  if (!parse_args(args, kwargs, "O:jaccard", kNames, &other_arg)) return nullptr;
  const auto* other = ManifestObject::argument(other_arg, g_manifest_type, "other", "Manifest");
  if (other == nullptr) return nullptr;
  return PyFloat_FromDouble(manifest_jaccard(held(self), **other));
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
  if ((op != Py_EQ && op != Py_NE) || !g_manifest_type.has_instance(other)) {
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

DefTable kManifestMethods{
    method_def<chunk_ids_impl>(
        "chunk_ids", "chunk_ids($self, /)\n--\n\nThe chunk ids (hash strings) in stream order."),
    method_def<jaccard_impl>(
        "jaccard",
        "jaccard($self, /, other)\n--\n\n"
        "Jaccard overlap of the two manifests' sets of chunk ids (1.0 when both are empty);\n"
        "equal to delta.jaccard_similarity_py(self.chunk_ids(), other.chunk_ids())."),
    method_def<to_json_impl>(
        "to_json",
        "to_json($self, /)\n--\n\n"
        "The JSON form: {\"chunk_scheme\": {...}, \"chunks\": [[offset, length, id], ...],\n"
        "\"root\": \"sha256:...\", \"total_len\": N}, read back by manifest_from_json_py."),
    method_def<to_bytes_impl>(
        "to_bytes",
        "to_bytes($self, /)\n--\n\n"
        "The compact binary form (at most 42 bytes a chunk), read back by\n"
        "manifest_from_bytes_py. ValueError for a manifest built without its chunks."),
};

DefTable kManifestGetters{
    getter_def("root", manifest_root, "Merkle root over the chunk digests (hash string)."),
    getter_def("total_len", manifest_total_len, "Length of the stream in bytes."),
    getter_def(
        "chunk_scheme", manifest_scheme,
        "The chunk scheme dict ({\"type\": \"cdc\", \"avg_size\": N} or {\"type\": \"fixed\", "
        "\"size\": N})."),
    getter_def(
        "shape_hash", manifest_shape_hash,
        "The data shape hash of the stream, as compute_data_shape_hash_from_bytes_py gives it."),
};

PyType_Slot kManifestSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "The chunks of a byte stream (offset, length, id) with their Merkle root, held\n"
         "natively at 48 bytes a chunk. len(m), m[i] and iteration give (offset, length, id)\n"
         "tuples in stream order.")},
    {Py_tp_new, refuse_construction_slot<kManifestMadeBy>()},
    {Py_tp_dealloc, ManifestObject::dealloc_slot()},
    {Py_tp_methods, kManifestMethods},
    {Py_tp_getset, kManifestGetters},
    {Py_tp_repr, reinterpret_cast<void*>(&manifest_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&manifest_richcompare)},
    {Py_sq_length, reinterpret_cast<void*>(&manifest_len)},
    {Py_sq_item, reinterpret_cast<void*>(&manifest_item)},
    {0, nullptr},
};

PyType_Spec kManifestSpec = {"shapes.Manifest", ManifestObject::kBasicSize, 0, Py_TPFLAGS_DEFAULT,
                             kManifestSlots};
LazyType g_manifest_type{&kManifestSpec};

}  // namespace

PyObject* wrap_manifest(std::shared_ptr<const CompactManifest> manifest) {
  PyTypeObject* type = g_manifest_type.get_type();
  if (type == nullptr) return nullptr;
  return ManifestObject::create(type, std::move(manifest));
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

// What a ShapeHasher object holds: its state and the lock that lets one thread at a time
// use it.
class Hasher {
 public:
  Hasher(std::unique_ptr<HasherState> held_state, PyThread_type_lock held_lock) noexcept
      : state(std::move(held_state)), lock(held_lock), generation(fork_generation()) {}
  Hasher(Hasher&& other) noexcept
      : state(std::move(other.state)),
        lock(std::exchange(other.lock, nullptr)),
        generation(other.generation) {}
  Hasher& operator=(Hasher&&) = delete;
  ~Hasher() {
    if (lock != nullptr) PyThread_free_lock(lock);
  }

  std::unique_ptr<HasherState> state;
  PyThread_type_lock lock;
  uint64_t generation;  // the fork generation `lock` belongs to
};

using HasherObject = CppObject<Hasher>;

Hasher* as_hasher(PyObject* self) {
  return &HasherObject::value(self);
}

// In a forked child, on first use: a lock that another thread of the parent held at the fork
// would never be released, and the stream it guarded is half fed. Such a hasher gets a new
// lock and refuses further use; an idle one goes on (its helper threads start anew).
void adopt_after_fork(Hasher* object) {
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
  return HasherObject::create(type, Hasher(std::move(state), lock));
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

// What `result` makes of the hasher's state once its stream is ended (the first call ends
// it). A hasher made without what the result needs (`made_with` false) raises `missing`.
template <class Result>
PyObject* finished(PyObject* self, bool HasherState::* made_with, ErrorFamily family,
                   const char* missing, Result result) {
  HasherLock lock(self);
  HasherState& state = *as_hasher(self)->state;
  if (made_with != nullptr && !(state.*made_with)) return raise_value_error(family, missing);
  if (unusable(state)) return nullptr;
  finish(state);
  return result(state);
}

PyObject* shape_hash_impl(PyObject* self) {
  return finished(self, nullptr, ErrorFamily::Shape, nullptr,
                  [](const HasherState& state) { return new_str(state.shape_hash); });
}

PyObject* hasher_manifest_impl(PyObject* self) {
  return finished(self, &HasherState::keep_chunks, ErrorFamily::Shape,
                  "manifest() needs a ShapeHasher made with keep_chunks=True",
                  [](const HasherState& state) { return wrap_manifest(state.result); });
}

PyObject* hasher_sketch_impl(PyObject* self) {
  return finished(self, &HasherState::sketching, ErrorFamily::Manifest,
                  "sketch() needs a ShapeHasher made with records=", [](const HasherState& state) {
                    return wrap_sketch(*state.sketch);
                  });
}

PyObject* hasher_scheme(PyObject* self, void*) {
  return scheme_dict(as_hasher(self)->state->scheme);
}

DefTable kHasherMethods{
    method_def<update_impl>(
        "update",
        "update($self, /, data)\n--\n\n"
        "Appends the bytes of any buffer to the stream. Raises ValueError once the shape\n"
        "hash has been finished."),
    method_def<shape_hash_impl>(
        "shape_hash",
        "shape_hash($self, /)\n--\n\n"
        "Ends the stream and returns its data shape hash, equal to\n"
        "compute_data_shape_hash_from_bytes_py over all the bytes given to update()."),
    method_def<hasher_manifest_impl>(
        "manifest",
        "manifest($self, /)\n--\n\n"
        "Ends the stream and returns its Manifest (needs keep_chunks=True)."),
    method_def<hasher_sketch_impl>(
        "sketch",
        "sketch($self, /)\n--\n\n"
        "Ends the stream and returns the Sketch of its bytes, taken in the same pass (needs\n"
        "records=None for chunks, \"lines\" or \"csv\")."),
};

DefTable kHasherGetters{
    getter_def("chunk_scheme", hasher_scheme, "The chunk scheme dict."),
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
    {Py_tp_dealloc, HasherObject::dealloc_slot()},
    {Py_tp_methods, kHasherMethods},
    {Py_tp_getset, kHasherGetters},
    {0, nullptr},
};

PyType_Spec kHasherSpec = {"shapes.ShapeHasher", HasherObject::kBasicSize, 0, Py_TPFLAGS_DEFAULT,
                           kHasherSlots};
LazyType g_hasher_type{&kHasherSpec};

// --- functions ----------------------------------------------------------------------------

// The arguments of both builders: the source, converted by `convert_source` first,
// then chunk_scheme=None, *, workers=1.
template <typename ConvertSource>
bool parse_build_args(PyObject* args, PyObject* kwargs, const char* format,
                      const char* const* names, ShapeArgs& out, ConvertSource convert_source) {
  PyObject* source_arg = nullptr;
  PyObject* scheme_arg = nullptr;
  PyObject* workers_arg = nullptr;
  return parse_args(args, kwargs, format, names, &source_arg, &scheme_arg, &workers_arg) &&
         convert_source(source_arg) && out.convert(scheme_arg, workers_arg);
}

PyObject* built_manifest(std::expected<CompactManifest, ShapeError>&& built,
                         const SignalCheck& signals) {
  if (!built) return build_error(built.error(), signals);
  return wrap_manifest(std::move(*built));
}

PyObject* build_manifest_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", "chunk_scheme", "workers", nullptr};
  ShapeArgs a;
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
  ShapeArgs a;
  PyRef path_bytes;
  std::string_view path;
  if (!parse_build_args(
          args, kwargs, "O|O$O:build_manifest_from_file_py", kNames, a,
          [&](PyObject* arg) { return convert_path(arg, "path", path_bytes, path); })) {
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
  static const char* const kNames[] = {"data", "digest", nullptr};
  PyObject* data_arg = nullptr;
  PyObject* digest_arg = Py_None;
  if (!parse_args(args, kwargs, "O|$O:manifest_from_bytes_py", kNames, &data_arg, &digest_arg))
    return nullptr;
  BufferArg data;
  if (!data.convert(data_arg, "data")) return nullptr;
  std::string_view digest;
  if (digest_arg != Py_None && !convert_str(digest_arg, "digest", digest)) return nullptr;
  auto manifest = without_gil_if(data.data().size() > kReleaseLockAbove, [&] {
    return digest_arg == Py_None ? manifest_from_bytes(data.data())
                                 : manifest_from_stored_bytes(data.data(), digest);
  });
  if (!manifest)
    return raise_value_error(ErrorFamily::Manifest, "Invalid binary manifest: " + manifest.error());
  return wrap_manifest(std::move(*manifest));
}

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
  return g_manifest_type.has_instance(obj) ? &held(obj) : nullptr;
}

PyObject* manifest_type() {
  return g_manifest_type.get();
}

PyObject* shape_hasher_type() {
  return g_hasher_type.get();
}

constexpr const char* kManifestFromBytesDoc =
    "manifest_from_bytes_py(data, *, digest=None)\n"
    "--\n"
    "\n"
    "Read a manifest from its binary form (Manifest.to_bytes), with the checks of\n"
    "manifest_from_json_py.\n"
    "\n"
    "Args:\n"
    "    data: the binary form, any object with the buffer protocol\n"
    "    digest: the name a store keeps it under (\"sha256:\" + SHA-256 of the bytes): the\n"
    "        bytes are checked against it too, alongside the rest of the work\n"
    "\n"
    "Raises:\n"
    "    ValueError: naming the first fault found";

MethodTable<4> kManifestFunctions{
    method_def<build_manifest_py>("build_manifest_py", kBuildManifestDoc),
    method_def<build_manifest_from_file_py>("build_manifest_from_file_py",
                                            kBuildManifestFromFileDoc),
    method_def<manifest_from_json_py>("manifest_from_json_py", kManifestFromJsonDoc),
    method_def<manifest_from_bytes_py>("manifest_from_bytes_py", kManifestFromBytesDoc),
};

}  // namespace quillmere::python
