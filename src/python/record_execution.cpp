// record_execution_py of `receipts`: an execution receipt that commits to the manifests or
// shape hashes of its inputs and output, a method shape and a sketch of the inputs.
#include "engine/record_execution.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/jcs_text.h"
#include "codec/uuid.h"
#include "python/convert.h"
#include "python/functions.h"
#include "python/manifest.h"
#include "python/py_receipt.h"
#include "python/record_verify.h"
#include "python/sketch.h"
#include "receipts/canonical.h"

namespace quillmere::python {
namespace {

// The items of a sequence argument (a str is refused), each held by an owned reference so
// that Python code run while converting one cannot free another.
bool sequence_items(PyObject* obj, const char* arg, std::vector<PyRef>& out) {
  out.clear();
  if (is_absent(obj)) return true;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
    return raise_wrong_type(arg, obj, kKindSequence);
  }
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return prefix_argument_error(arg);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_argument_error(arg);
    out.push_back(std::move(item));
  }
  return true;
}

std::string item_name(const char* arg, size_t i) {
  return std::string(arg) + "[" + std::to_string(i) + "]";
}

// A Manifest, or a data shape hash string.
bool convert_data_ref(PyObject* obj, const std::string& name, DataRef& out,
                      std::vector<std::string>& scratch_shapes) {
  if (const CompactManifest* manifest = manifest_of(obj)) {
    out.manifest = manifest;
    out.shape_hash = manifest->shape_hash();
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    return raise_wrong_type(name.c_str(), obj, "Manifest or data shape hash");
  }
  std::string_view text;
  if (!convert_str(obj, name.c_str(), text)) return false;
  if (!validate_hash_format(text)) {
    raise_value_error(ErrorFamily::Validation,
                      name +
                          " must be a Manifest or a data shape hash (\"sha256:\" and 64 "
                          "lowercase hex digits), not " +
                          std::string(text.substr(0, 80)));
    return false;
  }
  out.manifest = nullptr;
  out.shape_hash.assign(text);
  scratch_shapes.push_back(out.shape_hash);
  return true;
}

bool convert_rid(PyObject* obj, const std::string& name, Uuid& out) {
  std::string_view text;
  if (!convert_str(obj, name.c_str(), text)) return false;
  auto parsed = parse_uuid(text);
  if (!parsed) {
    raise_value_error(ErrorFamily::Validation,
                      name + " is not a receipt id: " + std::string(text.substr(0, 80)));
    return false;
  }
  out = *parsed;
  return true;
}

// {"encrypted_data": bytes, "content_hash": str, "encryption_scheme": str}.
bool convert_locator(PyObject* obj, const std::string& name, EncryptedLocatorRef& out) {
  if (!PyDict_Check(obj)) return raise_wrong_type(name.c_str(), obj, kKindDict);
  static const char* const kKeys[] = {"encrypted_data", "content_hash", "encryption_scheme"};
  PyRef values[3];
  for (int k = 0; k < 3; ++k) {
    values[k] = dict_item(obj, kKeys[k]);
    if (!values[k]) {
      if (PyErr_Occurred()) return false;
      raise_value_error(ErrorFamily::Validation, name + " has no '" + kKeys[k] + "'");
      return false;
    }
  }
  const std::string data_name = name + "['encrypted_data']";
  std::span<const uint8_t> data;
  if (!convert_bytes(values[0].get(), data_name.c_str(), data)) return false;
  std::string_view content_hash;
  std::string_view scheme;
  const std::string hash_name = name + "['content_hash']";
  const std::string scheme_name = name + "['encryption_scheme']";
  if (!convert_str(values[1].get(), hash_name.c_str(), content_hash) ||
      !convert_str(values[2].get(), scheme_name.c_str(), scheme)) {
    return false;
  }
  out.encrypted_data.assign(data.begin(), data.end());
  out.content_hash.assign(content_hash);
  out.encryption_scheme.assign(scheme);
  return true;
}

