// What the SQL stores keep beside their receipts: data manifests by digest, and the reuse
// index (one entry per indexed execution and the 64-bit keys it is found by).
//
// Tables, created with the receipt tables' layout (version 3):
//   qm_manifests      digest text primary key ("sha256:" + hex of SHA-256 of body), body bytes
//   qm_reuse_entries  rid text primary key, method text, entry text (the package's JSON)
//   qm_reuse_keys     key 64-bit integer, rid text; primary key (key, rid)
// A key is the package's hash of a method shape and one index key text, so a look-up
// compares the entry's method too. Each write is one transaction.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/sql_schema.h"
#include "storage/storage_error.h"

namespace quillmere {

struct ReuseEntry {
  std::string rid;
  std::string method;
  std::string entry;
  std::vector<int64_t> keys;
};

struct ReuseCandidate {
  std::string entry;
  int64_t shared = 0;  // how many of the asked keys it has
  friend bool operator==(const ReuseCandidate&, const ReuseCandidate&) = default;
};

class SideTables {
 public:
  virtual ~SideTables() = default;

  // Keeps `body` under its digest (once: a second call finds it there); the digest.
  virtual std::expected<std::string, StorageError> put_manifest(std::string_view body) = 0;
  // The body kept under `digest`; nullopt when there is none. A digest that is not
  // "sha256:" and 64 lowercase hex digits is InvalidInput.
  virtual std::expected<std::optional<std::string>, StorageError> get_manifest(
      std::string_view digest) = 0;
  // Indexes executions: an entry with a rid already indexed replaces its method and entry
  // text and adds its keys.
  virtual std::expected<void, StorageError> put_reuse_entries(
      std::span<const ReuseEntry> entries) = 0;
  // The entries of `method` sharing at least one of `keys`, with the count shared.
  virtual std::expected<std::vector<ReuseCandidate>, StorageError> reuse_candidates(
      std::string_view method, std::span<const int64_t> keys) = 0;
};

namespace sql {

// "sha256:" + the hex digest of `body`.
std::string manifest_digest(std::string_view body);
// InvalidInput unless `digest` has the form manifest_digest gives.
std::expected<void, StorageError> check_manifest_digest(std::string_view digest);
// InvalidInput unless every text of the entry is valid UTF-8 without NUL (the columns are
// text in PostgreSQL) and the rid and method are not empty.
std::expected<void, StorageError> check_reuse_entry(const ReuseEntry& entry);

// The version-3 step: the three tables. They may exist already, with these columns, in a
// database written before the step (created beside the versioned layout), so they are
// created only when missing and their rows kept.
std::vector<std::string> create_side_tables(Dialect dialect);

// Statements. put_manifest: digest, body. get_manifest: digest. put_entry: rid, method,
// entry. put_keys (PostgreSQL): keys as decimal text joined by commas, rid; put_key
// (SQLite): key, rid. candidates: keys (JSON array in SQLite, comma-joined in PostgreSQL),
// method.
std::string put_manifest_statement(Dialect dialect);
std::string get_manifest_statement(Dialect dialect);
std::string put_entry_statement(Dialect dialect);
std::string put_keys_statement(Dialect dialect);
std::string candidates_statement(Dialect dialect);
// The keys as the candidates statement takes them.
std::string key_list(Dialect dialect, std::span<const int64_t> keys);

}  // namespace sql

}  // namespace quillmere
