// The JSON keys of every record, in declaration order, bound to their members.
// The JSON writer and reader both walk these lists, so the two cannot disagree
// on a key or on the order.
#pragma once

#include <cstddef>
#include <limits>
#include <string_view>
#include <tuple>

#include "receipts/payloads.h"
#include "receipts/receipt.h"

namespace quillmere {

template <typename R, typename T>
struct FieldRef {
  std::string_view key;
  T R::* member;
};

// Specialised per record: `name`, `fields` (a tuple of FieldRef) and
// `omit_from`, the index from which absent optional fields are left out of the
// JSON object instead of written as null.
template <typename R>
struct RecordFields;

template <typename R>
concept JsonRecord = requires { RecordFields<R>::fields; };

inline constexpr size_t kNeverOmit = std::numeric_limits<size_t>::max();

template <>
struct RecordFields<Context> {
  static constexpr std::string_view name = "Context";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"policy_ref", &Context::policy_ref}, FieldRef{"timestamp", &Context::timestamp},
      FieldRef{"nonce", &Context::nonce}, FieldRef{"determinism", &Context::determinism},
      FieldRef{"identity_ref", &Context::identity_ref});
};

template <>
struct RecordFields<DataShapePayload> {
  static constexpr std::string_view name = "DataShapePayload";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"schema_hash", &DataShapePayload::schema_hash},
                      FieldRef{"sketch_hash", &DataShapePayload::sketch_hash});
};

template <>
struct RecordFields<MethodNodeRef> {
  static constexpr std::string_view name = "MethodNodeRef";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"id", &MethodNodeRef::id},
                      FieldRef{"span_shape_hash", &MethodNodeRef::span_shape_hash});
};

template <>
struct RecordFields<Edge> {
  static constexpr std::string_view name = "Edge";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"from", &Edge::from}, FieldRef{"to", &Edge::to});
};

template <>
struct RecordFields<MethodShapePayload> {
  static constexpr std::string_view name = "MethodShapePayload";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"nodes", &MethodShapePayload::nodes}, FieldRef{"edges", &MethodShapePayload::edges},
      FieldRef{"root_multiset", &MethodShapePayload::root_multiset},
      FieldRef{"dag_hash", &MethodShapePayload::dag_hash});
};

template <>
struct RecordFields<ReasoningNodeRef> {
  static constexpr std::string_view name = "ReasoningNodeRef";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"node_id", &ReasoningNodeRef::node_id},
                      FieldRef{"operator_ref", &ReasoningNodeRef::operator_ref},
                      FieldRef{"pox_ref", &ReasoningNodeRef::pox_ref});
};

template <>
struct RecordFields<ReasoningQuality> {
  static constexpr std::string_view name = "ReasoningQuality";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"success_score", &ReasoningQuality::success_score},
                      FieldRef{"eval_method", &ReasoningQuality::eval_method},
                      FieldRef{"review_hash", &ReasoningQuality::review_hash},
                      FieldRef{"confidence", &ReasoningQuality::confidence});
};

template <>
struct RecordFields<ReasoningShapePayload> {
  static constexpr std::string_view name = "ReasoningShapePayload";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"intent_hash", &ReasoningShapePayload::intent_hash},
                      FieldRef{"dag_hash", &ReasoningShapePayload::dag_hash},
                      FieldRef{"node_refs", &ReasoningShapePayload::node_refs},
                      FieldRef{"policy_ref", &ReasoningShapePayload::policy_ref},
                      FieldRef{"quality", &ReasoningShapePayload::quality});
};

template <>
struct RecordFields<MethodRef> {
  static constexpr std::string_view name = "MethodRef";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"method_id", &MethodRef::method_id}, FieldRef{"version", &MethodRef::version},
      FieldRef{"method_shape_root", &MethodRef::method_shape_root});
};

template <>
struct RecordFields<ExecutionRoots> {
  static constexpr std::string_view name = "ExecutionRoots";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"trace_set_root", &ExecutionRoots::trace_set_root},
                      FieldRef{"identity_root", &ExecutionRoots::identity_root},
                      FieldRef{"trace_seq_root", &ExecutionRoots::trace_seq_root});
};

template <>
struct RecordFields<CdfMetadata> {
  static constexpr std::string_view name = "CdfMetadata";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"commit_version", &CdfMetadata::commit_version},
                      FieldRef{"change_type", &CdfMetadata::change_type},
                      FieldRef{"commit_timestamp", &CdfMetadata::commit_timestamp});
};