PyObject* record_execution_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"workload_id",
                                       "payload",
                                       "inputs",
                                       "output",
                                       "output_size",
                                       "output_mime_type",
                                       "method_shape",
                                       "sketch",
                                       "trace_id",
                                       "parent_ids",
                                       "prev_execution_rid",
                                       "input_locator_refs",
                                       "output_locator_ref",
                                       "tags",
                                       "rid",
                                       nullptr};
  PyObject* workload_arg = nullptr;
  PyObject* payload_arg = nullptr;
  PyObject* inputs_arg = nullptr;
  PyObject* output_arg = nullptr;
  PyObject* output_size_arg = nullptr;
  PyObject* mime_arg = nullptr;
  PyObject* method_arg = nullptr;
  PyObject* sketch_arg = nullptr;
  PyObject* trace_arg = nullptr;
  PyObject* parents_arg = nullptr;
  PyObject* prev_arg = nullptr;
  PyObject* input_locators_arg = nullptr;
  PyObject* output_locator_arg = nullptr;
  PyObject* tags_arg = nullptr;
  PyObject* rid_arg = nullptr;
  if (!parse_args(args, kwargs, "O|O$OOOOOOOOOOOOO:record_execution_py", kNames, &workload_arg,
                  &payload_arg, &inputs_arg, &output_arg, &output_size_arg, &mime_arg, &method_arg,
                  &sketch_arg, &trace_arg, &parents_arg, &prev_arg, &input_locators_arg,
                  &output_locator_arg, &tags_arg, &rid_arg)) {
    return nullptr;
  }
  ExecutionRecord record;
  std::vector<std::string> tags;
  std::optional<std::string_view> trace_id;
  std::optional<std::string_view> mime;
  std::optional<std::string_view> method_shape;
  if (!convert_str(workload_arg, "workload_id", record.workload_id) ||
      (!is_absent(payload_arg) && !check_dict(payload_arg, "payload")) ||
      (!is_absent(tags_arg) && !convert_str_sequence(tags_arg, "tags", tags)) ||
      !convert_optional_str(trace_arg, "trace_id", trace_id) ||
      !convert_optional_str(mime_arg, "output_mime_type", mime) ||
      !convert_optional_str(method_arg, "method_shape", method_shape) ||
      !convert_optional_u64(output_size_arg, "output_size", record.output.size)) {
    return nullptr;
  }
  if (method_shape && !validate_hash_format(*method_shape)) {
    return raise_value_error(
        ErrorFamily::Validation,
        "method_shape must be a method shape hash (\"sha256:\" and 64 lowercase hex digits), "
        "not " +
            std::string(method_shape->substr(0, 80)));
  }
  std::vector<PyRef> items;
  std::vector<std::string> shapes;  // unused beyond conversion
  if (!sequence_items(inputs_arg, "inputs", items)) return nullptr;
  std::vector<PyRef> held_inputs = std::move(items);
  record.inputs.resize(held_inputs.size());
  for (size_t i = 0; i < held_inputs.size(); ++i) {
    if (!convert_data_ref(held_inputs[i].get(), item_name("inputs", i), record.inputs[i], shapes)) {
      return nullptr;
    }
  }
  if (!is_absent(output_arg)) {
    record.output.data.emplace();
    if (!convert_data_ref(output_arg, "output", *record.output.data, shapes)) return nullptr;
  }
  if (!is_absent(sketch_arg)) {
    std::optional<SketchSummary> summary;
    if (!convert_sketch_summary(sketch_arg, "sketch", summary)) return nullptr;
    record.sketch = std::move(summary);
  } else {
    // No sketch given: the chunk-level sketch of the inputs, when all are manifests.
    std::vector<const CompactManifest*> manifests;
    for (const auto& input : record.inputs) manifests.push_back(input.manifest);
    record.sketch = chunk_sketch_summary(manifests);
  }
  if (!sequence_items(parents_arg, "parent_ids", items)) return nullptr;
  record.links.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (!convert_rid(items[i].get(), item_name("parent_ids", i), record.links[i])) return nullptr;
  }
  if (!is_absent(prev_arg)) {
    Uuid prev;
    if (!convert_rid(prev_arg, "prev_execution_rid", prev)) return nullptr;
    record.prev_execution_rid = prev;
  }
  if (!is_absent(rid_arg)) {
    Uuid rid;
    if (!convert_rid(rid_arg, "rid", rid)) return nullptr;
    record.rid = rid;
  }
  if (!sequence_items(input_locators_arg, "input_locator_refs", items)) return nullptr;
  record.input_locator_refs.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (!convert_locator(items[i].get(), item_name("input_locator_refs", i),
                         record.input_locator_refs[i])) {
      return nullptr;
    }
  }
  if (!is_absent(output_locator_arg)) {
    record.output.locator_ref.emplace();
    if (!convert_locator(output_locator_arg, "output_locator_ref", *record.output.locator_ref)) {
      return nullptr;
    }
  }
  if (trace_id) record.trace_id.emplace(*trace_id);
  if (mime) record.output.mime_type.emplace(*mime);
  if (method_shape) record.method_shape.emplace(*method_shape);

  std::string payload_jcs = "{}";
  if (!is_absent(payload_arg)) {
    std::string_view dumped;
    PyRef dumped_owner = call_json_dumps(payload_arg, dumped);
    if (!dumped_owner) return nullptr;
    payload_jcs.clear();
    if (auto written = append_jcs_of_text(payload_jcs, dumped); !written) {
      return raise_value_error(ErrorFamily::ReceiptFormat,
                               "Failed to parse payload JSON: " + written.error().display());
    }
  }
  record.payload_jcs = payload_jcs;
  auto receipt = record_execution(record);
  if (!receipt) return api_error_to_python(receipt.error());
  return wrap_receipt(std::move(*receipt));
}

}  // namespace

