// The helper threads of parallel shape hashing.
#include "shapes/chunk_hash_pool.h"

#include <algorithm>
#include <cassert>
#include <system_error>

#include "base/fork_safe.h"

namespace quillmere {
namespace {
// A run handed to a helper closes at this many bytes or chunks (small runs cost a lock
// round trip each; large ones leave the other threads idle at the end of a view).
constexpr uint64_t kBatchBytes = uint64_t{256} << 10;
constexpr size_t kBatchChunks = 4096;
}  // namespace

class ChunkHashPool::Cutter final : public BoundaryFinder::CutSink {
 public:
  Cutter(ChunkHashPool& pool, View& view, std::span<const uint8_t> data, uint64_t offset)
      : pool_(pool), view_(view), data_(data), offset_(offset) {}

  void on_cut(uint64_t start, uint64_t end) override {
    if (pool_.hashed_ == start && start >= offset_) {
      // A whole chunk in view that nothing has hashed yet: a helper's.
      if (open_ == nullptr) {
        auto batch = std::make_unique<Batch>();
        batch->view = &view_;
        batch->base = data_.data();
        batch->base_offset = offset_;
        open_ = batch.get();
        open_bytes_ = 0;
        view_.batches.push_back(std::move(batch));
      }
      open_->entries.push_back(Entry{ChunkRecord{start, end - start, {}}, {}});
      open_bytes_ += end - start;
      pool_.hashed_ = end;
      if (open_bytes_ >= kBatchBytes || open_->entries.size() >= kBatchChunks) close();
      return;
    }
    // A chunk begun in an earlier view: finished here, from the running digest.
    close();
    pool_.hash_upto(data_, offset_, end);
    if (view_.batches.empty() || !view_.batches.back()->hashed_here) {
      auto batch = std::make_unique<Batch>();
      batch->view = &view_;
      batch->hashed_here = true;
      view_.batches.push_back(std::move(batch));
    }
    view_.batches.back()->entries.push_back(
        Entry{ChunkRecord{start, end - start, pool_.sha_.finish()}, {}});
  }

  void close() {
    if (open_ != nullptr) pool_.submit(open_);
    open_ = nullptr;
  }

 private:
  ChunkHashPool& pool_;
  View& view_;
  std::span<const uint8_t> data_;
  uint64_t offset_;
  Batch* open_ = nullptr;
  uint64_t open_bytes_ = 0;
};

ChunkHashPool::ChunkHashPool(ChunkScheme scheme, unsigned helpers)
    : finder_(scheme), wanted_helpers_(std::max(helpers, 1u)) {}

ChunkHashPool::~ChunkHashPool() {
  stop_crew();
}

ChunkHashPool::Crew& ChunkHashPool::crew() {
  const uint64_t generation = fork_generation();
  if (crew_ && crew_->generation == generation) return *crew_;
  stop_crew();
  crew_ = std::make_unique<Crew>();
  crew_->generation = generation;
  crew_->threads.reserve(wanted_helpers_);
  for (unsigned k = 0; k < wanted_helpers_; ++k) {
    try {
      crew_->threads.emplace_back([this, c = crew_.get()] { helper_loop(*c); });
    } catch (const std::system_error&) {
      break;  // no more threads to be had (process or memory limit): go on with fewer
    }
  }
  return *crew_;
}

void ChunkHashPool::stop_crew() {
  if (!crew_) return;
  if (crew_->generation != fork_generation()) {
    // Inherited across fork: its threads do not exist here and its lock may be held
    // forever. Nothing of it can be touched, joined or freed safely.
    (void)crew_.release();
    return;
  }
  {
    std::lock_guard lock(crew_->mutex);
    crew_->stopping = true;
  }
  crew_->work_ready.notify_all();
  for (std::thread& t : crew_->threads) t.join();
  crew_.reset();
}

unsigned ChunkHashPool::running_helpers() const {
  if (!crew_ || crew_->generation != fork_generation()) return 0;
  return static_cast<unsigned>(crew_->threads.size());
}

uint64_t ChunkHashPool::retain_from() const {
  return std::min(finder_.retain_from(), hashed_);
}

void ChunkHashPool::hash_upto(std::span<const uint8_t> view, uint64_t view_offset, uint64_t pos) {
  if (pos <= hashed_) return;
  assert(hashed_ >= view_offset && pos - view_offset <= view.size());
  sha_.update(view.data() + (hashed_ - view_offset), pos - hashed_);
  hashed_ = pos;
}

void ChunkHashPool::hash_batch(Batch& batch) const {
  const CancelToken* token = cancel_.load(std::memory_order_acquire);
  if (token != nullptr && token->cancelled()) return;  // the stream is being dropped
  for (Entry& e : batch.entries) {
    e.record.digest = sha256(batch.base + (e.record.offset - batch.base_offset), e.record.len);
    e.leaf = MerkleFolder::leaf_of(e.record.digest);
  }
}

void ChunkHashPool::submit(Batch* batch) {
  Crew& c = *crew_;
  {
    std::lock_guard lock(c.mutex);
    ++batch->view->pending;
    c.queue.push_back(batch);
  }
  c.work_ready.notify_one();
}

void ChunkHashPool::run_front_batch(Crew& c, std::unique_lock<std::mutex>& lock) const {
  Batch* batch = c.queue.front();
  c.queue.pop_front();
  lock.unlock();
  hash_batch(*batch);
  lock.lock();
  if (--batch->view->pending == 0) c.batch_done.notify_all();
}

void ChunkHashPool::helper_loop(Crew& c) {
  std::unique_lock lock(c.mutex);
  for (;;) {
    c.work_ready.wait(lock, [&c] { return c.stopping || !c.queue.empty(); });
    if (c.queue.empty()) return;  // stopping with nothing left
    run_front_batch(c, lock);
  }
}

void ChunkHashPool::help_until_done(View& view) {
  if (!crew_) return;  // nothing was ever submitted
  Crew& c = *crew_;
  std::unique_lock lock(c.mutex);
  while (view.pending != 0) {
    if (!c.queue.empty()) {
      run_front_batch(c, lock);
    } else {
      c.batch_done.wait(lock);
    }
  }
}

void ChunkHashPool::fold(View& view, HashedChunkSink& sink) {
  for (const auto& batch : view.batches) {
    for (const Entry& e : batch->entries) {
      if (batch->hashed_here) {
        sink.on_chunk(e.record.offset, e.record.len, e.record.digest);
      } else {
        sink.on_hashed_chunk(e.record, e.leaf);
      }
    }
  }
}

void ChunkHashPool::feed(std::span<const uint8_t> view, uint64_t view_offset, bool at_end,
                         HashedChunkSink& sink) {
  assert(view_offset <= retain_from());
  crew();
  views_.push_back(std::make_unique<View>());
  View& current = *views_.back();
  Cutter cutter(*this, current, view, view_offset);
  finder_.feed(view, view_offset, at_end, cutter);
  cutter.close();
  hash_upto(view, view_offset, std::min(view_offset + view.size(), finder_.open_chunk_bound()));
  while (views_.size() > 1) {
    help_until_done(*views_.front());
    fold(*views_.front(), sink);
    views_.pop_front();
  }
}

void ChunkHashPool::abandon() {
  for (const auto& view : views_) help_until_done(*view);
  views_.clear();
}

void ChunkHashPool::drain(HashedChunkSink& sink) {
  while (!views_.empty()) {
    help_until_done(*views_.front());
    fold(*views_.front(), sink);
    views_.pop_front();
  }
}

}  // namespace quillmere
