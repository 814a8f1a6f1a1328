// Spreads the chunk digests of a stream over helper threads: the calling thread finds the
// boundaries of each view and passes runs of whole chunks to the helpers, hashing itself
// only the chunks that began in an earlier view; results are folded in stream order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "base/cancellation.h"
#include "shapes/cas.h"
#include "shapes/manifest.h"

namespace quillmere {

// Receives chunks in stream order, with their leaf when a helper already computed it.
class HashedChunkSink : public ChunkSink {
 public:
  virtual void on_hashed_chunk(const ChunkRecord& record, const Digest& leaf) = 0;
};

// The helper threads start on first use, and again in a forked child (which inherits none
// of them). When the system refuses to start some, the pool goes on with those it got,
// down to none: the calling thread then takes every digest itself. The result is the
// same for any number of helpers.
class ChunkHashPool {
 public:
  // `scheme` must have a size above 0; up to `helpers` threads are started.
  ChunkHashPool(ChunkScheme scheme, unsigned helpers);
  ~ChunkHashPool();
  ChunkHashPool(const ChunkHashPool&) = delete;
  ChunkHashPool& operator=(const ChunkHashPool&) = delete;

  // Finds the boundaries in `view` (passed as to StreamingChunker::feed) and hands its whole
  // chunks to the helpers; then waits for the views before it (helping with their work) and
  // passes their chunks to `sink`. `view` must stay intact until the next feed() or drain().
  void feed(std::span<const uint8_t> view, uint64_t view_offset, bool at_end,
            HashedChunkSink& sink);
  // Waits for every view and passes the remaining chunks to `sink`.
  void drain(HashedChunkSink& sink);
  uint64_t retain_from() const;
  // After a failure on the calling thread: waits until no helper touches any view, and
  // drops them. The stream cannot go on after this.
  void abandon();
  // While `token` is cancelled, helpers skip the digests they have not begun (the caller
  // is about to drop the stream); null: never. The token must outlive its use here.
  void set_cancel(const CancelToken* token) { cancel_.store(token, std::memory_order_release); }
  // The helper threads running now (started on the first feed()).
  unsigned running_helpers() const;

 private:
  struct Entry {
    ChunkRecord record;
    Digest leaf;
  };
  struct View;
  struct Batch {
    View* view = nullptr;
    const uint8_t* base = nullptr;  // the byte at stream position base_offset
    uint64_t base_offset = 0;
    bool hashed_here = false;  // digests taken on the calling thread; leaves not yet
    std::vector<Entry> entries;
  };
  struct View {
    std::vector<std::unique_ptr<Batch>> batches;  // in stream order
    size_t pending = 0;                           // batches not yet hashed (under the lock)
  };
  // The threads and what they share; belongs to one process (fork generation).
  struct Crew {
    uint64_t generation = 0;
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable batch_done;
    std::deque<Batch*> queue;
    bool stopping = false;
    std::vector<std::thread> threads;
  };
  class Cutter;

  void hash_batch(Batch& batch) const;
  Crew& crew();
  void stop_crew();
  void submit(Batch* batch);
  void help_until_done(View& view);
  void fold(View& view, HashedChunkSink& sink);
  void helper_loop(Crew& crew);
  // Takes the batch at the front of the crew's queue (not empty, `lock` held), hashes it
  // with the lock released, and counts it done.
  void run_front_batch(Crew& crew, std::unique_lock<std::mutex>& lock) const;
  void hash_upto(std::span<const uint8_t> view, uint64_t view_offset, uint64_t pos);

  BoundaryFinder finder_;
  uint64_t hashed_ = 0;  // bytes of the current chunk before this are in sha_ (or with a helper)
  Sha256 sha_;
  std::deque<std::unique_ptr<View>> views_;  // in flight, oldest first
  unsigned wanted_helpers_;
  std::atomic<const CancelToken*> cancel_{nullptr};
  std::unique_ptr<Crew> crew_;
};

}  // namespace quillmere
