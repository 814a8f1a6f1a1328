// The SQL stores' table layout and statements, written once for both dialects.
#include "storage/sql_schema.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

#include "base/utf8.h"
#include "receipts/indexed_fields.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_reader.h"
#include "storage/side_tables.h"
#include "storage/warning_line.h"

namespace quillmere::sql {

namespace {

constexpr std::string_view kReceipts = "qm_receipts";

// The filter columns compared as shown texts, through the view's indexes on them.
constexpr std::string_view kShownFilterColumns[] = {"trace_id", "workload_id"};
static_assert((1u << kQueryFilterCount) * 2 == kQueryShapeCount);

// The written columns of a row, in parameter order (seq is assigned by the store).
constexpr std::string_view kRowColumns[] = {"rid",         "workload_id", "trace_id",
                                            "timestamp_s", "policy_ref",  "change_epoch",
                                            "pac",         "hash",        "body"};

std::string placeholder(Dialect dialect, unsigned n) {
  std::string out(dialect == Dialect::Sqlite ? "?" : "$");
  out += std::to_string(n);
  return out;
}

std::string_view bytes_type(Dialect dialect) {
  return dialect == Dialect::Sqlite ? "BLOB" : "BYTEA";
}
std::string_view integer_type(Dialect dialect) {
  return dialect == Dialect::Sqlite ? "INTEGER" : "BIGINT";
}

}  // namespace

std::vector<Param> ReceiptRow::params() const {
  auto optional_blob = [](const std::optional<std::string_view>& v) {
    return v ? Param::blob(*v) : Param::null();
  };
  return {Param::text(rid),
          optional_blob(fields.workload_id),
          optional_blob(fields.trace_id),
          timestamp_s ? Param::int64(*timestamp_s) : Param::null(),
          optional_blob(fields.policy_ref),
          optional_blob(fields.change_epoch),
          optional_blob(fields.pac),
          Param::blob(fields.hash),
          Param::blob(body)};
}

std::expected<ReceiptRow, StorageError> receipt_row(const Receipt& receipt) {
  auto text = receipt_to_json(receipt);
  if (!text) {
    return std::unexpected(
        StorageError::serialization("JSON serialization failed: " + text.error().display()));
  }
  ReceiptRow row;
  row.rid = uuid_to_string(receipt.rid);
  row.body = std::move(*text);
  row.fields = indexed_fields(receipt);
  row.timestamp_s = row.fields.timestamp_s();
  return row;
}

std::string version_table_statement(Dialect dialect) {
  return "CREATE TABLE IF NOT EXISTS qm_schema_version (version " +
         std::string(integer_type(dialect)) + " NOT NULL)";
}

std::string select_version_statement() {
  return "SELECT MAX(version) FROM qm_schema_version";
}

std::string insert_version_statement(Dialect dialect) {
  return "INSERT INTO qm_schema_version (version) VALUES (" + placeholder(dialect, 1) + ")";
}

namespace {

// Version 1: the receipts table, each filter column indexed with seq.
std::vector<std::string> create_receipts_table(Dialect dialect) {
  const std::string bytes(bytes_type(dialect));
  const std::string integer(integer_type(dialect));
  // PostgreSQL numbers rows from an identity sequence; SQLite's writers are
  // serialised, so the store takes the next number inside its write transaction.
  const std::string seq = dialect == Dialect::Postgres
                              ? "seq BIGINT GENERATED ALWAYS AS IDENTITY UNIQUE"
                              : "seq INTEGER NOT NULL UNIQUE";
  std::vector<std::string> out;
  out.push_back("CREATE TABLE " + std::string(kReceipts) + " (rid TEXT NOT NULL PRIMARY KEY, " +
                seq + ", workload_id " + bytes + ", trace_id " + bytes + ", timestamp_s " +
                integer + ", policy_ref " + bytes + ", change_epoch " + bytes + ", pac " + bytes +
                ", hash " + bytes + " NOT NULL, body " + bytes + " NOT NULL)");
  for (std::string_view column :
       {"workload_id", "trace_id", "timestamp_s", "policy_ref", "change_epoch", "pac", "hash"}) {
    out.push_back("CREATE INDEX " + std::string(kReceipts) + "_" + std::string(column) + " ON " +
                  std::string(kReceipts) + " (" + std::string(column) +
                  (column == "hash" ? ")" : ", seq)"));
  }
  return out;
}

// PostgreSQL helpers of the view, created in the tables' schema. qm_text_slow shows a
// value holding anything but ASCII without NUL or backslash (the common case is
// answered inline by shown_text); qm_jsonb converts a body that the inline test
// does not pass, NULL when it is not jsonb (not UTF-8, a NUL, not JSON).
std::vector<std::string> postgres_view_functions() {
  return {
      "CREATE OR REPLACE FUNCTION qm_text_slow(b bytea) RETURNS text LANGUAGE plpgsql "
      "IMMUTABLE STRICT PARALLEL SAFE AS $f$\n"
      "DECLARE t text;\n"
      "BEGIN\n"
      "  IF position(decode('00', 'hex') IN b) = 0 THEN\n"
      "    BEGIN\n"
      "      t := convert_from(b, 'UTF8');\n"
      "    EXCEPTION WHEN OTHERS THEN\n"
      "      t := NULL;\n"
      "    END;\n"
      "    IF t IS NOT NULL AND left(t, 2) <> E'\\\\x' THEN\n"
      "      RETURN t;\n"
      "    END IF;\n"
      "  END IF;\n"
      "  RETURN E'\\\\x' || encode(b, 'hex');\n"
      "END\n"
      "$f$",
      "CREATE OR REPLACE FUNCTION qm_jsonb(b bytea) RETURNS jsonb LANGUAGE plpgsql "
      "IMMUTABLE STRICT PARALLEL SAFE AS $f$\n"
      "BEGIN\n"
      "  RETURN convert_from(b, 'UTF8')::jsonb;\n"
      "EXCEPTION WHEN OTHERS THEN\n"
      "  RETURN NULL;\n"
      "END\n"
      "$f$",
      "CREATE OR REPLACE FUNCTION qm_receipts_read_only() RETURNS trigger LANGUAGE plpgsql AS $f$\n"
      "BEGIN\n"
      "  RAISE EXCEPTION 'the receipts view is read-only: receipts are written through "
      "quillmere';\n"
      "END\n"
      "$f$",
  };
}

// A byte string literal of `text`.
std::string bytes_literal(Dialect dialect, std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : text) {
    hex += kHexDigits[c >> 4];
    hex += kHexDigits[c & 0xF];
  }
  return dialect == Dialect::Sqlite ? "X'" + hex + "'" : "decode('" + hex + "', 'hex')";
}

// The view's columns read from the body. The kind and the links are cut straight from
// the text when it begins as the store's JSON writer writes it ({"rid":"<36>","version":"
// first, then "kind", "dom", "cod" and "links"; a JSON string holds no bare quote, so the
// first `","kind":"` and `","links":[` are those keys); any other text goes through the
// database's JSON functions.
struct ViewColumns {
  std::string kind;
  std::string parents;
  std::string timestamp;
  std::string body;
  std::string body_text;
};

ViewColumns view_columns(Dialect dialect) {
  ViewColumns c;
  c.body_text = shown_text(dialect, "body");
  // Bytes, not text: offsets into a blob are not counted in characters.
  const bool sqlite = dialect == Dialect::Sqlite;
  auto body_bytes = [&](const std::string& from, const std::string& count) {
    return sqlite ? "substr(body, " + from + ", " + count + ")"
                  : "substring(body FROM " + from + " FOR " + count + ")";
  };
  auto position_in_body = [&](std::string_view text) {
    return sqlite ? "instr(body, " + bytes_literal(dialect, text) + ")"
                  : "position(" + bytes_literal(dialect, text) + " IN body)";
  };
  const std::string ours = body_bytes("1", "8") + " = " + bytes_literal(dialect, "{\"rid\":\"") +
                           " AND " + body_bytes("45", "13") + " = " +
                           bytes_literal(dialect, "\",\"version\":\"");
  const std::string k = position_in_body("\",\"kind\":\"");
  const std::string l = position_in_body("\",\"links\":[");
  if (sqlite) {
    c.body = "CASE WHEN instr(body, X'00') = 0 THEN CAST(body AS TEXT) END";
    c.kind = "CASE WHEN " + ours + " AND " + k + " > 0 THEN CAST(substr(body, " + k +
             " + 10, max(instr(substr(body, " + k + " + 10, 64), X'22') - 1, 0)) AS TEXT) " +
             "ELSE json_extract(" + c.body + ", '$.kind') END";
    c.parents = "CASE WHEN " + ours + " AND " + l + " > 0 THEN CAST(substr(body, " + l +
                " + 10, max(instr(substr(body, " + l + " + 10), X'5D'), 0)) AS TEXT) " +
                "ELSE json_extract(" + c.body + ", '$.links') END";
    c.timestamp = "strftime('%Y-%m-%dT%H:%M:%SZ', timestamp_s, 'unixepoch')";
  } else {
    // ASCII JSON without a backslash converts inline; anything else through qm_jsonb.
    const std::string plain = "encode(body, 'escape')";
    c.body = "CASE WHEN strpos(" + plain +
             ", E'\\\\') = 0 AND substring(body FROM 1 FOR 1) = " + bytes_literal(dialect, "{") +
             " THEN (" + plain + ")::jsonb ELSE qm_jsonb(body) END";
    c.kind = "CASE WHEN " + ours + " AND " + k + " > 0 THEN encode(substring(body FROM " + k +
             " + 10 FOR greatest(position(" + bytes_literal(dialect, "\"") +
             " IN substring(body FROM " + k + " + 10 FOR 64)) - 1, 0)), 'escape') ELSE (" + c.body +
             ") ->> 'kind' END";
    c.parents = "CASE WHEN " + ours + " AND " + l +
                " > 0 THEN string_to_array(replace(encode(substring(body FROM " + l +
                " + 11 FOR greatest(position(" + bytes_literal(dialect, "]") +
                " IN substring(body FROM " + l + " + 11)) - 1, 0)), 'escape'), '\"', ''), ',') " +
                "WHEN jsonb_typeof((" + c.body + ") -> 'links') = 'array' THEN ARRAY(SELECT " +
                "jsonb_array_elements_text((" + c.body + ") -> 'links')) END";
    c.timestamp = "to_timestamp(timestamp_s)";
  }
  return c;
}

std::string view_statement(Dialect dialect, const ViewColumns& c) {
  return "CREATE VIEW receipts AS SELECT seq, rid, " + c.kind + " AS kind, " +
         shown_text(dialect, "workload_id") + " AS workload_id, " +
         shown_text(dialect, "trace_id") + " AS trace_id, " + c.timestamp + " AS timestamp, " +
         shown_text(dialect, "hash") + " AS hash, " + c.parents + " AS parent_rids, " + c.body +
         " AS body, " + c.body_text + " AS body_text FROM " + std::string(kReceipts);
}

std::string read_only_trigger() {
  return "CREATE TRIGGER receipts_read_only INSTEAD OF INSERT OR UPDATE OR DELETE ON receipts "
         "FOR EACH ROW EXECUTE FUNCTION qm_receipts_read_only()";
}

// Version 2: the view; the trace and workload indexes on the shown text (serving the
// store's filters and the view's alike); the rarely set filter columns indexed only
// where present; no index on hash, which nothing filters on.
std::vector<std::string> add_receipts_view(Dialect dialect) {
  std::vector<std::string> out;
  const std::string table(kReceipts);
  for (std::string_view column :
       {"workload_id", "trace_id", "policy_ref", "change_epoch", "pac", "hash"}) {
    out.push_back("DROP INDEX IF EXISTS " + table + "_" + std::string(column));
  }
  if (dialect == Dialect::Postgres) {
    for (std::string& f : postgres_view_functions()) out.push_back(std::move(f));
  }
  for (std::string_view column : {"trace_id", "workload_id"}) {
    out.push_back("CREATE INDEX " + table + "_" + std::string(column) + "_text ON " + table +
                  " ((" + shown_text(dialect, column) + "), seq)");
  }
  for (std::string_view column : {"policy_ref", "change_epoch", "pac"}) {
    const std::string c(column);
    out.push_back("CREATE INDEX " + table + "_" + c + " ON " + table + " (" + c + ", seq) WHERE " +
                  c + " IS NOT NULL");
  }
  out.push_back(view_statement(dialect, view_columns(dialect)));
  if (dialect == Dialect::Postgres) out.push_back(read_only_trigger());
  return out;
}

// Version 3: the manifest and reuse index tables, and in SQLite the view's costly columns
// kept at write time so that reading the view converts nothing: the store fills
// kind_text and links_json (cut from the body as the view would) and body_clean (1: the
// body is its own shown text); rows written before, or by other writers, leave them NULL
// and the view computes those columns from the body as before.
std::vector<std::string> view_reads_stored_columns(Dialect dialect) {
  std::vector<std::string> out = create_side_tables(dialect);
  if (dialect == Dialect::Postgres) return out;
  const std::string table(kReceipts);
  for (const char* column : {"kind_text TEXT", "links_json TEXT", "body_clean INTEGER"}) {
    out.push_back("ALTER TABLE " + table + " ADD COLUMN " + column);
  }
  // The kept columns hold while the body keeps the length they were written for (a blob's
  // length is read from the row header, not from the blob).
  ViewColumns c = view_columns(dialect);
  const std::string kept = "body_clean = length(body)";
  c.kind =
      "CASE WHEN " + kept + " AND kind_text IS NOT NULL THEN kind_text ELSE " + c.kind + " END";
  c.parents = "CASE WHEN " + kept + " AND links_json IS NOT NULL THEN links_json ELSE " +
              c.parents + " END";
  c.body = "CASE WHEN " + kept + " THEN CAST(body AS TEXT) ELSE " + c.body + " END";
  c.body_text = "CASE WHEN " + kept + " THEN CAST(body AS TEXT) ELSE " + c.body_text + " END";
  out.push_back("DROP VIEW receipts");
  out.push_back(view_statement(dialect, c));
  return out;
}

// Version 4: PostgreSQL keeps body_clean too (there the body must also be UTF-8 to be its
// own shown text), so that the view shows such a body with one conversion instead of
// escaping it twice; rows written before, or by other writers, leave it NULL and take the
// expression as before. SQLite has nothing to add.
std::vector<std::string> postgres_reads_body_clean(Dialect dialect) {
  if (dialect == Dialect::Sqlite) return {};
  ViewColumns c = view_columns(dialect);
  c.body_text = "CASE WHEN body_clean = octet_length(body) THEN convert_from(body, 'UTF8') ELSE " +
                c.body_text + " END";
  return {"ALTER TABLE " + std::string(kReceipts) + " ADD COLUMN body_clean BIGINT",
          "DROP VIEW receipts", view_statement(dialect, c), read_only_trigger()};
}

}  // namespace

