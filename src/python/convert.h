// Argument conversion, error raising and the entry guard shared by every binding.
//
// Conventions: a converter returns false with a Python exception set on failure.
// A wrong type raises TypeError "argument 'NAME': 'TYPE' object cannot be converted
// to 'KIND'"; a conversion failing with a TypeError of its own gets the same
// "argument 'NAME': " prefix; any other exception type passes through unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/json_value.h"
#include "python/pyref.h"

namespace quillmere::python {

// Expected kinds named in conversion TypeErrors.
inline constexpr const char* kKindBytes = "PyBytes";
inline constexpr const char* kKindDict = "PyDict";
inline constexpr const char* kKindString = "PyString";
inline constexpr const char* kKindSequence = "Sequence";
inline constexpr const char* kKindReceipt = "PyReceipt";

// An optional parameter left out (nullptr from argument parsing) or given as None.
inline bool is_absent(PyObject* obj) noexcept {
  return obj == nullptr || obj == Py_None;
}

// --- errors -------------------------------------------------------------------------------

// TypeError "argument 'ARG': 'TYPE' object cannot be converted to 'KIND'". Returns false.
bool raise_wrong_type(const char* arg, PyObject* obj, const char* expected_kind);
// If the pending exception is exactly a TypeError, prefixes its message with
// "argument 'ARG': ". Other exceptions are left as they are. Returns false.
bool prefix_argument_error(const char* arg);

// Raise an exception of `type` with a UTF-8 message (invalid bytes are replaced, so the
// raise itself cannot fail on odd text such as OS error strings). Return nullptr.
PyObject* raise_error(PyObject* type, std::string_view message);

// The families of failures of the system's own libraries, each with its exception class.
// Every class derives from quillmere.QuillmereError, itself a ValueError, so handlers written
// for ValueError keep catching them, with the same texts.
enum class ErrorFamily : uint8_t {
  General,        // QuillmereError itself
  ReceiptFormat,  // receipt and payload JSON: ReceiptFormatError
  Validation,     // rules a receipt or its fields break: ValidationError
  Hash,           // canonical hash and its checks: HashError
  Store,          // receipt stores and their databases: StoreError
  Manifest,       // manifests, their forms and builders: ManifestError
  Shape,          // chunk schemes, data and method shape hashes: ShapeError
  Economics,      // cost models and the reuse rule: EconomicsError
  Signature,      // keys and signatures: SignatureError
};
inline constexpr size_t kErrorFamilyCount = 9;
// The class of `family` (borrowed; created once per process on first use, never attached to a
// module by this call). Null with an exception set when creating it failed.
PyObject* error_type(ErrorFamily family);
// Raise the class of `family` with `message`. Return nullptr.
PyObject* raise_value_error(ErrorFamily family, std::string_view message);
inline PyObject* raise_value_error(std::string_view message) {
  return raise_value_error(ErrorFamily::General, message);
}
// Sets every error class as an attribute of `module` (not listed in its __all__, which names
// the binding surface); false with an exception set on failure.
bool add_error_types(PyObject* module);

// The exception type for unexpected internal faults: derived from BaseException so that
// `except Exception` does not swallow it. Created on first use, never attached to a module.
PyObject* panic_exception_type();
PyObject* raise_panic(std::string_view message);

// "TYPE: message" of the pending exception (cleared), for wrapping it into another text.
std::string take_pending_error_text();

// --- values -----------------------------------------------------------------------------

// A new str from UTF-8 text.
inline PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
// A new bytes object holding a copy of `bytes`.
inline PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}
inline PyObject* new_bytes(std::span<const uint8_t> bytes) {
  return new_bytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

namespace detail {
template <PyObject* (*kNew)(Py_ssize_t), int (*kSet)(PyObject*, Py_ssize_t, PyObject*), class Item>
PyObject* new_filled(size_t count, Item& item) {
  PyRef out = PyRef::steal(kNew(static_cast<Py_ssize_t>(count)));
  if (!out) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* value = item(i);
    if (value == nullptr || kSet(out.get(), static_cast<Py_ssize_t>(i), value) != 0) return nullptr;
  }
  return out.release();
}
}  // namespace detail