template <>
struct RecordFields<EncryptedLocatorRef> {
  static constexpr std::string_view name = "EncryptedLocatorRef";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"encrypted_data", &EncryptedLocatorRef::encrypted_data},
                      FieldRef{"content_hash", &EncryptedLocatorRef::content_hash},
                      FieldRef{"encryption_scheme", &EncryptedLocatorRef::encryption_scheme});
};

template <>
struct RecordFields<ExecutionPayload> {
  using P = ExecutionPayload;
  static constexpr std::string_view name = "ExecutionPayload";
  // From `pac` on, an absent field is left out rather than written as null.
  static constexpr size_t omit_from = 6;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"trace_id", &P::trace_id}, FieldRef{"method_ref", &P::method_ref},
      FieldRef{"data_shape_hash", &P::data_shape_hash},
      FieldRef{"span_commitments", &P::span_commitments}, FieldRef{"roots", &P::roots},
      FieldRef{"cdf_metadata", &P::cdf_metadata}, FieldRef{"pac", &P::pac},
      FieldRef{"change_epoch", &P::change_epoch},
      FieldRef{"minhash_signature", &P::minhash_signature},
      FieldRef{"hll_cardinality", &P::hll_cardinality},
      FieldRef{"chunk_manifest_hash", &P::chunk_manifest_hash},
      FieldRef{"chunk_manifest_size_bytes", &P::chunk_manifest_size_bytes},
      FieldRef{"merkle_root", &P::merkle_root},
      FieldRef{"prev_execution_rid", &P::prev_execution_rid},
      FieldRef{"output_digest", &P::output_digest}, FieldRef{"manifest_root", &P::manifest_root},
      FieldRef{"output_mime_type", &P::output_mime_type},
      FieldRef{"output_size_bytes", &P::output_size_bytes},
      FieldRef{"input_locator_refs", &P::input_locator_refs},
      FieldRef{"output_locator_ref", &P::output_locator_ref});
};

template <>
struct RecordFields<ResourceVector> {
  static constexpr std::string_view name = "ResourceVector";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"vcpu_sec", &ResourceVector::vcpu_sec},
      FieldRef{"gpu_sec", &ResourceVector::gpu_sec}, FieldRef{"gb_sec", &ResourceVector::gb_sec},
      FieldRef{"requests", &ResourceVector::requests},
      FieldRef{"energy_kwh", &ResourceVector::energy_kwh});
};

template <>
struct RecordFields<SpendPointers> {
  static constexpr std::string_view name = "SpendPointers";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(FieldRef{"trace_id", &SpendPointers::trace_id},
                                                 FieldRef{"span_ids", &SpendPointers::span_ids});
};

template <>
struct RecordFields<ReuseJustification> {
  using J = ReuseJustification;
  static constexpr std::string_view name = "ReuseJustification";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields =
      std::make_tuple(FieldRef{"overlap_j", &J::overlap_j}, FieldRef{"alpha", &J::alpha},
                      FieldRef{"c_id", &J::c_id}, FieldRef{"c_comp", &J::c_comp},
                      FieldRef{"decision", &J::decision}, FieldRef{"layer", &J::layer},
                      FieldRef{"minhash_sketch", &J::minhash_sketch});
};

template <>
struct RecordFields<SpendPayload> {
  using P = SpendPayload;
  static constexpr std::string_view name = "SpendPayload";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"meter", &P::meter}, FieldRef{"unit_prices", &P::unit_prices},
      FieldRef{"currency", &P::currency}, FieldRef{"pricing_policy_ref", &P::pricing_policy_ref},
      FieldRef{"total_value", &P::total_value}, FieldRef{"pointers", &P::pointers},
      FieldRef{"justification", &P::justification});
};

template <>
struct RecordFields<SettlementPayload> {
  using P = SettlementPayload;
  static constexpr std::string_view name = "SettlementPayload";
  static constexpr size_t omit_from = kNeverOmit;
  static constexpr auto fields = std::make_tuple(
      FieldRef{"wur_refs", &P::wur_refs}, FieldRef{"net_positions", &P::net_positions},
      FieldRef{"rules_ref", &P::rules_ref}, FieldRef{"cash_instr", &P::cash_instr});
};

}  // namespace quillmere
