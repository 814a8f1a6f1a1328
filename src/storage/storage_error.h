// The storage library's error: six variants, each displayed as a fixed prefix
// followed by its text.
#pragma once

#include <string>

namespace quillmere {

struct StorageError {
  enum class Kind { Database, Serialization, Compression, NotFound, InvalidInput, Io };
  Kind kind;
  // For Database, the database client's own error text (no store here has one).
  std::string text;

  static StorageError database(std::string t) { return {Kind::Database, std::move(t)}; }
  static StorageError serialization(std::string t) { return {Kind::Serialization, std::move(t)}; }
  static StorageError compression(std::string t) { return {Kind::Compression, std::move(t)}; }
  static StorageError not_found(std::string t) { return {Kind::NotFound, std::move(t)}; }
  static StorageError invalid_input(std::string t) { return {Kind::InvalidInput, std::move(t)}; }
  static StorageError io(std::string t) { return {Kind::Io, std::move(t)}; }

  std::string display() const {
    switch (kind) {
      case Kind::Database:
        return "Database error: " + text;
      case Kind::Serialization:
        return "Serialization error: " + text;
      case Kind::Compression:
        return "Compression error: " + text;
      case Kind::NotFound:
        return "Not found: " + text;
      case Kind::InvalidInput:
        return "Invalid input: " + text;
      case Kind::Io:
        return "I/O error: " + text;
    }
    return text;
  }
  friend bool operator==(const StorageError&, const StorageError&) = default;
};

// A store operation given up while it waited for another thread's operation on the store.
inline const StorageError kInterruptedWaitingForStore =
    StorageError::database("interrupted while waiting for another thread's operation on the store");

}  // namespace quillmere
