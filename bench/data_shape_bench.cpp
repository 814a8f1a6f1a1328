// Data shape hash throughput against single-pass OpenSSL SHA-256 over the same bytes, and
// the peak memory of the file function, measured in a fresh process.
//
//   data_shape_bench [--size-mib N] [--dir D] [--runs R]
//
// Writes N MiB (default 1024) of random bytes to a file in D (default /tmp), prints MB/s
// of SHA-256, the bytes function and the file function (best of R runs, file in page
// cache; CPU time of the measuring thread) with their ratios to SHA-256, then the file function's
// peak RSS above the process's baseline for the default scheme and for CDC avg_size 16.
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "codec/sha256.h"
#include "shapes/data_shape.h"

namespace {

using namespace quillmere;

// VmHWM (peak resident set) of this process in KiB.
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// CPU time of this thread (user + system, so the file function's reads count): on a
// shared machine wall time mostly measures the neighbours.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class F>
double seconds(F&& body) {
  const double t0 = cpu_seconds();
  body();
  return cpu_seconds() - t0;
}

ChunkScheme parse_scheme(const char* text) {
  const unsigned long long n = std::strtoull(text + 1, nullptr, 10);
  return text[0] == 'f' ? ChunkScheme::fixed(n) : ChunkScheme::cdc(n);
}

// Child mode: hash the file once and print the peak RSS growth in KiB.
int measure_rss(const char* path, const char* scheme) {
  const long before = peak_rss_kib();
  auto h = compute_data_shape_hash_from_file(path, parse_scheme(scheme));
  const long after = peak_rss_kib();
  if (!h) {
    std::fprintf(stderr, "%s\n", h.error().display().c_str());
    return 1;
  }
  std::printf("%ld\n", after - before);
  return 0;
}

long rss_in_child(const std::string& path, const char* scheme) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return -1;
  exe[n] = '\0';
  const std::string cmd = std::string("'") + exe + "' --rss-child '" + path + "' " + scheme;
  FILE* pipe = popen(cmd.c_str(), "r");
  long kib = -1;
  if (pipe == nullptr || std::fscanf(pipe, "%ld", &kib) != 1) kib = -1;
  if (pipe != nullptr) pclose(pipe);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--rss-child") == 0) return measure_rss(argv[2], argv[3]);
  size_t size_mib = 1024;
  std::string dir = "/tmp";
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size-mib") == 0) size_mib = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  const size_t size = size_mib << 20;
  std::vector<uint8_t> data(size);
  for (size_t pos = 0; pos < size; pos += 1 << 24) {
    RAND_bytes(data.data() + pos, static_cast<int>(std::min<size_t>(1 << 24, size - pos)));
  }
  const std::string path = dir + "/qm-data-shape-bench-" + std::to_string(getpid()) + ".bin";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
  }

  // Rounds alternate the three measurements, so a busy spell on the machine hits all alike.
  std::string sink;
  double sha_s = 1e300, bytes_s = 1e300, file_s = 1e300;
  for (int r = 0; r < runs; ++r) {
    sha_s = std::min(sha_s, seconds([&] { sink = hash_string(sha256(data.data(), size)); }));
    bytes_s = std::min(bytes_s, seconds([&] { sink = *compute_data_shape_hash_from_bytes(data); }));
    file_s = std::min(file_s, seconds([&] { sink = *compute_data_shape_hash_from_file(path); }));
  }
  const auto mbps = [&](double s) { return static_cast<double>(size) / s / 1e6; };
  std::printf("input: %zu MiB of random bytes, best of %d runs, default scheme CDC 65536\n",
              size_mib, runs);
  std::printf("  SHA-256 single pass      %8.1f MB/s\n", mbps(sha_s));
  std::printf("  data shape, bytes        %8.1f MB/s   ratio to SHA-256 %.3f\n", mbps(bytes_s),
              sha_s / bytes_s);
  std::printf("  data shape, file         %8.1f MB/s   ratio to SHA-256 %.3f\n", mbps(file_s),
              sha_s / file_s);
  struct Scheme {
    const char* label;
    const char* arg;
  };
  for (const Scheme& s : {Scheme{"CDC 65536", "c65536"}, Scheme{"CDC 16", "c16"}}) {
    std::printf("  file peak RSS above baseline, %-9s %7.1f MiB\n", s.label,
                static_cast<double>(rss_in_child(path, s.arg)) / 1024.0);
  }
  std::remove(path.c_str());
  return 0;
}
