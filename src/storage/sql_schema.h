// The one table layout shared by the SQL receipt stores (SQLite, PostgreSQL): its
// statements in either dialect, the row written for a receipt, the bound values of a
// query, and reading stored rows back into receipts.
//
// Table qm_receipts, one row per rid:
//   rid          text, primary key (lowercase hyphenated UUID)
//   seq          integer, unique: insertion order; an overwrite keeps the first
//                position, so listings and `limit` stay deterministic
//   workload_id  bytes: method_ref.method_id of an execution receipt, else NULL
//   trace_id     bytes: trace_id of an execution receipt, else NULL
//   timestamp_s  integer: ctx.timestamp as UTC seconds, NULL when it does not parse
//   policy_ref   bytes: ctx.policy_ref, NULL when absent
//   change_epoch bytes: change_epoch of an execution receipt, NULL when absent
//   pac          bytes (32): pac of an execution receipt, NULL when absent
//   hash         bytes: the receipt's hash field as stored
//   body         bytes: the JSON writer's text, byte for byte the filesystem store's file
// Text fields are kept as bytes (BLOB / BYTEA) because receipts may hold any Unicode
// text, NUL included, which PostgreSQL's text type refuses; equality stays bytewise,
// as in the filesystem store. Table qm_schema_version holds one row per layout
// version reached; the highest is the layout's version.
//
// View `receipts` (read-only) shows each row with human columns: seq, rid, kind,
// workload_id, trace_id, timestamp, hash, parent_rids, body, body_text (see
// view_statements). A byte column shows as text when it is clean (no NUL, UTF-8 as far
// as the database can tell, not beginning with \x) and otherwise as \x followed by the
// lowercase hexadecimal of its bytes: the mapping is one-to-one, so the trace and
// workload filters compare shown texts and share one index with the view.
//
// Version 3 adds the manifest and reuse index tables (storage/side_tables.h) and, in
// SQLite, keeps the view's costly columns at write time: kind_text, links_json and
// body_clean (StoredViewColumns), used by the view while the body keeps its length.
// Version 4 keeps body_clean in PostgreSQL as well, for the view's body_text.
//
// The layout is reached by ordered steps, each bringing the tables from the version
// before it to its own; a database is upgraded in place, in one transaction, on open.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receipts/indexed_fields.h"
#include "receipts/receipt.h"
#include "storage/receipt_query.h"
#include "storage/storage_error.h"

namespace quillmere::sql {

inline constexpr int64_t kSchemaVersion = 4;

enum class Dialect { Sqlite, Postgres };

// A value bound to a statement parameter. Bytes and text borrow their storage.
struct Param {
  enum class Kind { Null, Text, Bytes, Int64 };
  Kind kind = Kind::Null;
  std::string_view bytes;
  int64_t integer = 0;

  static Param null() { return {}; }
  static Param text(std::string_view s) { return {Kind::Text, s, 0}; }
  static Param blob(std::string_view s) { return {Kind::Bytes, s, 0}; }
  static Param int64(int64_t v) { return {Kind::Int64, {}, v}; }
};

// The column values of one receipt. The indexed fields borrow from the receipt, which
// must outlive the row.
struct ReceiptRow {
  std::string rid;
  std::string body;
  std::optional<int64_t> timestamp_s;
  IndexedFields fields;

