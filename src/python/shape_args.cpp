// Arguments the shape bindings share: chunk scheme, workers, records, and build errors.
#include "python/shape_args.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "python/convert.h"
#include "python/released_lock.h"

namespace quillmere::python {
namespace {

// More threads than this would only wait on each other.
constexpr long kMaxWorkers = 64;

// The scheme a chunk_scheme dict describes; false with ValueError (or a lookup's own
// exception) set. Values are held by owned references while their hooks run.
bool dict_to_chunk_scheme(PyObject* dict, ChunkScheme& out) {
  const PyRef scheme = PyRef::borrow(dict);
  const PyRef type_value = dict_item(scheme.get(), "type");
  if (!type_value && PyErr_Occurred()) return false;
  std::string type;
  if (!lenient_text(type_value.get(), type)) {
    raise_value_error(ErrorFamily::Shape, "Missing 'type' field in chunk_scheme");
    return false;
  }
  const bool fixed = type == "fixed";
  if (!fixed && type != "cdc") {
    raise_value_error(ErrorFamily::Shape,
                      "Invalid chunk_scheme type '" + type + "', expected 'cdc' or 'fixed'");
    return false;
  }
  const char* size_key = fixed ? "size" : "avg_size";
  const PyRef size_obj = dict_item(scheme.get(), size_key);
  if (!size_obj && PyErr_Occurred()) return false;
  uint64_t size = 0;
  if (!lenient_u64(size_obj.get(), size)) {
    raise_value_error(ErrorFamily::Shape,
                      std::string("Missing '") + size_key + "' field in chunk_scheme");
    return false;
  }
  out = fixed ? ChunkScheme::fixed(size) : ChunkScheme::cdc(size);
  return true;
}

}  // namespace

bool convert_chunk_scheme(PyObject* obj, std::optional<ChunkScheme>& out) {
  PyObject* dict = nullptr;
  if (!check_optional_dict(obj, "chunk_scheme", dict)) return false;
  out.reset();
  if (dict == nullptr) return true;
  ChunkScheme scheme;
  if (!dict_to_chunk_scheme(dict, scheme)) return false;
  out = scheme;
  return true;
}

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

bool convert_record_mode(PyObject* obj, RecordMode& out) {
  if (is_absent(obj)) {
    out = RecordMode::Chunks;
    return true;
  }
  std::string_view text;
  if (!convert_str(obj, "records", text)) return false;
  if (text == "lines") {
    out = RecordMode::Lines;
  } else if (text == "csv") {
    out = RecordMode::Csv;
  } else {
    raise_value_error(ErrorFamily::Shape, "records must be None, \"lines\" or \"csv\", not \"" +
                                              std::string(text.substr(0, 40)) + "\"");
    return false;
  }
  return true;
}

PyObject* build_error(const BuildError& error, const SignalCheck& signals) {
  if (error.kind == BuildError::Kind::Interrupted) return signals.raise_stopped();
  return raise_value_error(ErrorFamily::Manifest, error.message);
}

}  // namespace quillmere::python
