// The Client class. Its only state is an optional shared filesystem store, fixed at
// construction; recording never stores implicitly.
#include "python/client.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "python/convert.h"
#include "python/py_receipt.h"
#include "python/record_verify.h"
#include "storage/filesystem_store.h"

namespace quillmere::python {
namespace {

struct ClientObject {
  PyObject_HEAD std::shared_ptr<FilesystemStore> store;  // null: no storage configured
  bool constructed;                                      // false until `store` holds a live value
};

PyObject* g_type = nullptr;

ClientObject* as_client(PyObject* self) {
  return reinterpret_cast<ClientObject*>(self);
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ClientObject* client = as_client(self);
  if (client->constructed) client->store.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"storage_path", nullptr};
    PyObject* path_arg = nullptr;
    if (!parse_args(args, kwargs, "|O:Client", kNames, &path_arg)) return nullptr;
    std::optional<std::string_view> storage_path;
    if (!convert_optional_str(path_arg, "storage_path", storage_path)) return nullptr;
    std::shared_ptr<FilesystemStore> store;
    if (storage_path) {
      auto created = FilesystemStore::create(std::string(*storage_path));
      if (!created) {
        return raise_value_error("Failed to create filesystem store: " + created.error().display());
      }
      store = std::move(*created);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_client(self)->store) std::shared_ptr<FilesystemStore>(std::move(store));
    as_client(self)->constructed = true;
    return self;
  });
}

PyObject* record_work_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return record_work_call(args, kwargs, "OO|OOO:record_work");
}

PyObject* verify_receipt_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return verify_receipt_call(args, kwargs, "O:verify_receipt");
}

PyObject* store_receipt_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"receipt", nullptr};
  PyObject* receipt_arg = nullptr;
  if (!parse_args(args, kwargs, "O:store_receipt", kNames, &receipt_arg)) return nullptr;
  const Receipt* receipt = convert_receipt(receipt_arg, "receipt");
  if (receipt == nullptr) return nullptr;
  const auto& store = as_client(self)->store;
  if (!store) {
    return raise_value_error(
        "Storage not configured. Create client with storage_path to enable storage.");
  }
  if (auto stored = store->store_receipt(*receipt); !stored) {
    return raise_value_error("Failed to store receipt: " + stored.error().display());
  }
  Py_RETURN_NONE;
}

PyObject* list_receipts_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"workload_id", "trace_id", "limit", nullptr};
  PyObject* workload_arg = nullptr;
  PyObject* trace_arg = nullptr;
  PyObject* limit_arg = nullptr;
  if (!parse_args(args, kwargs, "|OOO:list_receipts", kNames, &workload_arg, &trace_arg,
                  &limit_arg)) {
    return nullptr;
  }
  std::optional<std::string_view> workload_id;
  std::optional<std::string_view> trace_id;
  ReceiptQuery query;
  if (!convert_optional_str(workload_arg, "workload_id", workload_id) ||
      !convert_optional_str(trace_arg, "trace_id", trace_id) ||
      !convert_optional_u64(limit_arg, "limit", query.limit)) {
    return nullptr;
  }
  const auto& store = as_client(self)->store;
  if (!store) {
    return raise_value_error(
        "Storage not configured. Create client with storage_path to enable listing.");
  }
  if (workload_id) query.workload_id = std::string(*workload_id);
  if (trace_id) query.trace_id = std::string(*trace_id);
  auto receipts = store->query_receipts(std::move(query));
  if (!receipts)
    return raise_value_error("Failed to query receipts: " + receipts.error().display());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(receipts->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < receipts->size(); ++i) {
    PyObject* item = wrap_receipt(std::move((*receipts)[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

PyMethodDef kMethods[] = {
    {"record_work", keywords_method<record_work_method>(), METH_VARARGS | METH_KEYWORDS,
     "record_work($self, workload_id, payload, tags=None, trace_id=None, parent_id=None)\n--\n\n"
     "Record a unit of work and produce a verifiable receipt.\n\n"
     "The receipt is not stored; call store_receipt to keep it.\n\n"
     "Args:\n"
     "    workload_id: Identifier for this unit of work (required)\n"
     "    payload: Work payload as a dictionary (required)\n"
     "    tags: Optional tags for categorization\n"
     "    trace_id: Optional trace ID for grouping related work units\n"
     "    parent_id: Optional parent receipt ID for DAG composition\n\n"
     "Returns:\n"
     "    PyReceipt: the sealed execution receipt\n\n"
     "Raises:\n"
     "    ValueError: If receipt creation fails"},
    {"verify_receipt", keywords_method<verify_receipt_method>(), METH_VARARGS | METH_KEYWORDS,
     "verify_receipt($self, receipt)\n--\n\n"
     "Verify receipt integrity and hash correctness.\n\n"
     "Args:\n"
     "    receipt: The receipt to verify\n\n"
     "Returns:\n"
     "    `True` if the receipt is valid, `False` if invalid.\n\n"
     "Raises:\n"
     "    ValueError: If verification fails due to error (not invalid receipt)"},
    {"store_receipt", keywords_method<store_receipt_method>(), METH_VARARGS | METH_KEYWORDS,
     "store_receipt($self, receipt)\n--\n\n"
     "Store a receipt in the configured storage backend.\n\n"
     "Args:\n"
     "    receipt: The receipt to store\n\n"
     "Returns:\n"
     "    Nothing on success, raises an error if storage is not configured or storage fails."},
    {"list_receipts", keywords_method<list_receipts_method>(), METH_VARARGS | METH_KEYWORDS,
     "list_receipts($self, workload_id=None, trace_id=None, limit=None)\n--\n\n"
     "List receipts matching the query criteria.\n\n"
     "Args:\n"
     "    workload_id: Only execution receipts of this workload (method_ref.method_id)\n"
     "    trace_id: Only execution receipts of this trace\n"
     "    limit: At most this many receipts\n\n"
     "Returns:\n"
     "    List of PyReceipt objects\n\n"
     "Raises:\n"
     "    ValueError: If storage is not configured or the query fails"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Client(storage_path=None)\n--\n\n"
         "Thin client for Quillmere SDK.\n\n"
         "Provides a simple interface for recording work and verifying receipts.\n"
         "Storage is optional and decoupled - receipts can be created without storage.")},
    {Py_tp_new, reinterpret_cast<void*>(&client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"_quillmere.Client", static_cast<int>(sizeof(ClientObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* client_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

}  // namespace quillmere::python
