// The three receipt stores over 100,000 receipts, in one run: listing one trace of
// 100 receipts from SQLite and PostgreSQL against the filesystem store's directory
// scan, a 10,000-receipt batch against 10,000 single filesystem stores, and the
// latency of one durable store in each. PostgreSQL is measured when QM_BENCH_PG_URL
// (or QM_TEST_PG_URL) names a server; the benchmark works in a schema of its own.
//
//   nice -n 10 build/release/bench/store_bench [receipts]
#include <fcntl.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/record.h"
#include "receipts/json_adapter.h"
#include "storage/filesystem_store.h"
#include "storage/postgres_store.h"
#include "storage/sqlite_store.h"

namespace {

using namespace quillmere;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kTraceSize = 100;
constexpr int kBatch = 10'000;
constexpr int kLatencySamples = 200;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "store_bench: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T need(std::expected<T, StorageError> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().display());
  return std::move(*r);
}
void need(std::expected<void, StorageError> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().display());
}

std::string trace_name(int t) {
  return "trace-" + std::to_string(t);
}

// Receipts as recorded, `kTraceSize` per trace.
std::vector<Receipt> make_receipts(int count, int first_trace) {
  std::vector<Receipt> out;
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    JsonObject payload;
    payload.insert("input", JsonValue("data-" + std::to_string(i)));
    payload.insert("rows", JsonValue(int64_t{i} * 17));
    auto r = record_work("workload-" + std::to_string(i % 10), JsonValue(std::move(payload)), {},
                         trace_name(first_trace + i / kTraceSize), std::nullopt);
    if (!r) die("record_work failed");
    out.push_back(std::move(*r));
  }
  // Interleave the traces, so that one trace's receipts are spread over the store.
  std::vector<Receipt> spread;
  spread.reserve(out.size());
  const int traces = (count + kTraceSize - 1) / kTraceSize;
  for (int k = 0; k < kTraceSize; ++k) {
    for (int t = 0; t < traces; ++t) {
      const size_t i = static_cast<size_t>(t) * kTraceSize + static_cast<size_t>(k);
      if (i < out.size()) spread.push_back(std::move(out[i]));
    }
  }
  return spread;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Median seconds of `runs` calls of `f(i)`.
double time_median(int runs, const std::function<void(int)>& f) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    f(i);
    times.push_back(seconds_since(start));
  }
  return median(times);
}

void pg_exec(const std::string& url, const std::string& sql) {
  PGconn* conn = PQconnectdb(url.c_str());
  if (PQstatus(conn) != CONNECTION_OK) die(PQerrorMessage(conn));
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  PGresult* r = PQexec(conn, sql.c_str());
  if (PQresultStatus(r) != PGRES_COMMAND_OK) die(PQresultErrorMessage(r));
  PQclear(r);
  PQfinish(conn);
}

struct Subject {
  std::string name;
  std::shared_ptr<ReceiptStore> store;
  double list_s = 0;
  double batch_s = 0;
  double single_s = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int total = argc > 1 ? std::atoi(argv[1]) : 100'000;
  if (total < kTraceSize) die("at least 100 receipts");
  std::string tmpl = (fs::temp_directory_path() / "qm-store-bench-XXXXXX").string();
  const std::string dir = ::mkdtemp(tmpl.data());

  const char* pg_env = std::getenv("QM_BENCH_PG_URL");
  if (pg_env == nullptr || *pg_env == '\0') pg_env = std::getenv("QM_TEST_PG_URL");
  const std::string pg_base = pg_env != nullptr ? pg_env : "";
  const std::string schema = "qm_bench_" + std::to_string(::getpid());
  std::string pg_url;
  if (!pg_base.empty()) {
    pg_exec(pg_base, "CREATE SCHEMA " + schema);
    pg_url = pg_base + (pg_base.find('?') == std::string::npos ? "?" : "&") +
             "options=-csearch_path%3D" + schema;
  }

