// The error of the engine's recording and verification operations.
#pragma once

#include <string>

namespace quillmere {

struct ApiError {
  enum class Kind { Serialization, Hash, Validation };
  Kind kind;
  std::string message;

  static ApiError serialization(std::string m) { return {Kind::Serialization, std::move(m)}; }
  static ApiError hash(std::string m) { return {Kind::Hash, std::move(m)}; }
  static ApiError validation(std::string m) { return {Kind::Validation, std::move(m)}; }

  // The text shown to Python: variant prefix + message.
  std::string display() const {
    switch (kind) {
      case Kind::Serialization:
        return "SerializationError: " + message;
      case Kind::Hash:
        return "HashError: " + message;
      case Kind::Validation:
        return "ValidationError: " + message;
    }
    return message;
  }
  friend bool operator==(const ApiError&, const ApiError&) = default;
};

}  // namespace quillmere
