// Argument converters, error raising and the panic exception of the binding layer.
#include "python/convert.h"

#include <algorithm>
#include <string>

#include "codec/json_reader.h"

namespace quillmere::python {
namespace {

// The type's __name__: built-in types carry their module in tp_name ("receipts.PyReceipt"),
// which the conversion messages leave out.
std::string type_name(PyObject* obj) {
  std::string_view name = Py_TYPE(obj)->tp_name;
  size_t dot = name.rfind('.');
  return std::string(dot == std::string_view::npos ? name : name.substr(dot + 1));
}

// str(obj) as UTF-8, or a placeholder when even that fails (never leaves an error set).
std::string safe_str(PyObject* obj) {
  if (obj == nullptr) return {};
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<size_t>(size));
  }
  PyErr_Clear();
  return "<unprintable " + type_name(obj) + " object>";
}

// Interned names, created once and kept for the life of the process.
PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

}  // namespace

bool raise_wrong_type(const char* arg, PyObject* obj, const char* expected_kind) {
  std::string message = "argument '";
  message += arg;
  message += "': '";
  message += type_name(obj);
  message += "' object cannot be converted to '";
  message += expected_kind;
  message += "'";
  raise_error(PyExc_TypeError, message);
  return false;
}

bool prefix_argument_error(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type = PyRef::steal(type);
  PyRef original = PyRef::steal(value);
  PyRef original_traceback = PyRef::steal(traceback);
  std::string message = "argument '";
  message += arg;
  message += "': ";
  message += safe_str(original.get());
  raise_error(PyExc_TypeError, message);
  if (original) {
    // Keep the original error reachable as the cause, as `raise ... from` would.
    PyObject* new_type = nullptr;
    PyObject* new_value = nullptr;
    PyObject* new_traceback = nullptr;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    if (new_value != nullptr) PyException_SetCause(new_value, original.release());
    PyErr_Restore(new_type, new_value, new_traceback);
  }
  return false;
}

PyObject* raise_error(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

namespace {

struct ErrorClass {
  const char* name;  // the package quillmere exports each class under this name
  const char* doc;
};

// In ErrorFamily's order; General is the base of the others.
constexpr ErrorClass kErrorClasses[kErrorFamilyCount] = {
    {"QuillmereError",
     "Base of the errors of quillmere's own libraries. A ValueError, so handlers written for\n"
     "ValueError keep working; the message texts are those documented for each operation."},
    {"ReceiptFormatError",
     "A receipt or payload that is not well-formed JSON of a receipt, or cannot be written as\n"
     "JSON (\"Failed to create receipt from JSON: ...\", \"SerializationError: ...\")."},
    {"ValidationError",
     "A receipt or a value that breaks a validation rule (\"Receipt validation failed: ...\",\n"
     "\"ValidationError: ...\")."},
    {"HashError",
     "The canonical hash could not be computed or does not match (\"Hash computation "
     "failed: ...\",\n\"HashError: ...\")."},
    {"StoreError",
     "A receipt store or its database failed or is not configured (\"Failed to store "
     "receipt: ...\",\n\"Failed to query receipts: ...\", \"Invalid storage_url: ...\")."},
    {"ManifestError",
     "A manifest could not be built, read or checked (\"Invalid manifest JSON: ...\")."},
    {"ShapeError",
     "A chunk scheme, data shape hash or method shape hash failed (\"Failed to compute data\n"
     "shape hash: ...\", \"Invalid chunk_scheme type ...\")."},
    {"EconomicsError",
     "A cost model or reuse input the economics cannot use (\"Missing required field: ...\")."},
    {"SignatureError", "A key or signature that cannot be loaded, made or checked."},
};

}  // namespace

PyObject* error_type(ErrorFamily family) {
  static PyObject* types[kErrorFamilyCount] = {};
  const auto index = static_cast<size_t>(family);
  if (types[index] == nullptr) {
    PyObject* base = PyExc_ValueError;
    if (family != ErrorFamily::General) {
      base = error_type(ErrorFamily::General);
      if (base == nullptr) return nullptr;
    }
    // Created under the interpreter lock, once; kept for the process's life.
    const std::string qualified = std::string("quillmere.") + kErrorClasses[index].name;
    types[index] =
        PyErr_NewExceptionWithDoc(qualified.c_str(), kErrorClasses[index].doc, base, nullptr);
  }
  return types[index];
}

PyObject* raise_value_error(ErrorFamily family, std::string_view message) {
  PyObject* type = error_type(family);
  if (type == nullptr) return nullptr;  // creating the class failed; that error stays set
  return raise_error(type, message);
}

bool add_error_types(PyObject* module) {
  for (size_t i = 0; i < kErrorFamilyCount; ++i) {
    PyObject* type = error_type(static_cast<ErrorFamily>(i));
    if (type == nullptr) return false;
    if (PyObject_SetAttrString(module, kErrorClasses[i].name, type) < 0) return false;
  }
  return true;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_quillmere.InternalFault",
        "An unexpected internal fault of the native extension. Derived from BaseException so\n"
        "that it is not caught by handlers meant for ordinary errors.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // creating the type failed; that error stays set
  return raise_error(type, message);
}

std::string take_pending_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "no error set";
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  std::string name = PyType_Check(type) ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?";
  if (auto dot = name.rfind('.'); dot != std::string::npos) name.erase(0, dot + 1);
  return name + ": " + safe_str(owned_value.get());
}

bool convert_str(PyObject* obj, const char* arg, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return raise_wrong_type(arg, obj, kKindString);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return prefix_argument_error(arg);  // e.g. lone surrogates
  out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

bool convert_optional_str(PyObject* obj, const char* arg, std::optional<std::string_view>& out) {
  if (is_absent(obj)) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert_str(obj, arg, text)) return false;
  out = text;
  return true;
}