  std::printf("recording %d receipts (%d traces of %d)...\n", total, total / kTraceSize,
              kTraceSize);
  const std::vector<Receipt> receipts = make_receipts(total, 0);
  const std::vector<Receipt> batch = make_receipts(kBatch, total / kTraceSize + 1);

  std::vector<Subject> subjects;
  auto fs_store = need(FilesystemStore::create(dir + "/fs"), "filesystem store");
  subjects.push_back({"filesystem", fs_store});
  subjects.push_back({"sqlite", need(SqliteStore::create(dir + "/receipts.db"), "sqlite")});
  if (!pg_url.empty()) {
    subjects.push_back({"postgresql", need(PostgresStore::create(pg_url), "postgresql")});
  }

  // Seeding: the filesystem store by plain writes (durable single stores of 100,000
  // receipts would take many minutes of fsync), the SQL stores in batches.
  for (const Receipt& r : receipts) {
    const std::string text = *receipt_to_json(r);
    const std::string path = fs_store->receipts_dir() + "/" + uuid_to_string(r.rid) + ".json";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      die("seeding " + path);
    }
    ::close(fd);
  }
  ::sync();
  for (size_t s = 1; s < subjects.size(); ++s) {
    for (size_t i = 0; i < receipts.size(); i += kBatch) {
      const size_t n = std::min<size_t>(kBatch, receipts.size() - i);
      need(subjects[s].store->store_receipts(std::span(receipts).subspan(i, n)), "seeding");
    }
  }

  // Listing one trace.
  for (Subject& s : subjects) {
    const int runs = s.name == "filesystem" ? 3 : 50;
    s.list_s = time_median(runs, [&](int i) {
      auto got = s.store->query_receipts({.trace_id = trace_name(i * 7 % (total / kTraceSize))});
      if (!got || got->size() != kTraceSize) die(s.name + ": wrong listing");
    });
  }

  // Single durable stores: the latency of one, and 10,000 of them into the
  // filesystem store as the reference for the batches.
  for (Subject& s : subjects) {
    const std::vector<Receipt> singles = make_receipts(kLatencySamples, 900'000);
    s.single_s = time_median(kLatencySamples, [&](int i) {
      need(s.store->store_receipt(singles[static_cast<size_t>(i)]), "single store");
    });
  }
  std::printf("storing %d receipts one by one into the filesystem store...\n", kBatch);
  auto start = Clock::now();
  for (const Receipt& r : batch) need(fs_store->store_receipt(r), "filesystem single store");
  const double fs_singles_s = seconds_since(start);

  for (Subject& s : subjects) {
    const std::vector<Receipt> fresh = make_receipts(kBatch, 800'000);
    start = Clock::now();
    need(s.store->store_receipts(fresh), "batch store");
    s.batch_s = seconds_since(start);
  }

  const double fs_list_s = subjects[0].list_s;
  std::printf("\n%d receipts; times are medians\n", total);
  std::printf("%-12s %16s %14s %20s %18s\n", "store", "list 1 trace", "vs filesystem",
              "batch of 10,000", "vs 10,000 singles");
  for (const Subject& s : subjects) {
    std::printf("%-12s %13.3f ms %13.0fx %17.3f s %17.1fx\n", s.name.c_str(), s.list_s * 1e3,
                fs_list_s / s.list_s, s.batch_s, fs_singles_s / s.batch_s);
  }
  std::printf("10,000 single filesystem stores: %.2f s\n", fs_singles_s);
  std::printf("single durable store latency: ");
  for (const Subject& s : subjects) std::printf("%s %.2f ms  ", s.name.c_str(), s.single_s * 1e3);
  std::printf("\n");
  if (pg_url.empty()) std::printf("postgresql: not measured (set QM_BENCH_PG_URL)\n");

  subjects.clear();
  if (!pg_url.empty()) pg_exec(pg_base, "DROP SCHEMA " + schema + " CASCADE");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
