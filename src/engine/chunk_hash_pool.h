// Spreads the chunk digests of a stream over helper threads: the calling thread finds the
// boundaries of each view and passes runs of whole chunks to the helpers, hashing itself
// only the chunks that began in an earlier view; results are folded in stream order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "engine/cas.h"
#include "engine/manifest.h"

namespace quillmere {

// Receives chunks in stream order, with their leaf when a helper already computed it.
class HashedChunkSink : public ChunkSink {
 public:
  virtual void on_hashed_chunk(const ChunkRecord& record, const Digest& leaf) = 0;
};

class ChunkHashPool {
 public:
  // `scheme` must have a size above 0; `helpers` threads are started (at least one).
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
    size_t pending = 0;                           // batches not yet hashed (under mutex_)
  };
  class Cutter;

  static void hash_batch(Batch& batch);
  void submit(Batch* batch);
  void help_until_done(View& view);
  void fold(View& view, HashedChunkSink& sink);
  void helper_loop();
  void hash_upto(std::span<const uint8_t> view, uint64_t view_offset, uint64_t pos);

  BoundaryFinder finder_;
  uint64_t hashed_ = 0;  // bytes of the current chunk before this are in sha_ (or with a helper)
  Sha256 sha_;
  std::deque<std::unique_ptr<View>> views_;  // in flight, oldest first

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable batch_done_;
  std::deque<Batch*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace quillmere
