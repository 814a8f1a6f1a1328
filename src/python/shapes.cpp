// The `shapes` module: data shape hashes of bytes and files, method shape hashes from a
// code hash or a signature.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/convert.h"
#include "python/functions.h"
#include "python/manifest.h"
#include "python/released_lock.h"
#include "shapes/data_shape.h"
#include "shapes/method_shape.h"

namespace quillmere::python {
namespace {

constexpr std::string_view kDataShapePrefix = "Failed to compute data shape hash: ";
constexpr std::string_view kMethodShapePrefix = "Failed to compute method shape hash: ";

PyObject* data_shape_result(const std::expected<std::string, ShapeError>& hash,
                            const SignalCheck* signals = nullptr) {
  if (!hash && hash.error().kind == ShapeError::Kind::Interrupted) {
    // The signal handler's exception is set, or a token was cancelled; stop with it.
    if (signals != nullptr) return signals->raise_stopped();
    if (PyErr_Occurred()) return nullptr;
    return raise_error(PyExc_KeyboardInterrupt, "");
  }
  if (!hash)
    return raise_value_error(ErrorFamily::Shape,
                             std::string(kDataShapePrefix) + hash.error().display());
  return new_str(*hash);
}

PyObject* method_shape_result(const std::expected<std::string, MethodShapeError>& hash) {
  if (!hash)
    return raise_value_error(ErrorFamily::Shape,
                             std::string(kMethodShapePrefix) + hash.error().display());
  return new_str(*hash);
}

PyObject* from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", "chunk_scheme", nullptr};
  PyObject* data_arg = nullptr;
  PyObject* scheme_arg = nullptr;
  if (!parse_args(args, kwargs, "O|O:compute_data_shape_hash_from_bytes_py", kNames, &data_arg,
                  &scheme_arg)) {
    return nullptr;
  }
  std::span<const uint8_t> data;
  std::optional<ChunkScheme> scheme;
  if (!convert_bytes(data_arg, "data", data) || !convert_chunk_scheme(scheme_arg, scheme)) {
    return nullptr;
  }
  // `data` is an immutable bytes object the arguments keep alive.
  return data_shape_result(without_gil_if(data.size() > kReleaseLockAbove, [&] {
    return compute_data_shape_hash_from_bytes(data, scheme);
  }));
}

PyObject* from_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"path", "chunk_scheme", nullptr};
  PyObject* path_arg = nullptr;
  PyObject* scheme_arg = nullptr;
  if (!parse_args(args, kwargs, "O|O:compute_data_shape_hash_from_file_py", kNames, &path_arg,
                  &scheme_arg)) {
    return nullptr;
  }
  PyRef path_bytes;
  std::string_view path;
  std::optional<ChunkScheme> scheme;
  if (!convert_path_str(path_arg, "path", path_bytes, path) ||
      !convert_chunk_scheme(scheme_arg, scheme)) {
    return nullptr;
  }
  SignalCheck signals;
  const auto hash = interruptible(signals, [&](const Interruption& interrupt) {
    return compute_data_shape_hash_from_file(path, scheme, kFileBlockSize, interrupt);
  });
  return data_shape_result(hash, &signals);
}

PyObject* from_code(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"code_hash", "params", nullptr};
  PyObject* code_arg = nullptr;
  PyObject* params_arg = nullptr;
  if (!parse_args(args, kwargs, "O|O:compute_method_shape_hash_from_code_py", kNames, &code_arg,
                  &params_arg)) {
    return nullptr;
  }
  std::string_view code_hash;
  PyObject* params_dict = nullptr;
  if (!convert_str(code_arg, "code_hash", code_hash) ||
      !check_optional_dict(params_arg, "params", params_dict)) {
    return nullptr;
  }
  std::optional<JsonValue> params;
  if (params_dict != nullptr) {
    params = dumps_to_json(params_dict, "Failed to parse params JSON: ", ErrorFamily::Shape);
    if (!params) return nullptr;
  }
  return method_shape_result(compute_method_shape_hash_from_code(code_hash, params));
}