std::string shown_text(Dialect dialect, std::string_view operand) {
  const std::string v(operand);
  if (dialect == Dialect::Postgres) {
    // ASCII without NUL or backslash is its own text (encode leaves it unchanged).
    return "CASE WHEN strpos(encode(" + v + ", 'escape'), E'\\\\') = 0 THEN encode(" + v +
           ", 'escape') ELSE qm_text_slow(" + v + ") END";
  }
  // SQLite keeps any bytes in a text value: NUL is what stops its text functions, and
  // the \x prefix is what keeps the shown form one-to-one.
  return "CASE WHEN " + v + " IS NULL THEN NULL WHEN instr(" + v + ", X'00') = 0 AND substr(" + v +
         ", 1, 2) IS NOT X'5C78' THEN CAST(" + v + " AS TEXT) ELSE '\\x' || lower(hex(" + v +
         ")) END";
}

std::vector<SchemaStep> schema_steps(Dialect dialect) {
  return {{1, create_receipts_table(dialect)},
          {2, add_receipts_view(dialect)},
          {3, view_reads_stored_columns(dialect)},
          {4, postgres_reads_body_clean(dialect)}};
}

StoredViewColumns stored_view_columns(std::string_view body) {
  StoredViewColumns out;
  out.body_clean = body.find('\0') == std::string_view::npos && !body.starts_with("\\x");
  out.body_length = static_cast<int64_t>(body.size());
  // As the view's expressions: only a body that begins as the JSON writer writes it.
  if (!(body.starts_with("{\"rid\":\"") && body.size() >= 57 &&
        body.substr(44, 13) == "\",\"version\":\"")) {
    return out;
  }
  constexpr std::string_view kKind = "\",\"kind\":\"";
  if (const size_t k = body.find(kKind); k != std::string_view::npos) {
    const size_t start = k + kKind.size();
    const std::string_view window = body.substr(start, 64);
    if (const size_t quote = window.find('"'); quote != std::string_view::npos) {
      out.kind_text = window.substr(0, quote);
    }
  }
  constexpr std::string_view kLinks = "\",\"links\":";
  if (const size_t l = body.find("\",\"links\":["); l != std::string_view::npos) {
    const size_t start = l + kLinks.size();
    if (const size_t end = body.find(']', start); end != std::string_view::npos) {
      out.links_json = body.substr(start, end - start + 1);
    }
  }
  return out;
}

