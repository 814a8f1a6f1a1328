// The native part of recording a small payload, against one OpenSSL SHA-256 of the
// receipt's canonical body measured in the same run (the hashing no recording can
// avoid); prints the ratio, and the cost of each step.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "codec/jcs_text.h"
#include "codec/json_reader.h"
#include "codec/json_text.h"
#include "codec/sha256.h"
#include "engine/random_pool.h"
#include "engine/record.h"
#include "ratio_reporter.h"
#include "receipts/canonical.h"

namespace {

using namespace quillmere;

// What json.dumps gives for the Python benchmark's small payload.
constexpr std::string_view kDumped =
    R"({"input": "data", "rows": 1200, "columns": ["id", "price", "currency"]})";

std::string canonical_payload() {
  std::string text;
  if (!append_jcs_of_text(text, kDumped)) std::abort();
  return text;
}

const std::vector<uint8_t>& typical_body() {
  static const std::vector<uint8_t> body = [] {
    auto r = record_work_jcs("bench", canonical_payload(), std::nullopt, std::nullopt);
    if (!r) std::abort();
    return *canonical_body(*r);
  }();
  return body;
}

void BM_RecordWorkJcs(benchmark::State& state) {
  const std::string text = canonical_payload();
  for (auto _ : state) {
    auto r = record_work_jcs("bench", text, std::nullopt, std::nullopt);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_RecordWorkJcs);

void BM_JcsOfText(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    auto r = append_jcs_of_text(out, kDumped);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_JcsOfText);

void BM_ParseThenWrite(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    auto v = parse_json(kDumped);
    append_json(out, *v);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_ParseThenWrite);

void BM_RandomIdentifier(benchmark::State& state) {
  Uuid id;
  for (auto _ : state) {
    fill_random(id);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_RandomIdentifier);

void BM_Sha256OfBody(benchmark::State& state) {
  const std::vector<uint8_t>& body = typical_body();
  for (auto _ : state) {
    Digest d = sha256(body.data(), body.size());
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_Sha256OfBody);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double record = reporter.cpu("BM_RecordWorkJcs");
  const double sha = reporter.cpu("BM_Sha256OfBody");
  std::printf("canonical body: %zu bytes\n", typical_body().size());
  if (record > 0 && sha > 0) {
    std::printf("ratio record_work_jcs / sha256(body) = %.2f (CPU time; target <= 2)\n",
                record / sha);
  }
  benchmark::Shutdown();
  return 0;
}
