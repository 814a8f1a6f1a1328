// Recording an execution that commits to its data: the shapes, roots and stored manifest
// forms of its inputs, the shape and digest of its output, the method shape, and a sketch
// of the inputs.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/api_error.h"
#include "engine/record.h"
#include "receipts/receipt.h"
#include "shapes/manifest.h"

namespace quillmere {

// One input or the output of an execution: its data shape hash, and its manifest when the
// caller has it (a shape hash alone carries no root and no stored form).
struct DataRef {
  std::string shape_hash;
  const CompactManifest* manifest = nullptr;  // borrowed for the call
};

// The parts of a sketch that a receipt carries.
struct SketchSummary {
  ByteSeq signature;     // the densified MinHash signature in its stored byte form
  uint64_t cardinality;  // HyperLogLog estimate; at least 1
};

// What the caller says of the output of an execution. Each part stands on its own: the
// size, media type or locator of an output may be known without its shape.
struct ExecutionOutput {
  std::optional<DataRef> data;
  std::optional<uint64_t> size;  // default: the length of data's manifest
  std::optional<std::string> mime_type;
  std::optional<EncryptedLocatorRef> locator_ref;
};

struct ExecutionRecord {
  std::string_view workload_id;
  std::string_view payload_jcs;  // canonical JSON text of the payload
  std::vector<DataRef> inputs;   // in the order the work reads them
  std::vector<EncryptedLocatorRef> input_locator_refs;
  ExecutionOutput output;
  std::optional<std::string> method_shape;  // default: the workload's method commitment
  std::optional<SketchSummary> sketch;      // of the inputs taken together
  std::optional<std::string> trace_id;
  std::vector<Uuid> links;
  std::optional<Uuid> prev_execution_rid;
  // The receipt's id, when the caller drew it beforehand (a step hands its id to the work
  // recorded inside it before the step is sealed); a fresh version-4 id otherwise.
  std::optional<Uuid> rid;
};

// The shape of several inputs taken in order: one input is its own shape; none is absent;
// several give sha256_prefixed of the canonical text {"inputs":[shape,...],"kind":"inputs"},
// so that the order of the inputs counts.
std::optional<std::string> combined_input_shape(const std::vector<std::string>& shapes);

// The Merkle roots of several manifests taken in order: one is its own root; several give
// SHA-256 of the byte 0x02 followed by the roots (0x00 and 0x01 prefix the chunk tree's
// leaves and inner nodes, so a combined root is never mistaken for either).
Digest combined_input_root(const std::vector<Digest>& roots);

// The form in which a manifest is stored, whose digest and size an execution receipt
// records in chunk_manifest_hash / chunk_manifest_size_bytes: the binary form
// (manifest_to_bytes), under whose digest stores keep manifests.
std::string stored_manifest_form(const CompactManifest& manifest);

// Builds and seals the execution receipt:
// - dom = data_shape_hash = the combined input shape (the payload's hash when there is no
//   input, as record_work has it); the payload's hash stays the one span commitment;
// - cod = the output's shape (the trace root when there is no output, as record_work);
// - method_ref.method_shape_root = method_shape;
// - merkle_root = the combined input root, chunk_manifest_hash/_size_bytes = the digest and
//   size of the input manifests' stored form (several: SHA-256 over each form preceded by
//   its length as 8 bytes big-endian, and the sum of the sizes), all three only when every
//   input came with its manifest;
// - minhash_signature / hll_cardinality from the sketch;
// - output_digest = the output's shape hash, manifest_root = its manifest root,
//   output_size_bytes, output_mime_type.
// The result is validated before it is returned, so every receipt made here verifies.
std::expected<Receipt, ApiError> record_execution(const ExecutionRecord& record);

namespace detail {
std::expected<Receipt, ApiError> record_execution_with(const RecordSources& sources,
                                                       const ExecutionRecord& record);
}  // namespace detail

}  // namespace quillmere