Param postgres_body_clean(std::string_view body) {
  const bool clean =
      body.find('\0') == std::string_view::npos && !body.starts_with("\\x") && utf8::is_valid(body);
  return clean ? Param::int64(static_cast<int64_t>(body.size())) : Param::null();
}

std::vector<Param> StoredViewColumns::params() const {
  return {kind_text ? Param::text(*kind_text) : Param::null(),
          links_json ? Param::text(*links_json) : Param::null(),
          body_clean ? Param::int64(body_length) : Param::null()};
}

std::string last_seq_statement() {
  return "SELECT COALESCE(MAX(seq), 0) FROM " + std::string(kReceipts);
}

std::string upsert_statement(Dialect dialect) {
  std::string columns;
  std::string values;
  std::string updates;
  unsigned n = 0;
  for (std::string_view column : kRowColumns) {
    ++n;
    if (n > 1) {
      columns += ", ";
      values += ", ";
    }
    columns += column;
    values += placeholder(dialect, n);
    if (column != "rid") {
      if (!updates.empty()) updates += ", ";
      updates += std::string(column) + " = excluded." + std::string(column);
    }
  }
  if (dialect == Dialect::Sqlite) {
    for (std::string_view column : {"kind_text", "links_json", "body_clean"}) {
      columns += ", " + std::string(column);
      values += ", " + placeholder(dialect, ++n);
      updates += ", " + std::string(column) + " = excluded." + std::string(column);
    }
    columns += ", seq";
    values += ", " + placeholder(dialect, n + 1);
  } else {
    columns += ", body_clean";
    values += ", " + placeholder(dialect, ++n);
    updates += ", body_clean = excluded.body_clean";
  }
  return "INSERT INTO " + std::string(kReceipts) + " (" + columns + ") VALUES (" + values +
         ") ON CONFLICT (rid) DO UPDATE SET " + updates;
}