bool convert_path_str(PyObject* obj, const char* arg, PyRef& holder, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return raise_wrong_type(arg, obj, kKindString);
  holder = PyRef::steal(PyUnicode_EncodeFSDefault(obj));
  if (!holder) return prefix_argument_error(arg);
  out = std::string_view(PyBytes_AS_STRING(holder.get()),
                         static_cast<size_t>(PyBytes_GET_SIZE(holder.get())));
  return true;
}

bool convert_optional_path_str(PyObject* obj, const char* arg, PyRef& holder,
                               std::optional<std::string_view>& out) {
  out.reset();
  if (is_absent(obj)) return true;
  std::string_view text;
  if (!convert_path_str(obj, arg, holder, text)) return false;
  out = text;
  return true;
}

bool convert_path(PyObject* obj, const char* arg, PyRef& holder, std::string_view& out) {
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(obj, &converted) == 0) return prefix_argument_error(arg);
  holder = PyRef::steal(converted);
  out = std::string_view(PyBytes_AS_STRING(converted),
                         static_cast<size_t>(PyBytes_GET_SIZE(converted)));
  return true;
}

bool convert_bytes(PyObject* obj, const char* arg, std::span<const uint8_t>& out) {
  if (!PyBytes_Check(obj)) return raise_wrong_type(arg, obj, kKindBytes);
  out = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)),
                                 static_cast<size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

bool check_dict(PyObject* obj, const char* arg) {
  if (!PyDict_Check(obj)) return raise_wrong_type(arg, obj, kKindDict);
  return true;
}

bool check_optional_dict(PyObject* obj, const char* arg, PyObject*& out) {
  out = nullptr;
  if (is_absent(obj)) return true;
  if (!check_dict(obj, arg)) return false;
  out = obj;
  return true;
}

bool convert_str_sequence(PyObject* obj, const char* arg, std::vector<std::string>& out) {
  // A str is a sequence of one-character strings; taking it as a list of texts would
  // silently split it, so it is refused.
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    return raise_wrong_type(arg, obj, kKindSequence);
  }
  Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return prefix_argument_error(arg);
  out.clear();
  out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 4096)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_argument_error(arg);
    std::string_view text;
    if (!convert_str(item.get(), arg, text)) return false;
    out.emplace_back(text);
  }
  return true;
}

bool convert_u64(PyObject* obj, const char* arg, uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return prefix_argument_error(arg);
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return prefix_argument_error(arg);  // OverflowError passes through unchanged
  }
  out = static_cast<uint64_t>(value);
  return true;
}

bool convert_optional_u64(PyObject* obj, const char* arg, std::optional<uint64_t>& out) {
  if (is_absent(obj)) {
    out.reset();
    return true;
  }
  uint64_t value = 0;
  if (!convert_u64(obj, arg, value)) return false;
  out = value;
  return true;
}

bool convert_f64(PyObject* obj, const char* arg, double& out) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return prefix_argument_error(arg);
  out = value;
  return true;
}

PyRef dict_item(PyObject* dict, const char* key) {
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  if (!name) return PyRef();
  // Borrowed from the dict only until the increment: nothing runs in between.
  return PyRef::borrow(PyDict_GetItemWithError(dict, name.get()));
}

bool lenient_text(PyObject* value, std::string& out) {
  if (value == nullptr || !PyUnicode_Check(value)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // e.g. lone surrogates
    return false;
  }
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool lenient_u64(PyObject* value, uint64_t& out) {
  if (value == nullptr) return false;
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (index) {
    const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
    if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = n;
      return true;
    }
  }
  PyErr_Clear();
  return false;
}

std::optional<double> lenient_f64(PyObject* value) {
  if (value == nullptr) return std::nullopt;
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return d;
}

PyRef call_json_dumps(PyObject* obj, std::string_view& text) {
  static PyObject* json_name = nullptr;
  static PyObject* dumps_name = nullptr;
  if (interned(json_name, "json") == nullptr || interned(dumps_name, "dumps") == nullptr) {
    return PyRef();
  }
  // `import json` semantics: the module in sys.modules if present, else a real import.
  PyRef json = PyRef::steal(PyImport_GetModule(json_name));
  if (!json || json.get() == Py_None) {  // None in sys.modules blocks the import: let it say so
    if (PyErr_Occurred()) return PyRef();
    json = PyRef::steal(PyImport_Import(json_name));
    if (!json) return PyRef();
  }
  // Looked up on every call, so a replaced json.dumps is the one used.
  PyRef dumps = PyRef::steal(PyObject_GetAttr(json.get(), dumps_name));
  if (!dumps) return PyRef();
  PyRef result = PyRef::steal(PyObject_CallOneArg(dumps.get(), obj));
  if (!result) return PyRef();
  if (!PyUnicode_Check(result.get())) {
    raise_error(PyExc_TypeError, "json.dumps returned a '" + type_name(result.get()) +
                                     "' object instead of a 'str'");
    return PyRef();
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(result.get(), &size);
  if (utf8 == nullptr) return PyRef();
  text = std::string_view(utf8, static_cast<size_t>(size));
  return result;
}

std::optional<JsonValue> dumps_to_json(PyObject* obj, std::string_view parse_error_prefix,
                                       ErrorFamily family) {
  std::string_view text;
  PyRef owner = call_json_dumps(obj, text);
  if (!owner) return std::nullopt;
  auto parsed = parse_json(text);
  if (!parsed) {
    std::string message(parse_error_prefix);
    message += parsed.error().display();
    raise_value_error(family, message);
    return std::nullopt;
  }
  return std::move(*parsed);
}

}  // namespace quillmere::python