// A new list (or tuple) of `count` items, item(i) giving the i-th as a new reference;
// nullptr with an exception set when one cannot be made.
template <class Item>
PyObject* new_list(size_t count, Item&& item) {
  return detail::new_filled<PyList_New, PyList_SetItem>(count, item);
}
template <class Item>
PyObject* new_tuple(size_t count, Item&& item) {
  return detail::new_filled<PyTuple_New, PyTuple_SetItem>(count, item);
}

// --- converters -------------------------------------------------------------------------

// A str (or subclass). The view borrows the object's cached UTF-8 form and stays valid
// while `obj` is alive (argument objects are alive for the whole call).
bool convert_str(PyObject* obj, const char* arg, std::string_view& out);
bool convert_optional_str(PyObject* obj, const char* arg, std::optional<std::string_view>& out);
// A file name given as str, as the bytes the system calls take: encoded with the file
// system encoding and its error handler, so a name decoded with surrogateescape (any name
// the system accepts) comes back byte for byte. `holder` keeps the bytes alive.
bool convert_path_str(PyObject* obj, const char* arg, PyRef& holder, std::string_view& out);
bool convert_optional_path_str(PyObject* obj, const char* arg, PyRef& holder,
                               std::optional<std::string_view>& out);
// A file system path given as str, bytes or os.PathLike, as the bytes the system calls
// take; `holder` keeps them alive.
bool convert_path(PyObject* obj, const char* arg, PyRef& holder, std::string_view& out);
// A bytes object or subclass (bytearray and str are refused); borrows the buffer.
bool convert_bytes(PyObject* obj, const char* arg, std::span<const uint8_t>& out);
// A dict or subclass.
bool check_dict(PyObject* obj, const char* arg);
// None / absent gives out = nullptr; otherwise a dict or subclass.
bool check_optional_dict(PyObject* obj, const char* arg, PyObject*& out);
// Anything passing the sequence check whose items are all str; a str itself is refused.
bool convert_str_sequence(PyObject* obj, const char* arg, std::vector<std::string>& out);
// An int or anything with __index__, 0..2^64-1. Negative or too large gives Python's
// OverflowError unchanged; a non-integer gives the prefixed TypeError.
bool convert_u64(PyObject* obj, const char* arg, uint64_t& out);
bool convert_optional_u64(PyObject* obj, const char* arg, std::optional<uint64_t>& out);
// Anything the interpreter converts to float (float, int, bool, __float__, __index__).
bool convert_f64(PyObject* obj, const char* arg, double& out);

// --- dict lookups and lenient readers ---------------------------------------------------
//
// The cost model and chunk scheme dicts are read leniently: a value of the wrong kind is
// "missing", not a TypeError. Every value read from a dict is held by an owned reference,
// because the readers run Python code (__float__, __index__, a key's __eq__) that may remove
// it from the dict, or drop the dict itself, while it is being used.

// dict[key] without calling a subclass's __getitem__, as an owned reference. Empty with no
// error set when the key is absent; empty with the lookup's own exception set (e.g. raised
// by a stored key's __eq__) when the lookup failed.
PyRef dict_item(PyObject* dict, const char* key);
// A str value as UTF-8; false (no error left set) for anything else, absent included.
bool lenient_text(PyObject* value, std::string& out);
// An int (bool and __index__ objects included) in 0..2^64-1; false (no error left set) for
// anything else, absent included.
bool lenient_u64(PyObject* value, uint64_t& out);
// The float conversion of `value` (float, int, bool, __float__, __index__); nullopt (no
// error left set) when it fails or `value` is absent.
std::optional<double> lenient_f64(PyObject* value);