QueryShape query_shape(const ReceiptQuery& query) {
  QueryShape shape;
  all_query_filters([&](const auto& filter, unsigned i) {
    if (filter.present(query)) shape.filters |= 1u << i;
    return true;
  });
  shape.paged = sql_limit(query.limit).has_value();
  return shape;
}

std::string select_statement(Dialect dialect, QueryShape shape) {
  std::string sql = "SELECT rid, body FROM " + std::string(kReceipts);
  unsigned n = 0;
  all_query_filters([&](const auto& filter, unsigned i) {
    if (!(shape.filters & (1u << i))) return true;
    sql += n == 0 ? " WHERE " : " AND ";
    const std::string param = placeholder(dialect, ++n);
    if (std::ranges::find(kShownFilterColumns, filter.column) != std::end(kShownFilterColumns)) {
      sql += "(" + shown_text(dialect, filter.column) + ") = (" + shown_text(dialect, param) + ")";
      return true;
    }
    static constexpr std::string_view kOperators[] = {"=", ">=", "<="};  // in Compare order
    sql += filter.column;
    sql += ' ';
    sql += kOperators[static_cast<size_t>(filter.compare)];
    sql += ' ';
    sql += param;
    return true;
  });
  sql += " ORDER BY seq";
  if (shape.paged) {
    sql += " LIMIT " + placeholder(dialect, n + 1);
    sql += " OFFSET " + placeholder(dialect, n + 2);
  }
  return sql;
}