PyObject* from_signature(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"function_name", "input_types", "output_type", nullptr};
  PyObject* name_arg = nullptr;
  PyObject* types_arg = nullptr;
  PyObject* output_arg = nullptr;
  if (!parse_args(args, kwargs, "OOO:compute_method_shape_hash_from_signature_py", kNames,
                  &name_arg, &types_arg, &output_arg)) {
    return nullptr;
  }
  std::string_view function_name;
  std::vector<std::string> input_types;
  std::string_view output_type;
  if (!convert_str(name_arg, "function_name", function_name) ||
      !convert_str_sequence(types_arg, "input_types", input_types) ||
      !convert_str(output_arg, "output_type", output_type)) {
    return nullptr;
  }
  return method_shape_result(
      compute_method_shape_hash_from_signature(function_name, input_types, output_type));
}

#define QM_RETURNS_SHAPE(what) \
  "Returns:\n"                 \
  "    " what " shape hash in format `sha256:<64hex>`\n"

constexpr const char* kFromFileDoc =
    "compute_data_shape_hash_from_file_py(path, chunk_scheme=None)\n"
    "--\n"
    "\n"
    "Compute data shape hash from a file.\n"
    "\n"
    "Reads the file, chunks it, builds a manifest, and computes the data shape hash.\n"
    "\n"
    "Args:\n"
    "    path: Path to the file (str or PathLike)\n" QM_SCHEME_ARG
    "\n" QM_RETURNS_SHAPE("Data")
    "\n"
    "Raises:\n"
    "    ValueError: If file cannot be read or shape computation fails";

constexpr const char* kFromBytesDoc =
    "compute_data_shape_hash_from_bytes_py(data, chunk_scheme=None)\n"
    "--\n"
    "\n"
    "Compute data shape hash from bytes.\n"
    "\n"
    "Chunks the bytes, builds a manifest, and computes the data shape hash.\n"
    "\n"
    "Args:\n"
    "    data: Input data bytes (bytes or bytearray)\n" QM_SCHEME_ARG
    "\n" QM_RETURNS_SHAPE("Data")
    "\n"
    "Raises:\n"
    "    ValueError: If manifest building or shape computation fails";

constexpr const char* kFromCodeDoc =
    "compute_method_shape_hash_from_code_py(code_hash, params=None)\n"
    "--\n"
    "\n"
    "Compute method shape hash from code hash and parameters.\n"
    "\n"
    "Creates a method shape hash from a code hash (e.g., SHA-256 of the method\n"
    "implementation) and optional parameters. The hash represents the method's\n"
    "computational contract.\n"
    "\n"
    "Args:\n"
    "    code_hash: SHA-256 hash of the method code (format: \"sha256:<64hex>\" or just hex)\n"
    "    params: Optional parameters as dict (will be serialized to JSON)\n"
    "\n" QM_RETURNS_SHAPE("Method")
    "\n"
    "Raises:\n"
    "    ValueError: If serialization fails or hash format is invalid";

constexpr const char* kFromSignatureDoc =
    "compute_method_shape_hash_from_signature_py(function_name, input_types, output_type)\n"
    "--\n"
    "\n"
    "Compute method shape hash from function signature.\n"
    "\n"
    "Creates a method shape hash from a function signature, including function\n"
    "name, input types, and output type. This is useful for statically-typed\n"
    "methods where the signature uniquely identifies the method contract.\n"
    "\n"
    "Args:\n"
    "    function_name: Name of the function/method\n"
    "    input_types: List of input type names\n"
    "    output_type: Output type name\n"
    "\n" QM_RETURNS_SHAPE("Method")
    "\n"
    "Raises:\n"
    "    ValueError: If serialization fails or function name is empty";

}  // namespace

MethodTable<4> kShapesFunctions{
    method_def<from_file>("compute_data_shape_hash_from_file_py", kFromFileDoc),
    method_def<from_bytes>("compute_data_shape_hash_from_bytes_py", kFromBytesDoc),
    method_def<from_code>("compute_method_shape_hash_from_code_py", kFromCodeDoc),
    method_def<from_signature>("compute_method_shape_hash_from_signature_py", kFromSignatureDoc),
};

}  // namespace quillmere::python
