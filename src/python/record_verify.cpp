// record_work_py and verify_receipt_py of `_quillmere` and `receipts`, and the bodies the
// Client methods share with them.
#include "python/record_verify.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/jcs_text.h"
#include "engine/record.h"
#include "engine/verify.h"
#include "python/convert.h"
#include "python/modules.h"
#include "python/py_receipt.h"

namespace quillmere::python {

namespace {

// Scratch kept by a thread between calls is bounded by this; anything larger goes back to
// the system when the call ends.
constexpr size_t kKeptScratchBytes = size_t{64} << 10;

// A string for one call, taken from this thread's spare (so a run of calls allocates
// nothing) and given back at the end if it is small. While a call holds it the spare is
// empty: a call that re-enters (Python code runs mid-call, e.g. when json.dumps's result is
// released and its __del__ records other work) builds into a string of its own.
class CallScratch {
 public:
  CallScratch() noexcept : text_(std::move(spare())) { text_.clear(); }
  CallScratch(const CallScratch&) = delete;
  CallScratch& operator=(const CallScratch&) = delete;
  ~CallScratch() {
    std::string& kept = spare();
    if (text_.capacity() <= kKeptScratchBytes && text_.capacity() > kept.capacity()) {
      kept.swap(text_);
    }
  }
  std::string& text() noexcept { return text_; }

 private:
  static std::string& spare() noexcept {
    thread_local std::string kept;
    return kept;
  }
  std::string text_;
};

}  // namespace

PyObject* api_error_to_python(const ApiError& error) {
  switch (error.kind) {
    case ApiError::Kind::Serialization:
      return raise_value_error(ErrorFamily::ReceiptFormat, error.display());
    case ApiError::Kind::Hash:
      return raise_value_error(ErrorFamily::Hash, error.display());
    case ApiError::Kind::Validation:
      return raise_value_error(ErrorFamily::Validation, error.display());
  }
  return raise_value_error(error.display());
}

PyObject* record_work_call(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const kNames[] = {"workload_id", "payload",   "tags",
                                       "trace_id",    "parent_id", nullptr};
  PyObject* workload_arg = nullptr;
  PyObject* payload_arg = nullptr;
  PyObject* tags_arg = nullptr;
  PyObject* trace_arg = nullptr;
  PyObject* parent_arg = nullptr;
  // Plain positional calls skip the general parser; any other form goes through it,
  // so every argument error keeps the interpreter's own message.
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && positional >= 2 && positional <= 5) {
    PyObject** slots[] = {&workload_arg, &payload_arg, &tags_arg, &trace_arg, &parent_arg};
    for (Py_ssize_t i = 0; i < positional; ++i) *slots[i] = PyTuple_GET_ITEM(args, i);
  } else if (!parse_args(args, kwargs, format, kNames, &workload_arg, &payload_arg, &tags_arg,
                         &trace_arg, &parent_arg)) {
    return nullptr;
  }
  std::string_view workload_id;
  std::vector<std::string> tags;  // checked, then unused: no tag reaches the receipt
  std::optional<std::string_view> trace_id;
  std::optional<std::string_view> parent_id;
  if (!convert_str(workload_arg, "workload_id", workload_id) ||
      !check_dict(payload_arg, "payload") ||
      (!is_absent(tags_arg) && !convert_str_sequence(tags_arg, "tags", tags)) ||
      !convert_optional_str(trace_arg, "trace_id", trace_id) ||
      !convert_optional_str(parent_arg, "parent_id", parent_id)) {
    return nullptr;
  }
  // The payload reaches the receipt only through its canonical text, so json.dumps's
  // text is rewritten into that form directly.
  std::string_view dumped;
  PyRef dumped_owner = call_json_dumps(payload_arg, dumped);
  if (!dumped_owner) return nullptr;
  CallScratch payload_jcs;
  if (auto written = append_jcs_of_text(payload_jcs.text(), dumped); !written) {
    return raise_value_error(ErrorFamily::ReceiptFormat,
                             "Failed to parse payload JSON: " + written.error().display());
  }
  dumped_owner = PyRef();  // may run Python code, even a nested record_work
  auto receipt = record_work_jcs(workload_id, payload_jcs.text(),
                                 trace_id ? std::optional<std::string>(*trace_id) : std::nullopt,
                                 parent_id ? std::optional<std::string>(*parent_id) : std::nullopt);
  if (!receipt) return api_error_to_python(receipt.error());
  return wrap_receipt(std::move(*receipt));
}