MethodTable<1> kExecutionFunctions{
    method_def<record_execution_py>(
        "record_execution_py",
        "record_execution_py(workload_id, payload=None, *, inputs=(), output=None, "
        "output_size=None, output_mime_type=None, method_shape=None, sketch=None, trace_id=None, "
        "parent_ids=(), prev_execution_rid=None, input_locator_refs=(), output_locator_ref=None, "
        "tags=None, rid=None)\n--\n\n"
        "Record an execution that commits to the data it read and wrote.\n\n"
        "Args:\n"
        "    workload_id: Identifier for this unit of work (required)\n"
        "    payload: Work payload as a dictionary (default {})\n"
        "    inputs: Manifests or data shape hashes of the inputs, in the order read; dom and\n"
        "        data_shape_hash are their combined shape (one input: its shape hash)\n"
        "    output: Manifest or data shape hash of the output (cod, output_digest)\n"
        "    output_size: size of the output in bytes (default: the output manifest's length)\n"
        "    output_mime_type: media type of the output\n"
        "    method_shape: method shape hash (method_ref.method_shape_root)\n"
        "    sketch: Sketch of the inputs, or a sequence of Sketches to merge (default: the\n"
        "        chunk-level sketch of the input manifests)\n"
        "    trace_id: trace the work belongs to\n"
        "    parent_ids: receipt ids this one links to\n"
        "    prev_execution_rid: the execution this one follows\n"
        "    input_locator_refs, output_locator_ref: dicts with encrypted_data (bytes),\n"
        "        content_hash and encryption_scheme (str)\n"
        "    tags: accepted and discarded, as in record_work_py\n"
        "    rid: the receipt's id, drawn beforehand (default: a fresh version-4 id)\n\n"
        "Returns:\n"
        "    PyReceipt: the sealed execution receipt (it always passes verification)\n\n"
        "Raises:\n"
        "    ValueError: for a malformed hash, receipt id or locator"),
};

}  // namespace quillmere::python
