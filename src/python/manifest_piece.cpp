// Manifest pieces in the `shapes` module: the piece of a byte range of a file, the join of
// pieces into the one-pass manifest, and a Manifest from the binary form. Pieces cross
// process boundaries as bytes, never as native objects.
#include "shapes/manifest_piece.h"

#include <optional>
#include <string>
#include <vector>

#include "python/convert.h"
#include "python/manifest.h"
#include "python/released_lock.h"
#include "shapes/data_shape.h"

namespace quillmere::python {
namespace {

// One bytes-like piece, read while the buffer is held.
std::optional<ManifestPiece> read_piece(PyObject* obj, const char* what) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    raise_error(PyExc_TypeError,
                std::string(what) + " must be a bytes-like object, not " + Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  auto piece =
      piece_from_bytes({static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)});
  PyBuffer_Release(&view);
  if (!piece) {
    raise_value_error(ErrorFamily::Manifest,
                      std::string("Invalid manifest piece: ") + what + ": " + piece.error());
    return std::nullopt;
  }
  return std::move(*piece);
}

PyObject* build_manifest_piece_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"path", "offset", "length", "chunk_scheme", nullptr};
  PyObject* path_arg = nullptr;
  PyObject* offset_arg = nullptr;
  PyObject* length_arg = nullptr;
  PyObject* scheme_arg = nullptr;
  if (!parse_args(args, kwargs, "OO|OO:build_manifest_piece_py", kNames, &path_arg, &offset_arg,
                  &length_arg, &scheme_arg)) {
    return nullptr;
  }
  PyRef path_bytes;
  std::string_view path;
  uint64_t offset = 0;
  std::optional<uint64_t> length;
  std::optional<ChunkScheme> scheme;
  if (!convert_path(path_arg, "path", path_bytes, path) ||
      !convert_u64(offset_arg, "offset", offset) ||
      !convert_optional_u64(length_arg, "length", length) ||
      !convert_chunk_scheme(scheme_arg, scheme)) {
    return nullptr;
  }
  SignalCheck signals;
  auto built = interruptible(signals, [&](const Interruption& interrupt) {
    return build_piece_from_file(path, scheme.value_or(kDefaultChunkScheme), offset, length,
                                 interrupt);
  });
  if (!built) return build_error(built.error(), signals);
  return new_bytes(piece_to_bytes(*built));
}

PyObject* join_manifest_pieces_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"path", "pieces", nullptr};
  PyObject* path_arg = nullptr;
  PyObject* pieces_arg = nullptr;
  if (!parse_args(args, kwargs, "OO:join_manifest_pieces_py", kNames, &path_arg, &pieces_arg)) {
    return nullptr;
  }
  PyRef path_bytes;
  std::string_view path;
  if (!convert_path(path_arg, "path", path_bytes, path)) return nullptr;
  PyRef items = PyRef::steal(PySequence_Fast(pieces_arg, "pieces must be a sequence of bytes"));
  if (!items) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  std::vector<ManifestPiece> pieces;
  pieces.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::string what = "pieces[" + std::to_string(i) + "]";
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    auto piece = read_piece(item.get(), what.c_str());
    if (!piece) return nullptr;
    pieces.push_back(std::move(*piece));
  }
  SignalCheck signals;
  auto joined = interruptible(
      signals, [&](const Interruption& interrupt) -> std::expected<std::string, ShapeError> {
        auto manifest = join_pieces_from_file(path, pieces, interrupt);
        pieces.clear();
        if (!manifest) return std::unexpected(std::move(manifest.error()));
        return piece_to_bytes(piece_of_manifest(*manifest));
      });
  if (!joined) return build_error(joined.error(), signals);
  return new_bytes(*joined);
}

PyObject* manifest_from_piece_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"data", nullptr};
  PyObject* data_arg = nullptr;
  if (!parse_args(args, kwargs, "O:manifest_from_piece_py", kNames, &data_arg)) return nullptr;
  auto piece = read_piece(data_arg, "data");
  if (!piece) return nullptr;
  auto manifest = manifest_of_piece(std::move(*piece));
  if (!manifest)
    return raise_value_error(ErrorFamily::Manifest,
                             "Invalid manifest piece: data: " + manifest.error());
  return wrap_manifest(std::move(*manifest));
}

constexpr const char* kBuildPieceDoc =
    "build_manifest_piece_py(path, offset, length=None, chunk_scheme=None)\n"
    "--\n"
    "\n"
    "The manifest piece of bytes [offset, offset + length) of a file (to its end without\n"
    "a length), chunked as if a chunk started at `offset`, in its compact binary form.\n"
    "Pieces of consecutive ranges are joined by join_manifest_pieces_py.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the file cannot be read or the scheme has a size of 0";

constexpr const char* kJoinPiecesDoc =
    "join_manifest_pieces_py(path, pieces)\n"
    "--\n"
    "\n"
    "Join the pieces of a file (consecutive ranges from offset 0, the last reaching the\n"
    "end of the file) into the manifest one pass over the file gives, re-reading only the\n"
    "bytes around each seam. Returns the whole manifest in the binary form (a piece at\n"
    "offset 0 that ends the stream); manifest_from_piece_py makes it a Manifest. Under a\n"
    "fixed scheme, ranges that start on multiples of the size join without re-reading.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If a piece is malformed, the pieces do not fit together, or the\n"
    "        file cannot be read";

constexpr const char* kFromPieceDoc =
    "manifest_from_piece_py(data)\n"
    "--\n"
    "\n"
    "The Manifest of a whole stream in the binary form (join_manifest_pieces_py's result,\n"
    "or the piece of a whole file); the root is computed from the chunk digests.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the data is not a well-formed piece covering a whole stream";

}  // namespace

MethodTable<3> kManifestPieceFunctions{
    method_def<build_manifest_piece_py>("build_manifest_piece_py", kBuildPieceDoc),
    method_def<join_manifest_pieces_py>("join_manifest_pieces_py", kJoinPiecesDoc),
    method_def<manifest_from_piece_py>("manifest_from_piece_py", kFromPieceDoc),
};

}  // namespace quillmere::python