PyObject* verify_receipt_call(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const kNames[] = {"receipt", nullptr};
  PyObject* receipt_arg = nullptr;
  if (!parse_args(args, kwargs, format, kNames, &receipt_arg)) return nullptr;
  const Receipt* receipt = convert_receipt(receipt_arg, "receipt");
  if (receipt == nullptr) return nullptr;
  auto verdict = verify_receipt(*receipt);
  if (!verdict) return api_error_to_python(verdict.error());
  return PyBool_FromLong(*verdict ? 1 : 0);
}

namespace {

constexpr const char* kRecordFormat = "OO|OOO:record_work_py";
constexpr const char* kVerifyFormat = "O:verify_receipt_py";

PyObject* record_work_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return record_work_call(args, kwargs, kRecordFormat);
}
PyObject* verify_receipt_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return verify_receipt_call(args, kwargs, kVerifyFormat);
}

#define QM_RECORD_SIGNATURE \
  "record_work_py(workload_id, payload, tags=None, trace_id=None, parent_id=None)\n--\n\n"
#define QM_RECORD_ARGS                                                \
  "Args:\n"                                                           \
  "    workload_id: Identifier for this unit of work (required)\n"    \
  "    payload: Work payload as a dictionary (required)\n"            \
  "    tags: Optional tags for categorization\n"                      \
  "    trace_id: Optional trace ID for grouping related work units\n" \
  "    parent_id: Optional parent receipt ID for DAG composition\n\n" \
  "Returns:\n"                                                        \
  "    PyReceipt: the sealed execution receipt\n\n"
#define QM_RECORD_EXAMPLE                                                           \
  "Example:\n"                                                                      \
  "    >>> import quillmere as qm\n"                                                \
  "    >>> receipt = qm.record_work(\"normalize-prices\", {\"input\": \"data\"})\n" \
  "    >>> receipt.get_kind()\n"                                                    \
  "    'Execution'"
#define QM_VERIFY_SIGNATURE "verify_receipt_py(receipt)\n--\n\n"
#define QM_VERIFY_ARGS                     \
  "Args:\n"                                \
  "    receipt: The receipt to verify\n\n" \
  "Returns:\n"                             \
  "    `True` if the receipt is valid, `False` if invalid.\n\n"
#define QM_VERIFY_EXAMPLE                                                           \
  "Example:\n"                                                                      \
  "    >>> import quillmere as qm\n"                                                \
  "    >>> receipt = qm.record_work(\"normalize-prices\", {\"input\": \"data\"})\n" \
  "    >>> qm.verify_receipt(receipt)\n"                                            \
  "    True"

}  // namespace

MethodTable<2> kTopLevelFunctions{
    method_def<record_work_py>("record_work_py", QM_RECORD_SIGNATURE
                               "Module-level function: Record a unit of work.\n\n"
                               "This is the direct API without creating a client; storage is not "
                               "required.\n\n" QM_RECORD_ARGS QM_RECORD_EXAMPLE),
    method_def<verify_receipt_py>("verify_receipt_py", QM_VERIFY_SIGNATURE
                                  "Module-level function: Verify receipt integrity.\n\n"
                                  "This is the direct API without creating a client; storage is "
                                  "not required.\n\n" QM_VERIFY_ARGS QM_VERIFY_EXAMPLE),
};

MethodTable<3> kReceiptsFunctions{
    method_def<receipt_from_json_py>("receipt_from_json_py", kReceiptFromJsonDoc),
    method_def<record_work_py>(
        "record_work_py", QM_RECORD_SIGNATURE
        "Record a unit of work and produce a verifiable receipt.\n\n" QM_RECORD_ARGS "Raises:\n"
        "    ValueError: If receipt creation fails\n\n" QM_RECORD_EXAMPLE),
    method_def<verify_receipt_py>(
        "verify_receipt_py", QM_VERIFY_SIGNATURE
        "Verify receipt integrity and hash correctness.\n\n"
        "Checks:\n"
        "    1. Hash integrity: receipt.hash == compute_hash(receipt)\n"
        "    2. Syntactic validation: receipt structure is well-formed\n\n" QM_VERIFY_ARGS
        "Raises:\n"
        "    ValueError: If verification fails due to error (not invalid "
        "receipt)\n\n" QM_VERIFY_EXAMPLE),
};

}  // namespace quillmere::python
