// compute_hash of a typical execution receipt against one OpenSSL SHA-256 of its
// canonical body, measured in the same run; prints the ratio of the two.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "codec/sha256.h"
#include "engine/record.h"
#include "ratio_reporter.h"
#include "receipts/canonical.h"

namespace {

using namespace quillmere;

const Receipt& typical_receipt() {
  static const Receipt receipt = [] {
    JsonObject payload;
    payload.insert("input", JsonValue("s3://bucket/prices/2025-01-02.parquet"));
    payload.insert("rows", JsonValue(uint64_t{48213}));
    auto r = record_work("normalize-prices", JsonValue(std::move(payload)), {"etl"},
                         std::string("trace:run-42"),
                         std::string("0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"));
    if (!r) std::abort();
    return *r;
  }();
  return receipt;
}

const std::vector<uint8_t>& typical_body() {
  static const std::vector<uint8_t> body = *canonical_body(typical_receipt());
  return body;
}

void BM_ComputeHash(benchmark::State& state) {
  const Receipt& r = typical_receipt();
  for (auto _ : state) {
    auto h = compute_hash(r);
    benchmark::DoNotOptimize(h);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * typical_body().size()));
}
BENCHMARK(BM_ComputeHash);

void BM_CanonicalBody(benchmark::State& state) {
  const Receipt& r = typical_receipt();
  for (auto _ : state) {
    auto b = canonical_body(r);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_CanonicalBody);

void BM_Sha256OfBody(benchmark::State& state) {
  const std::vector<uint8_t>& body = typical_body();
  for (auto _ : state) {
    Digest d = sha256(body.data(), body.size());
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_Sha256OfBody);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double hash_real = reporter.real("BM_ComputeHash");
  const double hash_cpu = reporter.cpu("BM_ComputeHash");
  const double sha_real = reporter.real("BM_Sha256OfBody");
  const double sha_cpu = reporter.cpu("BM_Sha256OfBody");
  std::printf("canonical body: %zu bytes\n", typical_body().size());
  if (hash_real > 0 && sha_real > 0 && hash_cpu > 0 && sha_cpu > 0) {
    std::printf(
        "ratio compute_hash / sha256(body) = %.2f (CPU time; real time %.2f; target <= 3)\n",
        hash_cpu / sha_cpu, hash_real / sha_real);
  }
  benchmark::Shutdown();
  return 0;
}
