// Work that outlives a fork or is cancelled: a child finds held locks usable and helper
// threads started anew with the same results; a cancelled token stops a build, helpers
// included, and a child token stops with its parent.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "base/cancellation.h"
#include "base/fork_safe.h"
#include "shapes/shape_stream.h"

namespace quillmere {
namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> out(n);
  uint32_t x = 12345;
  for (auto& b : out) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
  return out;
}

// Forks, runs `child` there (its result is the exit status), and waits for it; a child that
// has not ended within 20 s counts as hung.
template <class F>
int in_child(F&& child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child() ? 0 : 1);
  for (int waited_ms = 0; waited_ms < 20'000; waited_ms += 10) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -2;
}

TEST(ForkSafeMutex, AChildCanTakeALockAnotherThreadHeldAtTheFork) {
  ForkSafeMutex held;
  ForkSafeMutex free;
  std::mutex release;
  release.lock();
  std::thread holder([&] {
    std::lock_guard guard(held);
    std::lock_guard wait(release);  // keeps `held` through the fork
  });
  while (held.try_lock()) held.unlock();  // until the holder has it
  EXPECT_EQ(in_child([&] {
              std::lock_guard a(held);
              std::lock_guard b(free);
              return held.torn() && !free.torn() && fork_generation() > 0;
            }),
            0);
  release.unlock();
  holder.join();
  EXPECT_FALSE(held.torn());
}

TEST(ShapeStreamFork, HelpersStartAgainInAChildWithTheSameResult) {
  const std::vector<uint8_t> data = pattern(6'000'000);
  const ChunkScheme scheme = ChunkScheme::cdc(4096);
  ShapeStream stream(scheme, true, 4);
  stream.update(std::span(data).first(2'000'000));
  ASSERT_GT(stream.running_helpers(), 0u);
  const CompactManifest whole = *build_manifest(data, scheme, 1);
  EXPECT_EQ(in_child([&] {
              stream.update(std::span(data).subspan(2'000'000));
              const CompactManifest m = stream.finish();
              return m.root == whole.root && m.chunks.size() == whole.chunks.size() &&
                     stream.running_helpers() > 0;
            }),
            0);
}

TEST(Cancellation, ACancelledTokenStopsABuildAndItsChildren) {
  const std::vector<uint8_t> data = pattern(8'000'000);
  auto parent = std::make_shared<CancelToken>();
  CancelToken child(parent);
  EXPECT_FALSE(child.cancelled());
  parent->cancel();
  EXPECT_TRUE(child.cancelled());
  for (unsigned workers : {2u, 3u}) {
    const auto built =
        build_manifest(data, ChunkScheme::cdc(4096), workers, Interruption{{}, {}, &child});
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error().kind, ShapeError::Kind::Interrupted);
  }
  ShapeStream stream(ChunkScheme::fixed(1000), false, 2);
  EXPECT_FALSE(stream.update(data, Interruption{{}, {}, &child}));
  EXPECT_TRUE(stream.broken());
}

TEST(Cancellation, TheCurrentInterruptionIsScopedToItsThread) {
  CancelToken token;
  token.cancel();
  const Interruption interrupt{{}, {}, &token};
  EXPECT_FALSE(current_interruption()());
  {
    const InterruptionScope scope(interrupt);
    EXPECT_TRUE(current_interruption()());
    bool other = true;
    std::thread([&] { other = current_interruption()(); }).join();
    EXPECT_FALSE(other);
  }
  EXPECT_FALSE(current_interruption()());
}

}  // namespace
}  // namespace quillmere