// json.dumps(obj) looked up at call time (its exceptions pass through unchanged); the
// returned str owns `text`, its UTF-8 form. Null with an exception set on failure.
PyRef call_json_dumps(PyObject* obj, std::string_view& text);
// json.dumps(obj) looked up at call time (its exceptions pass through unchanged), then the
// text parsed into a JsonValue. A parse failure raises the class of `family` (a ValueError)
// with `parse_error_prefix` + the parser's message (description with line and column).
std::optional<JsonValue> dumps_to_json(PyObject* obj, std::string_view parse_error_prefix,
                                       ErrorFamily family = ErrorFamily::General);

// --- argument parsing -------------------------------------------------------------------

// Python's own argument parsing for "O" formats, e.g. parse_args(args, kwargs,
// "O|OO:record_work_py", kNames, &a, &b, &c) with kNames a null-terminated name array.
// Gives the interpreter's messages for missing, duplicate and unexpected arguments.
template <class... Out>
bool parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                Out... out) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}

// --- entry guard ------------------------------------------------------------------------

// Runs a binding body: bad_alloc becomes MemoryError, any other C++ exception the panic
// exception; a null result without an exception set becomes SystemError.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return nullptr;
}

using KeywordsImpl = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
using NoArgsImpl = PyObject* (*)(PyObject* self);

template <KeywordsImpl Impl>
PyObject* keywords_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Impl(self, args, kwargs); });
}
template <NoArgsImpl Impl>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return Impl(self); });
}

// Entry points whose bodies run inside the guard; method_def and static_method_def below
// pair them with their flags.
template <KeywordsImpl Impl>
PyCFunction keywords_method() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&keywords_entry<Impl>));
}
template <NoArgsImpl Impl>
PyCFunction noargs_method() noexcept {
  return &noargs_entry<Impl>;
}

// The PyMethodDef entry of `impl`, its calling convention taken from its type:
//   method_def<impl>("name", doc)
template <KeywordsImpl Impl>
PyMethodDef method_def(const char* name, const char* doc) noexcept {
  return {name, keywords_method<Impl>(), METH_VARARGS | METH_KEYWORDS, doc};
}
template <NoArgsImpl Impl>
PyMethodDef method_def(const char* name, const char* doc) noexcept {
  return {name, noargs_method<Impl>(), METH_NOARGS, doc};
}

// The same for a static method (called without an instance: `self` is null).
template <KeywordsImpl Impl>
PyMethodDef static_method_def(const char* name, const char* doc) noexcept {
  return {name, keywords_method<Impl>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC, doc};
}
template <NoArgsImpl Impl>
PyMethodDef static_method_def(const char* name, const char* doc) noexcept {
  return {name, noargs_method<Impl>(), METH_NOARGS | METH_STATIC, doc};
}

// The PyGetSetDef entry of a read-only attribute.
constexpr PyGetSetDef getter_def(const char* name, getter get, const char* doc) noexcept {
  return {name, get, nullptr, doc, nullptr};
}

// A table of PyMethodDef or PyGetSetDef entries as Python reads it: the entries in order,
// then the zeroed entry that ends it, which the table appends itself (Python reads a table
// without one past its end). It converts to the pointer that type slots and add_functions
// take. The entry type and count are deduced:
//   DefTable kMethods{method_def<a>("a", doc), method_def<b>("b", doc)};
// A table declared in a header names them: MethodTable<2>.
template <class Def, size_t N>
class DefTable {
 public:
  template <std::same_as<Def>... Entries>
    requires(sizeof...(Entries) == N)
  constexpr DefTable(Entries... entries) noexcept : entries_{entries..., Def{}} {}

  constexpr operator Def*() noexcept { return entries_.data(); }

 private:
  std::array<Def, N + 1> entries_;
};
template <class Def, class... More>
DefTable(Def, More...) -> DefTable<Def, 1 + sizeof...(More)>;

template <size_t N>
using MethodTable = DefTable<PyMethodDef, N>;

}  // namespace quillmere::python
