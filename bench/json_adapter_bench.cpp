// receipt_from_json and receipt_to_json of a typical recorded execution receipt
// against one OpenSSL SHA-256 of the same JSON text, measured in the same run;
// prints the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "codec/json_reader.h"
#include "codec/sha256.h"
#include "ratio_reporter.h"
#include "receipts/json_adapter.h"

namespace {

using namespace quillmere;

// As work recording writes it (a parent link, determinism, a trace sequence root).
const std::string kTypical =
    R"({"rid":"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40","version":"0.1.0","kind":"execution",)"
    R"("dom":"sha256:6ad437edfecd783dbc1d82524303060f0d7cb3af62c78872cd0bbde8566c148e",)"
    R"("cod":"sha256:07e0439f7706abe6967ca3b0798051827063d14ed136faf4c4934f86594167ef",)"
    R"("links":["0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"],"ctx":{"policy_ref":null,)"
    R"("timestamp":"2023-11-14T22:13:20.123456+00:00","nonce":null,"determinism":"observational",)"
    R"("identity_ref":null},"payload":{"trace_id":"trace:run-42","method_ref":{"method_id":)"
    R"("normalize-prices","version":"0.1.0","method_shape_root":)"
    R"("sha256:929faa8fc9ef398e3b3ed5d22e70f308b384d891275b9e2b5ecd52b69d6b57b1"},)"
    R"("data_shape_hash":"sha256:6ad437edfecd783dbc1d82524303060f0d7cb3af62c78872cd0bbde8566c148e",)"
    R"("span_commitments":["sha256:6ad437edfecd783dbc1d82524303060f0d7cb3af62c78872cd0bbde8566c148e"],)"
    R"("roots":{"trace_set_root":"sha256:07e0439f7706abe6967ca3b0798051827063d14ed136faf4c4934f86594167ef",)"
    R"("identity_root":"sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",)"
    R"("trace_seq_root":"sha256:07e0439f7706abe6967ca3b0798051827063d14ed136faf4c4934f86594167ef"},)"
    R"("cdf_metadata":null,"prev_execution_rid":"0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"},)"
    R"("attest":null,"sig":null,)"
    R"("hash":"sha256:9c792f3782619fab18eae73484f2340d75675d26eb5e8b11592a5838ef985b09"})";

const Receipt& typical_receipt() {
  static const Receipt receipt = [] {
    auto r = receipt_from_json(kTypical);
    if (!r) std::abort();
    return *r;
  }();
  return receipt;
}

void BM_ReceiptFromJson(benchmark::State& state) {
  for (auto _ : state) {
    auto r = receipt_from_json(kTypical);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTypical.size()));
}
BENCHMARK(BM_ReceiptFromJson);

void BM_ParseJson(benchmark::State& state) {
  for (auto _ : state) {
    auto v = parse_json(kTypical);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTypical.size()));
}
BENCHMARK(BM_ParseJson);

void BM_ReceiptToJson(benchmark::State& state) {
  const Receipt& r = typical_receipt();
  for (auto _ : state) {
    auto text = receipt_to_json(r);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTypical.size()));
}
BENCHMARK(BM_ReceiptToJson);

void BM_Sha256OfJson(benchmark::State& state) {
  for (auto _ : state) {
    auto d = sha256(reinterpret_cast<const uint8_t*>(kTypical.data()), kTypical.size());
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTypical.size()));
}
BENCHMARK(BM_Sha256OfJson);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double reference = reporter.cpu("BM_Sha256OfJson");
  std::printf("receipt JSON text: %zu bytes\n", kTypical.size());
  for (const char* name : {"BM_ReceiptFromJson", "BM_ParseJson", "BM_ReceiptToJson"}) {
    double t = reporter.cpu(name);
    if (t > 0 && reference > 0) {
      std::printf("ratio %s / sha256(json) = %.2f (CPU time)\n", name, t / reference);
    }
  }
  benchmark::Shutdown();
  return 0;
}
