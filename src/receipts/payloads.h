// The six payload records and the eleven records nested in them. Field order is
// declaration order, which is also the JSON key order.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "codec/generic_value.h"
#include "codec/uuid.h"

namespace quillmere {

using Bytes32 = std::array<uint8_t, 32>;
using ByteSeq = std::vector<uint8_t>;

struct DataShapePayload {
  std::string schema_hash;
  std::optional<std::string> sketch_hash;
  friend bool operator==(const DataShapePayload&, const DataShapePayload&) = default;
};

struct MethodNodeRef {
  std::string id;
  std::string span_shape_hash;
  friend bool operator==(const MethodNodeRef&, const MethodNodeRef&) = default;
};

struct Edge {
  std::string from;
  std::string to;
  friend bool operator==(const Edge&, const Edge&) = default;
};

struct MethodShapePayload {
  std::vector<MethodNodeRef> nodes;
  std::optional<std::vector<Edge>> edges;
  std::string root_multiset;
  std::optional<std::string> dag_hash;
  friend bool operator==(const MethodShapePayload&, const MethodShapePayload&) = default;
};

struct ReasoningNodeRef {
  std::string node_id;
  std::string operator_ref;
  std::optional<std::string> pox_ref;
  friend bool operator==(const ReasoningNodeRef&, const ReasoningNodeRef&) = default;
};

struct ReasoningQuality {
  std::optional<float> success_score;
  std::optional<std::string> eval_method;
  std::optional<std::string> review_hash;
  std::optional<float> confidence;
  friend bool operator==(const ReasoningQuality&, const ReasoningQuality&) = default;
};

struct ReasoningShapePayload {
  std::string intent_hash;
  std::string dag_hash;
  std::vector<ReasoningNodeRef> node_refs;
  std::optional<std::string> policy_ref;
  std::optional<ReasoningQuality> quality;
  friend bool operator==(const ReasoningShapePayload&, const ReasoningShapePayload&) = default;
};

struct MethodRef {
  std::string method_id;
  std::string version;
  std::string method_shape_root;
  friend bool operator==(const MethodRef&, const MethodRef&) = default;
};

struct ExecutionRoots {
  std::string trace_set_root;
  std::string identity_root;
  std::optional<std::string> trace_seq_root;
  friend bool operator==(const ExecutionRoots&, const ExecutionRoots&) = default;
};

struct CdfMetadata {
  int64_t commit_version = 0;
  std::string change_type;
  std::string commit_timestamp;
  friend bool operator==(const CdfMetadata&, const CdfMetadata&) = default;
};

struct EncryptedLocatorRef {
  ByteSeq encrypted_data;
  std::string content_hash;
  std::string encryption_scheme;
  friend bool operator==(const EncryptedLocatorRef&, const EncryptedLocatorRef&) = default;
};

struct ExecutionPayload {
  std::string trace_id;
  MethodRef method_ref;
  std::string data_shape_hash;
  std::vector<std::string> span_commitments;
  ExecutionRoots roots;
  std::optional<std::vector<CdfMetadata>> cdf_metadata;
  // The fourteen fields below are left out of the JSON object and of the
  // canonical body when absent.
  std::optional<Bytes32> pac;
  std::optional<std::string> change_epoch;
  std::optional<ByteSeq> minhash_signature;
  std::optional<uint64_t> hll_cardinality;
  std::optional<Bytes32> chunk_manifest_hash;
  std::optional<uint64_t> chunk_manifest_size_bytes;
  std::optional<Bytes32> merkle_root;
  std::optional<Uuid> prev_execution_rid;
  std::optional<std::string> output_digest;
  std::optional<Bytes32> manifest_root;
  std::optional<std::string> output_mime_type;
  std::optional<uint64_t> output_size_bytes;
  std::optional<std::vector<EncryptedLocatorRef>> input_locator_refs;
  std::optional<EncryptedLocatorRef> output_locator_ref;
  friend bool operator==(const ExecutionPayload&, const ExecutionPayload&) = default;
};

struct ResourceVector {
  std::optional<double> vcpu_sec;
  std::optional<double> gpu_sec;
  std::optional<double> gb_sec;
  std::optional<double> requests;
  std::optional<double> energy_kwh;
  friend bool operator==(const ResourceVector&, const ResourceVector&) = default;
};

struct SpendPointers {
  std::string trace_id;
  std::optional<std::vector<std::string>> span_ids;
  friend bool operator==(const SpendPointers&, const SpendPointers&) = default;
};

struct ReuseJustification {
  std::optional<double> overlap_j;
  std::optional<double> alpha;
  std::optional<double> c_id;
  std::optional<double> c_comp;
  std::optional<std::string> decision;
  std::optional<std::string> layer;
  std::optional<std::string> minhash_sketch;
  friend bool operator==(const ReuseJustification&, const ReuseJustification&) = default;
};

struct SpendPayload {
  ResourceVector meter;
  ResourceVector unit_prices;
  std::string currency;
  std::optional<std::string> pricing_policy_ref;
  double total_value = 0.0;
  SpendPointers pointers;
  std::optional<ReuseJustification> justification;
  friend bool operator==(const SpendPayload&, const SpendPayload&) = default;
};

// std::map<std::string, ...> orders keys by unsigned bytes (char_traits<char>).
struct SettlementPayload {
  std::vector<std::string> wur_refs;
  std::map<std::string, double> net_positions;
  std::string rules_ref;
  std::optional<GenericValue> cash_instr;
  friend bool operator==(const SettlementPayload&, const SettlementPayload&) = default;
};

// One alternative per kind, in ReceiptKind order.
using Payload = std::variant<DataShapePayload, MethodShapePayload, ReasoningShapePayload,
                             ExecutionPayload, SpendPayload, SettlementPayload>;

}  // namespace quillmere
