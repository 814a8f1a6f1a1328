// Error types of the receipt model: ValidationError (seven variants) and
// AdapterError (the JSON adapter's four variants). Each displays a fixed prefix
// followed by its fields, via display().
#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

struct ValidationError {
  enum class Kind {
    HashMismatch,       // expected, computed
    InvalidHashFormat,  // text = the value
    SchemaViolation,    // text
    CompositionError,   // index, expected (cod), computed (dom)
    MissingField,       // text = the field name
    InvalidValue,       // text
    Serialization,      // text
  };
  Kind kind;
  std::string text;
  std::string expected;
  std::string computed;
  uint64_t index = 0;

  static ValidationError hash_mismatch(std::string expected, std::string computed) {
    return {Kind::HashMismatch, {}, std::move(expected), std::move(computed), 0};
  }
  static ValidationError invalid_hash_format(std::string value) {
    return {Kind::InvalidHashFormat, std::move(value), {}, {}, 0};
  }
  static ValidationError schema_violation(std::string t) {
    return {Kind::SchemaViolation, std::move(t), {}, {}, 0};
  }
  static ValidationError composition_error(uint64_t index, std::string expected_cod,
                                           std::string got_dom) {
    return {Kind::CompositionError, {}, std::move(expected_cod), std::move(got_dom), index};
  }
  static ValidationError missing_field(std::string name) {
    return {Kind::MissingField, std::move(name), {}, {}, 0};
  }
  static ValidationError invalid_value(std::string t) {
    return {Kind::InvalidValue, std::move(t), {}, {}, 0};
  }
  static ValidationError serialization(std::string t) {
    return {Kind::Serialization, std::move(t), {}, {}, 0};
  }

  std::string display() const {
    switch (kind) {
      case Kind::HashMismatch:
        return "Hash mismatch: expected " + expected + ", computed " + computed;
      case Kind::InvalidHashFormat:
        return "Invalid hash format: " + text + " (must match ^sha256:[0-9a-f]{64}$)";
      case Kind::SchemaViolation:
        return "Schema violation: " + text;
      case Kind::CompositionError:
        return "Composition error at receipt " + std::to_string(index) + ": expected cod " +
               expected + ", got dom " + computed;
      case Kind::MissingField:
        return "Missing required field: " + text;
      case Kind::InvalidValue:
        return "Invalid value: " + text;
      case Kind::Serialization:
        return "Serialization error: " + text;
    }
    return text;
  }
  friend bool operator==(const ValidationError&, const ValidationError&) = default;
};

struct AdapterError {
  enum class Kind {
    JsonDeserialization,
    JsonSerialization,
    CborDeserialization,
    CborSerialization
  };
  Kind kind;
  std::string detail;

  std::string display() const {
    switch (kind) {
      case Kind::JsonDeserialization:
        return "JSON deserialization failed: " + detail;
      case Kind::JsonSerialization:
        return "JSON serialization failed: " + detail;
      case Kind::CborDeserialization:
        return "CBOR deserialization failed: " + detail;
      case Kind::CborSerialization:
        return "CBOR serialization failed: " + detail;
    }
    return detail;
  }
  friend bool operator==(const AdapterError&, const AdapterError&) = default;
};

}  // namespace quillmere
