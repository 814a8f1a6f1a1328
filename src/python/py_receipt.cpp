// The PyReceipt class and receipt_from_json_py.
#include "python/py_receipt.h"

#include <string>
#include <utility>

#include "python/convert.h"
#include "python/cpp_object.h"
#include "receipts/indexed_fields.h"
#include "receipts/json_adapter.h"
#include "receipts/validation.h"

namespace quillmere::python {
namespace {

using ReceiptObject = CppObject<Receipt>;

const Receipt& held(PyObject* self) {
  return ReceiptObject::value(self);
}

constexpr char kMadeBy[] = "No constructor defined";

PyObject* validate_method(PyObject* self) {
  if (auto result = validate(held(self)); !result) {
    return raise_value_error(ErrorFamily::Validation,
                             "Receipt validation failed: " + result.error().display());
  }
  Py_RETURN_NONE;
}

PyObject* compute_hash_method(PyObject* self) {
  auto hash = held(self).compute_hash();
  if (!hash)
    return raise_value_error(ErrorFamily::Hash,
                             "Hash computation failed: " + hash.error().display());
  return new_str(*hash);
}

PyObject* to_json_method(PyObject* self) {
  auto text = receipt_to_json(held(self));
  if (!text)
    return raise_value_error(ErrorFamily::ReceiptFormat,
                             "JSON serialization failed: " + text.error().display());
  return new_str(*text);
}

PyObject* get_rid(PyObject* self) {
  return new_str(uuid_to_string(held(self).rid));
}
PyObject* get_kind(PyObject* self) {
  return new_str(display_name(indexed_fields(held(self)).kind));
}
PyObject* get_version(PyObject* self) {
  return new_str(held(self).version);
}
PyObject* get_hash(PyObject* self) {
  return new_str(held(self).hash);
}
PyObject* get_dom(PyObject* self) {
  return new_str(held(self).dom);
}
PyObject* get_cod(PyObject* self) {
  return new_str(held(self).cod);
}

// The execution payload has no workload identifier field, and none is derived from
// method_ref, so this is None for every receipt.
PyObject* get_workload_id(PyObject*) {
  Py_RETURN_NONE;
}

PyObject* get_trace_id(PyObject* self) {
  if (auto trace_id = indexed_fields(held(self)).trace_id) return new_str(*trace_id);
  Py_RETURN_NONE;
}

DefTable kMethods{
    method_def<validate_method>("validate",
                                "validate($self)\n--\n\n"
                                "Validate this receipt.\n\n"
                                "Performs hash integrity, payload rules, and format checks.\n\n"
                                "Returns:\n    None if valid\n\n"
                                "Raises:\n    ValueError: If validation fails"),
    method_def<compute_hash_method>(
        "compute_hash",
        "compute_hash($self)\n--\n\n"
        "Compute hash from canonical body.\n\n"
        "Computes the SHA-256 hash of the canonical JSON representation\n"
        "(without `sig` and `hash` fields).\n\n"
        "Returns:\n    Hash in format `sha256:<64hex>`"),
    method_def<to_json_method>("to_json",
                               "to_json($self)\n--\n\n"
                               "Serialize receipt to JSON string.\n\n"
                               "Returns:\n    JSON string representation of the receipt"),
    method_def<get_rid>("get_rid", "get_rid($self)\n--\n\nGet receipt ID (RID) as string."),
    method_def<get_kind>("get_kind", "get_kind($self)\n--\n\nGet receipt kind as string."),
    method_def<get_version>("get_version", "get_version($self)\n--\n\nGet receipt version."),
    method_def<get_hash>("get_hash", "get_hash($self)\n--\n\nGet receipt hash."),
    method_def<get_dom>("get_dom", "get_dom($self)\n--\n\nGet domain shape commitment (dom)."),
    method_def<get_cod>("get_cod", "get_cod($self)\n--\n\nGet codomain shape commitment (cod)."),
    method_def<get_workload_id>(
        "get_workload_id",
        "get_workload_id($self)\n--\n\n"
        "Get workload ID from execution payload (if this is an execution receipt).\n\n"
        "Returns None if this is not an execution receipt or if workload_id is not available."),
    method_def<get_trace_id>(
        "get_trace_id",
        "get_trace_id($self)\n--\n\n"
        "Get trace ID from execution payload (if this is an execution receipt)."),
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Receipt")},
    {Py_tp_new, refuse_construction_slot<kMadeBy>()},
    {Py_tp_dealloc, ReceiptObject::dealloc_slot()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"receipts.PyReceipt", ReceiptObject::kBasicSize, 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};
LazyType g_type{&kSpec};

}  // namespace

PyObject* py_receipt_type() {
  return g_type.get();
}

PyObject* wrap_receipt(Receipt receipt) {
  PyTypeObject* type = g_type.get_type();
  if (type == nullptr) return nullptr;
  PyObject* self = ReceiptObject::create(type, std::move(receipt));
  if (self == nullptr) {
    return raise_panic("failed to create a PyReceipt object: " + take_pending_error_text());
  }
  return self;
}

PyObject* receipt_from_json_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"json_str", nullptr};
  PyObject* json_arg = nullptr;
  if (!parse_args(args, kwargs, "O:receipt_from_json_py", kNames, &json_arg)) return nullptr;
  std::string_view text;
  if (!convert_str(json_arg, "json_str", text)) return nullptr;
  auto receipt = receipt_from_json(text);
  if (!receipt) {
    return raise_value_error(ErrorFamily::ReceiptFormat,
                             "Failed to create receipt from JSON: " + receipt.error().display());
  }
  return wrap_receipt(std::move(*receipt));
}

const Receipt* convert_receipt(PyObject* obj, const char* arg) {
  return ReceiptObject::argument(obj, g_type, arg, kKindReceipt);
}

}  // namespace quillmere::python
