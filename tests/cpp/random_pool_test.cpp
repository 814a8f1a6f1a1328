// Buffered random bytes: no 16-byte draw repeats across draws, threads or a fork, and
// requests of any size are filled.
#include "engine/random_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <set>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

using Block = std::array<uint8_t, 16>;

Block draw() {
  Block b{};
  fill_random(b);
  return b;
}

std::vector<Block> draws(size_t n) {
  std::vector<Block> out(n);
  for (Block& b : out) fill_random(b);
  return out;
}

TEST(FillRandom, DrawsNeverRepeatAcrossBufferRefills) {
  // Several times the buffered amount, so refills happen along the way.
  std::set<Block> seen;
  for (const Block& b : draws(2000)) EXPECT_TRUE(seen.insert(b).second);
}

TEST(FillRandom, ThreadsDrawDifferentBytes) {
  std::vector<std::vector<Block>> per_thread(4);
  std::vector<std::thread> threads;
  for (auto& out : per_thread) threads.emplace_back([&out] { out = draws(500); });
  for (auto& t : threads) t.join();
  std::set<Block> seen;
  for (const auto& blocks : per_thread) {
    for (const Block& b : blocks) EXPECT_TRUE(seen.insert(b).second);
  }
}

TEST(FillRandom, ForkedChildNeverReusesTheParentsBufferedBytes) {
  (void)draw();  // the parent now holds buffered bytes
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr size_t kCount = 64;
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    std::vector<Block> child = draws(kCount);
    const auto* bytes = reinterpret_cast<const char*>(child.data());
    size_t left = child.size() * sizeof(Block);
    while (left > 0) {
      const ssize_t n = ::write(fds[1], bytes, left);
      if (n <= 0) ::_exit(1);
      bytes += n;
      left -= static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::vector<Block> child(kCount);
  auto* bytes = reinterpret_cast<char*>(child.data());
  size_t got = 0;
  while (got < kCount * sizeof(Block)) {
    const ssize_t n = ::read(fds[0], bytes + got, kCount * sizeof(Block) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, kCount * sizeof(Block));

  std::set<Block> parent;
  for (const Block& b : draws(kCount)) parent.insert(b);
  for (const Block& b : child) EXPECT_EQ(parent.count(b), 0u);
}

TEST(FillRandom, FillsRequestsOfEverySize) {
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{16}, size_t{2000}, size_t{5000}, size_t{70000}}) {
    std::vector<uint8_t> a(size, 0), b(size, 0);
    fill_random(a);
    fill_random(b);
    if (size >= 16) {
      EXPECT_NE(a, b) << size;
      // Not left zero-filled: a run of 16 zero bytes is practically impossible.
      EXPECT_NE(std::vector<uint8_t>(a.end() - 16, a.end()), std::vector<uint8_t>(16, 0)) << size;
    }
  }
}

}  // namespace
}  // namespace quillmere
