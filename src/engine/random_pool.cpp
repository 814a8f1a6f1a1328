// One CSPRNG call per few hundred identifiers instead of one per identifier: OpenSSL's
// per-call cost (DRBG locking, fork check, cipher setup) dwarfs producing 16 bytes.
#include "engine/random_pool.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>

namespace quillmere {
namespace {

constexpr size_t kPageSize = 4096;

// Bumped in a fork's child; a buffer filled under another generation is discarded.
std::atomic<uint64_t> g_fork_generation{0};

void on_fork_child() {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

void register_fork_handler() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &on_fork_child); });
}

void os_random(uint8_t* out, size_t len) {
  if (RAND_bytes(out, static_cast<int>(len)) == 1) return;
  size_t filled = 0;
  while (filled < len) {
    const ssize_t n = ::getrandom(out + filled, len - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::system_category(), "no source of random bytes");
    }
    filled += static_cast<size_t>(n);
  }
}

// One page: the count of unread bytes, the generation they were drawn under, and the
// bytes. The page is mapped wipe-on-fork where the kernel allows it, so in a child the
// count reads zero even after a fork that bypassed the fork handlers.
struct Page {
  size_t available;
  uint64_t generation;
  uint8_t bytes[kPageSize - 2 * sizeof(size_t)];
};
static_assert(sizeof(Page) == kPageSize);

class ThreadPool {
 public:
  ThreadPool() {
    register_fork_handler();
    void* mem =
        ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_WIPEONFORK
    (void)::madvise(mem, kPageSize, MADV_WIPEONFORK);  // older kernels: the handler suffices
#endif
    page_ = static_cast<Page*>(mem);  // fresh anonymous memory: available == 0
  }
  ~ThreadPool() {
    OPENSSL_cleanse(page_, kPageSize);
    ::munmap(page_, kPageSize);
  }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void fill(uint8_t* out, size_t len) {
    if (len > sizeof(page_->bytes) / 2) {
      os_random(out, len);  // large requests bypass the buffer
      return;
    }
    const uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
    if (page_->generation != generation || page_->available < len) refill(generation);
    // Hand out from the end and erase what was handed out, so no byte is given twice.
    uint8_t* src = page_->bytes + page_->available - len;
    std::memcpy(out, src, len);
    OPENSSL_cleanse(src, len);
    page_->available -= len;
  }

 private:
  void refill(uint64_t generation) {
    page_->available = 0;  // stays empty if drawing fails
    os_random(page_->bytes, sizeof(page_->bytes));
    page_->generation = generation;
    page_->available = sizeof(page_->bytes);
  }

  Page* page_;
};

}  // namespace

void fill_random(std::span<uint8_t> out) {
  if (out.empty()) return;
  thread_local ThreadPool pool;
  pool.fill(out.data(), out.size());
}

}  // namespace quillmere
