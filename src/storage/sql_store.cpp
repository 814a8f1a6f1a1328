// The operations both SQL stores run alike, over the primitives each database provides.
#include "storage/sql_store.h"

#include <cstdint>
#include <iterator>

#include "base/cancellation.h"
#include "storage/rid_prefix.h"

namespace quillmere {

namespace sql {

std::string statement_text(Dialect dialect, StatementId which) {
  switch (which) {
    case kRidRange:
      return rid_range_statement(dialect);
    case kUpsert:
      return upsert_statement(dialect);
    case kLastSeq:
      return last_seq_statement();
    case kPutManifest:
      return put_manifest_statement(dialect);
    case kGetManifest:
      return get_manifest_statement(dialect);
    case kPutEntry:
      return put_entry_statement(dialect);
    case kPutKeys:
      return put_keys_statement(dialect);
    case kCandidates:
      return candidates_statement(dialect);
    case kStatementCount:
      break;
  }
  // Below kRidRange: the select of the query shape with that index.
  return select_statement(dialect, QueryShape{.filters = which / 2, .paged = (which % 2) != 0});
}

}  // namespace sql

SqlStore::Outcome SqlStore::with_connection(Operation op) {
  if (auto connected = connect(); !connected) return connected;
  return op();
}

SqlStore::Outcome SqlStore::locked(Operation op) {
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  return with_connection(op);
}

SqlStore::Outcome SqlStore::write_rows(std::span<const sql::ReceiptRow> rows) {
  const bool sqlite = dialect_ == sql::Dialect::Sqlite;
  auto write = [&]() -> Outcome {
    int64_t seq = 0;
    if (sqlite) {
      auto r = run(sql::kLastSeq, {}, [&](const sql::ResultRow& last) { seq = last.integer(0); });
      if (!r) return r;
    }
    for (const sql::ReceiptRow& row : rows) {
      std::vector<sql::Param> params = row.params();
      if (sqlite) {
        // The view's columns borrow from the body, as the row's own parameters do.
        for (const sql::Param& p : sql::stored_view_columns(row.body).params()) params.push_back(p);
        params.push_back(sql::Param::int64(++seq));
      } else {
        params.push_back(sql::postgres_body_clean(row.body));
      }
      if (auto r = run(sql::kUpsert, params, [](const sql::ResultRow&) {}); !r) return r;
    }
    return {};
  };
  if (!sqlite && rows.size() == 1) return write();
  return transaction(write);
}

std::expected<void, StorageError> SqlStore::store_receipt(const Receipt& receipt) {
  auto row = sql::receipt_row(receipt);
  if (!row) return std::unexpected(row.error());
  return locked([&] { return write_rows(std::span(&*row, 1)); });
}

std::expected<void, StorageError> SqlStore::store_receipts(std::span<const Receipt> receipts) {
  if (receipts.empty()) return {};
  // Every receipt is written out before the transaction starts: a receipt that
  // cannot be serialised stores none of them.
  std::vector<sql::ReceiptRow> rows;
  rows.reserve(receipts.size());
  for (const Receipt& receipt : receipts) {
    auto row = sql::receipt_row(receipt);
    if (!row) return std::unexpected(row.error());
    rows.push_back(std::move(*row));
  }
  return locked([&] { return write_rows(rows); });
}

std::expected<std::vector<sql::StoredRow>, StorageError> SqlStore::fetch(
    const ReceiptQuery& query, std::optional<int64_t> limit, int64_t offset) {
  const sql::QueryShape shape = sql::query_shape(query);
  std::vector<sql::Param> params = sql::filter_params(query);
  if (shape.paged) {
    params.push_back(sql::Param::int64(limit.value_or(0)));
    params.push_back(sql::Param::int64(offset));
  }
  std::vector<sql::StoredRow> rows;
  auto done = run(static_cast<sql::StatementId>(shape.index()), params,
                  [&](const sql::ResultRow& row) { rows.push_back({row.bytes(0), row.bytes(1)}); });
  if (!done) return std::unexpected(done.error());
  return rows;
}

std::expected<std::vector<Receipt>, StorageError> SqlStore::query_receipts(ReceiptQuery query) {
  std::vector<Receipt> results;
  auto done = locked([&]() -> Outcome {
    auto answered = sql::answer_query(query, [&](std::optional<int64_t> limit, int64_t offset) {
      return fetch(query, limit, offset);
    });
    if (!answered) return std::unexpected(answered.error());
    results = std::move(*answered);
    return {};
  });
  if (!done) return std::unexpected(done.error());
  return results;
}

std::expected<std::vector<Receipt>, StorageError> SqlStore::find_by_rid_prefix(
    std::string_view hex_prefix, size_t limit) {
  if (auto checked = check_rid_prefix(hex_prefix); !checked)
    return std::unexpected(checked.error());
  const RidRange range = rid_prefix_range(hex_prefix);
  const sql::Param params[] = {sql::Param::text(range.lower), sql::Param::text(range.upper),
                               sql::Param::int64(sql::sql_limit(limit).value_or(INT64_MAX))};
  std::vector<Receipt> results;
  auto done = locked([&] {
    results.clear();
    return run(sql::kRidRange, params, [&](const sql::ResultRow& row) {
      Receipt receipt;
      if (sql::read_stored_receipt({row.bytes(0), row.bytes(1)}, receipt)) {
        results.push_back(std::move(receipt));
      }
    });
  });
  if (!done) return std::unexpected(done.error());
  return results;
}

std::expected<std::string, StorageError> SqlStore::put_manifest(std::string_view body) {
  std::string digest = sql::manifest_digest(body);
  const sql::Param params[] = {sql::Param::text(digest), sql::Param::blob(body)};
  // One statement, its own durable transaction.
  auto done = locked([&] { return run(sql::kPutManifest, params, [](const sql::ResultRow&) {}); });
  if (!done) return std::unexpected(done.error());
  return digest;
}

std::expected<std::optional<std::string>, StorageError> SqlStore::get_manifest(
    std::string_view digest) {
  if (auto ok = sql::check_manifest_digest(digest); !ok) return std::unexpected(ok.error());
  const sql::Param params[] = {sql::Param::text(digest)};
  std::optional<std::string> body;
  auto done = locked([&] {
    body.reset();
    return run(sql::kGetManifest, params, [&](const sql::ResultRow& row) { body = row.bytes(0); });
  });
  if (!done) return std::unexpected(done.error());
  return body;
}

std::expected<void, StorageError> SqlStore::put_reuse_entries(std::span<const ReuseEntry> entries) {
  for (const ReuseEntry& entry : entries) {
    if (auto ok = sql::check_reuse_entry(entry); !ok) return ok;
  }
  if (entries.empty()) return {};
  // PostgreSQL takes an entry's keys as one list, SQLite one key a statement.
  std::vector<std::string> key_lists;
  if (dialect_ == sql::Dialect::Postgres) {
    key_lists.reserve(entries.size());
    for (const ReuseEntry& e : entries) key_lists.push_back(sql::key_list(dialect_, e.keys));
  }
  auto ignore = [](const sql::ResultRow&) {};
  auto write = [&]() -> Outcome {
    for (size_t i = 0; i < entries.size(); ++i) {
      const ReuseEntry& e = entries[i];
      const sql::Param entry[] = {sql::Param::text(e.rid), sql::Param::text(e.method),
                                  sql::Param::text(e.entry)};
      if (auto r = run(sql::kPutEntry, entry, ignore); !r) return r;
      if (!key_lists.empty()) {
        const sql::Param keys[] = {sql::Param::text(key_lists[i]), sql::Param::text(e.rid)};
        if (auto r = run(sql::kPutKeys, keys, ignore); !r) return r;
        continue;
      }
      for (const int64_t key : e.keys) {
        const sql::Param one[] = {sql::Param::int64(key), sql::Param::text(e.rid)};
        if (auto r = run(sql::kPutKeys, one, ignore); !r) return r;
      }
    }
    return {};
  };
  return locked([&] { return transaction(write); });
}

std::expected<std::vector<ReuseCandidate>, StorageError> SqlStore::reuse_candidates(
    std::string_view method, std::span<const int64_t> keys) {
  std::vector<ReuseCandidate> found;
  if (keys.empty()) return found;
  const std::string list = sql::key_list(dialect_, keys);
  const sql::Param params[] = {sql::Param::text(list), sql::Param::text(method)};
  auto done = locked([&] {
    found.clear();
    return run(sql::kCandidates, params,
               [&](const sql::ResultRow& row) { found.push_back({row.bytes(0), row.integer(1)}); });
  });
  if (!done) return std::unexpected(done.error());
  return found;
}

}  // namespace quillmere