std::string rid_range_statement(Dialect dialect) {
  const std::string lower = placeholder(dialect, 1);
  // The range alone is exact in byte order; the prefix test keeps it exact under a
  // collation that orders hyphens otherwise.
  return "SELECT rid, body FROM " + std::string(kReceipts) + " WHERE rid >= " + lower +
         " AND rid < " + placeholder(dialect, 2) + " AND substr(rid, 1, length(" + lower +
         ")) = " + lower + " ORDER BY rid LIMIT " + placeholder(dialect, 3);
}

std::vector<Param> filter_params(const ReceiptQuery& query) {
  std::vector<Param> out;
  all_query_filters([&](const auto& filter, unsigned) {
    if (!filter.present(query)) return true;
    const auto value = filter.value(query);
    if constexpr (std::is_same_v<decltype(value), const std::string_view>) {
      out.push_back(Param::blob(value));
    } else {
      out.push_back(Param::int64(value));
    }
    return true;
  });
  return out;
}

std::optional<int64_t> sql_limit(std::optional<uint64_t> limit) {
  if (!limit || *limit > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(*limit);
}

bool read_stored_receipt(const StoredRow& row, Receipt& out) {
  if (read_receipt_direct(row.body, out)) return true;
  // The one-pass reading has declined the text: the general reading alone follows.
  auto receipt = receipt_from_json_tree(row.body);
  if (!receipt) {
    write_warning_line("Warning: Failed to parse stored receipt ", row.rid,
                       receipt.error().display());
    return false;
  }
  out = std::move(*receipt);
  return true;
}

}  // namespace quillmere::sql
