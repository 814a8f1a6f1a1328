// The filesystem receipt store: one JSON file per receipt in <base>/receipts/,
// queries answered by scanning that directory.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/fork_safe.h"
#include "base/posix_io.h"
#include "storage/receipt_store.h"

namespace quillmere {

class FilesystemStore : public ReceiptStore {
 public:
  // Creates <base_path>/receipts (and any missing parents, mode 0777 before the
  // umask); an existing directory is fine. Temporary files that a killed writer
  // left there are removed. All file system calls go through `io`.
  static std::expected<std::shared_ptr<FilesystemStore>, StorageError> create(
      std::string base_path, PosixIo& io = PosixIo::system());

  // Writes <receipts_dir>/<rid>.json so that the name only ever shows the old
  // receipt or the whole new one, durably once this returns. The new text is
  // written to a file without a name, synced and linked into place; a writer
  // killed on the way leaves nothing behind.
  std::expected<void, StorageError> store_receipt(const Receipt& receipt) override;

  // store_receipt for each in turn, stopping at the first failure, with one
  // directory sync for the whole batch (also when a later receipt fails).
  std::expected<void, StorageError> store_receipts(std::span<const Receipt> receipts) override;

  // Reads every "*.json" entry in directory order; files that do not parse are
  // reported on stderr and skipped. `limit` applies after the whole listing.
  std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) override;

  // Reads only the files whose names begin with the prefix (one file for a whole rid);
  // unparseable ones are reported and skipped as in listing.
  std::expected<std::vector<Receipt>, StorageError> find_by_rid_prefix(std::string_view hex_prefix,
                                                                       size_t limit) override;

  const std::string& base_path() const { return base_path_; }
  const std::string& receipts_dir() const { return receipts_dir_; }

 private:
  class Writer;

  FilesystemStore(std::string base_path, std::string receipts_dir, PosixIo& io)
      : base_path_(std::move(base_path)),
        receipts_dir_(std::move(receipts_dir)),
        io_(&io),
        lock_(std::make_shared<ForkSafeMutex>()) {}

  std::string base_path_;
  std::string receipts_dir_;
  PosixIo* io_;
  // Held for the whole of every operation; copies of a store share it.
  std::shared_ptr<ForkSafeMutex> lock_;
  // Whether this file system makes files without a name and links them
  // (learned on first use, under the lock).
  bool unnamed_files_ = true;
  // Whether linking them takes the way through /proc (the process may not link
  // by descriptor).
  bool link_through_proc_ = false;
};

}  // namespace quillmere
