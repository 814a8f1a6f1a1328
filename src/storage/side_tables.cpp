// The statements and checks of what the SQL stores keep beside their receipts.
#include "storage/side_tables.h"

#include "base/utf8.h"
#include "codec/sha256.h"

namespace quillmere::sql {

namespace {

constexpr std::string_view kDigestPrefix = "sha256:";

bool clean_text(std::string_view s) {
  return s.find('\0') == std::string_view::npos && utf8::is_valid(s);
}

// SQLite first, PostgreSQL second: the two spellings of one statement.
std::string pick(Dialect dialect, std::string_view sqlite, std::string_view postgres) {
  return std::string(dialect == Dialect::Sqlite ? sqlite : postgres);
}

}  // namespace

std::string manifest_digest(std::string_view body) {
  return hash_string(sha256(body));
}

std::expected<void, StorageError> check_manifest_digest(std::string_view digest) {
  bool ok = digest.size() == kDigestPrefix.size() + 64 && digest.starts_with(kDigestPrefix);
  for (size_t i = kDigestPrefix.size(); ok && i < digest.size(); ++i) {
    const char c = digest[i];
    ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  }
  if (ok) return {};
  return std::unexpected(
      StorageError::invalid_input("not a manifest digest (sha256: and 64 "
                                  "lowercase hex digits)"));
}

std::expected<void, StorageError> check_reuse_entry(const ReuseEntry& entry) {
  if (entry.rid.empty() || entry.method.empty()) {
    return std::unexpected(StorageError::invalid_input("a reuse entry needs a rid and a method"));
  }
  if (!clean_text(entry.rid) || !clean_text(entry.method) || !clean_text(entry.entry)) {
    return std::unexpected(
        StorageError::invalid_input("reuse entry text must be UTF-8 without NUL"));
  }
  return {};
}

std::vector<std::string> create_side_tables(Dialect dialect) {
  const bool lite = dialect == Dialect::Sqlite;
  const std::string rowid = lite ? " WITHOUT ROWID" : "";
  return {
      std::string("CREATE TABLE IF NOT EXISTS qm_manifests (digest TEXT NOT NULL PRIMARY KEY, "
                  "body ") +
          (lite ? "BLOB" : "BYTEA") + " NOT NULL)" + rowid,
      "CREATE TABLE IF NOT EXISTS qm_reuse_entries (rid TEXT NOT NULL PRIMARY KEY, method TEXT "
      "NOT NULL, entry TEXT NOT NULL)" +
          rowid,
      std::string("CREATE TABLE IF NOT EXISTS qm_reuse_keys (key ") +
          (lite ? "INTEGER" : "BIGINT") + " NOT NULL, rid TEXT NOT NULL, PRIMARY KEY (key, rid))" +
          rowid,
  };
}

std::string put_manifest_statement(Dialect dialect) {
  return pick(dialect,
              "INSERT INTO qm_manifests (digest, body) VALUES (?1, ?2) ON CONFLICT DO NOTHING",
              "INSERT INTO qm_manifests (digest, body) VALUES ($1, $2) ON CONFLICT DO NOTHING");
}

std::string get_manifest_statement(Dialect dialect) {
  return pick(dialect, "SELECT body FROM qm_manifests WHERE digest = ?1",
              "SELECT body FROM qm_manifests WHERE digest = $1");
}

std::string put_entry_statement(Dialect dialect) {
  return pick(dialect,
              "INSERT INTO qm_reuse_entries (rid, method, entry) VALUES (?1, ?2, ?3) ON CONFLICT "
              "(rid) DO UPDATE SET method = excluded.method, entry = excluded.entry",
              "INSERT INTO qm_reuse_entries (rid, method, entry) VALUES ($1, $2, $3) ON CONFLICT "
              "(rid) DO UPDATE SET method = excluded.method, entry = excluded.entry");
}

std::string put_keys_statement(Dialect dialect) {
  return pick(dialect,
              "INSERT INTO qm_reuse_keys (key, rid) VALUES (?1, ?2) ON CONFLICT DO NOTHING",
              "INSERT INTO qm_reuse_keys (key, rid) SELECT unnest(string_to_array($1::text, "
              "',')::bigint[]), $2 ON CONFLICT DO NOTHING");
}

std::string candidates_statement(Dialect dialect) {
  return pick(dialect,
              "SELECT e.entry, c.n FROM (SELECT rid, COUNT(*) AS n FROM qm_reuse_keys WHERE key "
              "IN (SELECT value FROM json_each(?1)) GROUP BY rid) AS c JOIN qm_reuse_entries AS "
              "e ON e.rid = c.rid WHERE e.method = ?2",
              "SELECT e.entry, c.n FROM (SELECT rid, COUNT(*) AS n FROM qm_reuse_keys WHERE key "
              "= ANY(string_to_array($1::text, ',')::bigint[]) GROUP BY rid) AS c JOIN "
              "qm_reuse_entries AS e ON e.rid = c.rid WHERE e.method = $2");
}

std::string key_list(Dialect dialect, std::span<const int64_t> keys) {
  std::string out = dialect == Dialect::Sqlite ? "[" : "";
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(keys[i]);
  }
  if (dialect == Dialect::Sqlite) out += ']';
  return out;
}

}  // namespace quillmere::sql