  // The parameters of upsert_statement, in order.
  std::vector<Param> params() const;
};

// The row of a receipt; fails as the filesystem store does when the JSON writer fails.
std::expected<ReceiptRow, StorageError> receipt_row(const Receipt& receipt);

// One step of the layout: the statements that bring version `version - 1` to `version`.
struct SchemaStep {
  int64_t version;
  std::vector<std::string> statements;
};
// Every step in order; the last one's version is kSchemaVersion.
std::vector<SchemaStep> schema_steps(Dialect dialect);

std::string version_table_statement(Dialect dialect);
std::string select_version_statement();
// One parameter: the version.
std::string insert_version_statement(Dialect dialect);

// The text the view shows for the byte value `operand` (a column or a parameter).
std::string shown_text(Dialect dialect, std::string_view operand);

// What SQLite's view reads from columns the store fills at write time (version 3): the
// kind and the links' JSON text cut from the body as the view's expressions cut them
// (absent when those would not cut them), and whether the body shows as its own text (no
// NUL, not beginning with \x).
struct StoredViewColumns {
  std::optional<std::string_view> kind_text;
  std::optional<std::string_view> links_json;
  bool body_clean = false;
  int64_t body_length = 0;
  // kind_text, links_json, body_clean (the body's length when clean, else NULL), in the
  // upsert's order.
  std::vector<Param> params() const;
};
StoredViewColumns stored_view_columns(std::string_view body);

// PostgreSQL's body_clean, the last parameter of its upsert_statement: the body's length
// when the body is its own shown text there (UTF-8 without NUL, not beginning with \x),
// else NULL.
Param postgres_body_clean(std::string_view body);

// Inserts a row or replaces the columns of the row with the same rid, keeping its seq.
// Parameters: those of ReceiptRow::params; in SQLite four more, those of
// StoredViewColumns::params and the new row's seq (the store numbers its rows on from
// last_seq_statement's answer, inside the write transaction; a replaced row leaves its
// number unused, which keeps the order).
std::string upsert_statement(Dialect dialect);
std::string last_seq_statement();

// SELECT rid, body of the rows matching the query's filters, in insertion order.
// With `paged`, two more parameters follow the filters': LIMIT and OFFSET.
struct QueryShape {
  unsigned filters = 0;  // one bit per present filter
  bool paged = false;
  friend bool operator==(const QueryShape&, const QueryShape&) = default;
  // A small number naming the shape (for statement caches): < kQueryShapeCount.
  unsigned index() const { return filters * 2 + (paged ? 1 : 0); }
};
inline constexpr unsigned kQueryShapeCount = 256;
QueryShape query_shape(const ReceiptQuery& query);
std::string select_statement(Dialect dialect, QueryShape shape);
// The filter parameters of the query, in the order select_statement numbers them.
std::vector<Param> filter_params(const ReceiptQuery& query);

// SELECT rid, body of the rows whose rid begins with a prefix, in rid order, as a range
// on the rid key: parameters lower and upper (text, rid_prefix_range), then LIMIT.
std::string rid_range_statement(Dialect dialect);

// One stored row as read back.
struct StoredRow {
  std::string rid;
  std::string body;
};

// Answers a query from rows fetched page by page: fetch(limit, offset) returns the
// matching rows from `offset` on, at most `limit` of them (all when absent). Rows
// whose body does not read as a receipt are reported on standard error and skipped,
// as the filesystem store skips unparseable files, and `limit` counts only the
// receipts returned.
template <class Fetch>
std::expected<std::vector<Receipt>, StorageError> answer_query(const ReceiptQuery& query,
                                                               Fetch&& fetch);

// Reads a stored body into `out`; on failure writes the warning line and returns false.
bool read_stored_receipt(const StoredRow& row, Receipt& out);

// The limit as SQL takes it: absent (no LIMIT) when it exceeds the signed range.
std::optional<int64_t> sql_limit(std::optional<uint64_t> limit);

template <class Fetch>
std::expected<std::vector<Receipt>, StorageError> answer_query(const ReceiptQuery& query,
                                                               Fetch&& fetch) {
  std::vector<Receipt> results;
  const std::optional<int64_t> limit = sql_limit(query.limit);
  int64_t offset = 0;
  for (;;) {
    std::optional<int64_t> want;
    if (limit) want = *limit - static_cast<int64_t>(results.size());
    if (want && *want <= 0) break;
    std::expected<std::vector<StoredRow>, StorageError> rows = fetch(want, offset);
    if (!rows) return std::unexpected(std::move(rows.error()));
    for (const StoredRow& row : *rows) {
      Receipt receipt;
      if (read_stored_receipt(row, receipt)) results.push_back(std::move(receipt));
    }
    // A short page is the end; a full page with skipped rows needs the next one.
    if (!want || static_cast<int64_t>(rows->size()) < *want) break;
    offset += static_cast<int64_t>(rows->size());
  }
  return results;
}

}  // namespace quillmere::sql
