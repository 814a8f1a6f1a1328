// Listing a store of 10,000 receipts, beside two same-run references: reading the
// same files without parsing (the file system floor) and the generic JSON reader
// over the same bytes. Prints each time and the ratios.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "codec/json_reader.h"
#include "engine/record.h"
#include "ratio_reporter.h"
#include "receipts/json_adapter.h"
#include "storage/filesystem_store.h"

namespace {

using namespace quillmere;
namespace fs = std::filesystem;

constexpr int kReceipts = 10'000;

struct Fixture {
  std::string base;
  std::shared_ptr<FilesystemStore> store;

  Fixture() {
    std::string tmpl = (fs::temp_directory_path() / "qm-bench-XXXXXX").string();
    base = ::mkdtemp(tmpl.data());
    store = FilesystemStore::create(base).value();
    for (int i = 0; i < kReceipts; ++i) {
      JsonObject payload;
      payload.insert("input", JsonValue("data-" + std::to_string(i)));
      payload.insert("rows", JsonValue(int64_t{i} * 17));
      auto r = record_work("workload-" + std::to_string(i % 10), JsonValue(std::move(payload)), {},
                           "trace-" + std::to_string(i % 100), std::nullopt);
      // Seeded with plain writes: durable store_receipt calls would spend minutes in
      // fsync, and the store reads files put there by other means the same way.
      auto text = r ? receipt_to_json(*r) : std::unexpected(AdapterError{});
      if (!text) std::abort();
      const std::string path = store->receipts_dir() + "/" + uuid_to_string(r->rid) + ".json";
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd < 0 || ::write(fd, text->data(), text->size()) != static_cast<ssize_t>(text->size())) {
        std::abort();
      }
      ::close(fd);
    }
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(base, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

template <class Fn>
void for_each_file(const std::string& dir, Fn&& fn) {
  DIR* d = ::opendir(dir.c_str());
  std::string buf(1 << 16, '\0');
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const int fd = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_CLOEXEC);
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    ::close(fd);
    fn(std::string_view(buf.data(), static_cast<size_t>(n)));
  }
  ::closedir(d);
}

void ReadFilesOnly(benchmark::State& state) {
  const std::string dir = fixture().store->receipts_dir();
  for (auto _ : state) {
    size_t total = 0;
    for_each_file(dir, [&](std::string_view text) { total += text.size(); });
    benchmark::DoNotOptimize(total);
  }
}

void ReadAndParseGenericJson(benchmark::State& state) {
  const std::string dir = fixture().store->receipts_dir();
  for (auto _ : state) {
    size_t ok = 0;
    for_each_file(dir, [&](std::string_view text) { ok += parse_json(text).has_value(); });
    if (ok != kReceipts) state.SkipWithError("parse failed");
  }
}

void QueryAll(benchmark::State& state) {
  for (auto _ : state) {
    auto listed = fixture().store->query_receipts({});
    if (!listed || listed->size() != kReceipts) state.SkipWithError("query failed");
  }
}

void QueryByTrace(benchmark::State& state) {
  for (auto _ : state) {
    auto listed = fixture().store->query_receipts({.trace_id = "trace-7"});
    if (!listed || listed->size() != kReceipts / 100) state.SkipWithError("query failed");
  }
}

BENCHMARK(ReadFilesOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadAndParseGenericJson)->Unit(benchmark::kMillisecond);
BENCHMARK(QueryAll)->Unit(benchmark::kMillisecond);
BENCHMARK(QueryByTrace)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fixture();
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // CPU time as well as real time: on a shared machine the latter drifts with load.
  for (bool cpu : {false, true}) {
    auto t = [&](const char* name) { return cpu ? reporter.cpu(name) : reporter.real(name); };
    if (t("QueryAll") == 0 || t("ReadFilesOnly") == 0 || t("ReadAndParseGenericJson") == 0)
      continue;
    std::printf(
        "%d receipts (%s time): query_receipts = %.2f x reading the files, %.2f x reading "
        "+ generic JSON parse\n",
        kReceipts, cpu ? "CPU" : "real", t("QueryAll") / t("ReadFilesOnly"),
        t("QueryAll") / t("ReadAndParseGenericJson"));
  }
  benchmark::Shutdown();
  return 0;
}
