// Client methods over the manifests and reuse index of the SQL stores. Every store call
// runs with the interpreter lock released, on copies of the arguments.
#include "python/client_side.h"

#include <memory>
#include <string>
#include <vector>

#include "python/buffer_arg.h"
#include "python/client.h"
#include "python/convert.h"
#include "python/pyref.h"
#include "python/released_lock.h"
#include "storage/side_tables.h"

namespace quillmere::python {
namespace {

// The client's side tables (kept alive by `holder`); null with StoreError set when the
// client has no store or a store that keeps none (the filesystem store's are the package's).
SideTables* side_of(PyObject* self, std::shared_ptr<ReceiptStore>& holder) {
  holder = client_store(self);
  if (!holder) {
    raise_value_error(ErrorFamily::Store,
                      "Storage not configured. Create client with storage_path or storage_url.");
    return nullptr;
  }
  auto* side = dynamic_cast<SideTables*>(holder.get());
  if (side == nullptr) {
    raise_value_error(ErrorFamily::Store,
                      "this store keeps no manifests or reuse index of its own (only the SQL "
                      "stores do)");
  }
  return side;
}

PyObject* failed(const SignalCheck& signals, const char* prefix, const StorageError& error) {
  if (signals.stopped()) return signals.raise_stopped();
  return raise_value_error(ErrorFamily::Store, std::string(prefix) + error.display());
}

// A sequence of ints in the signed 64-bit range.
bool convert_keys(PyObject* obj, const char* arg, std::vector<int64_t>& out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
    return raise_wrong_type(arg, obj, kKindSequence);
  }
  PyRef items = PyRef::steal(PySequence_Fast(obj, arg));
  if (!items) return prefix_argument_error(arg);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyLong_Check(item)) return raise_wrong_type(arg, item, "int");
    const long long v = PyLong_AsLongLong(item);
    if (v == -1 && PyErr_Occurred()) return false;
    out.push_back(v);
  }
  return true;
}

}  // namespace

PyObject* store_manifest_bytes_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"body", nullptr};
  PyObject* body_arg = nullptr;
  if (!parse_args(args, kwargs, "O:store_manifest_bytes", kNames, &body_arg)) return nullptr;
  BufferArg body;
  if (!body.convert(body_arg, "body")) return nullptr;
  std::shared_ptr<ReceiptStore> holder;
  SideTables* side = side_of(self, holder);
  if (side == nullptr) return nullptr;
  const std::string_view bytes(reinterpret_cast<const char*>(body.data().data()),
                               body.data().size());
  SignalCheck signals;
  auto digest =
      interruptible(signals, [&](const Interruption&) { return side->put_manifest(bytes); });
  if (!digest) return failed(signals, "Failed to store manifest: ", digest.error());
  return new_str(*digest);
}

PyObject* load_manifest_bytes_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"digest", nullptr};
  PyObject* digest_arg = nullptr;
  if (!parse_args(args, kwargs, "O:load_manifest_bytes", kNames, &digest_arg)) return nullptr;
  std::string_view digest;
  if (!convert_str(digest_arg, "digest", digest)) return nullptr;
  std::shared_ptr<ReceiptStore> holder;
  SideTables* side = side_of(self, holder);
  if (side == nullptr) return nullptr;
  SignalCheck signals;
  auto body =
      interruptible(signals, [&](const Interruption&) { return side->get_manifest(digest); });
  if (!body) return failed(signals, "Failed to load manifest: ", body.error());
  if (!*body) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize((*body)->data(), static_cast<Py_ssize_t>((*body)->size()));
}

PyObject* index_executions_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"entries", nullptr};
  PyObject* entries_arg = nullptr;
  if (!parse_args(args, kwargs, "O:index_executions", kNames, &entries_arg)) return nullptr;
  if (PyUnicode_Check(entries_arg) || !PySequence_Check(entries_arg)) {
    raise_wrong_type("entries", entries_arg, kKindSequence);
    return nullptr;
  }
  PyRef items = PyRef::steal(PySequence_Fast(entries_arg, "entries"));
  if (!items) {
    prefix_argument_error("entries");
    return nullptr;
  }
  std::vector<ReuseEntry> entries;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  entries.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
      raise_wrong_type("entries", item, "tuple (rid, method, entry, keys)");
      return nullptr;
    }
    std::string_view rid;
    std::string_view method;
    std::string_view entry;
    ReuseEntry& out = entries.emplace_back();
    if (!convert_str(PyTuple_GET_ITEM(item, 0), "rid", rid) ||
        !convert_str(PyTuple_GET_ITEM(item, 1), "method", method) ||
        !convert_str(PyTuple_GET_ITEM(item, 2), "entry", entry) ||
        !convert_keys(PyTuple_GET_ITEM(item, 3), "keys", out.keys)) {
      return nullptr;
    }
    out.rid = rid;
    out.method = method;
    out.entry = entry;
  }
  std::shared_ptr<ReceiptStore> holder;
  SideTables* side = side_of(self, holder);
  if (side == nullptr) return nullptr;
  SignalCheck signals;
  auto stored =
      interruptible(signals, [&](const Interruption&) { return side->put_reuse_entries(entries); });
  if (!stored) return failed(signals, "Failed to index executions: ", stored.error());
  Py_RETURN_NONE;
}

PyObject* reuse_candidates_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"method", "keys", nullptr};
  PyObject* method_arg = nullptr;
  PyObject* keys_arg = nullptr;
  if (!parse_args(args, kwargs, "OO:reuse_candidates", kNames, &method_arg, &keys_arg)) {
    return nullptr;
  }
  std::string_view method_view;
  std::vector<int64_t> keys;
  if (!convert_str(method_arg, "method", method_view) || !convert_keys(keys_arg, "keys", keys)) {
    return nullptr;
  }
  const std::string method(method_view);
  std::shared_ptr<ReceiptStore> holder;
  SideTables* side = side_of(self, holder);
  if (side == nullptr) return nullptr;
  SignalCheck signals;
  auto found = interruptible(
      signals, [&](const Interruption&) { return side->reuse_candidates(method, keys); });
  if (!found) return failed(signals, "Failed to look up the reuse index: ", found.error());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found->size(); ++i) {
    const ReuseCandidate& c = (*found)[i];
    PyObject* item = Py_BuildValue("(s#L)", c.entry.data(), static_cast<Py_ssize_t>(c.entry.size()),
                                   static_cast<long long>(c.shared));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

}  // namespace quillmere::python
