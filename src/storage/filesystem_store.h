// The filesystem receipt store: one JSON file per receipt in <base>/receipts/,
// queries answered by scanning that directory.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/receipt_store.h"

namespace quillmere {

class FilesystemStore : public ReceiptStore {
 public:
  // Creates <base_path>/receipts (and any missing parents, mode 0777 before the
  // umask); an existing directory is fine.
  static std::expected<std::shared_ptr<FilesystemStore>, StorageError> create(
      std::string base_path);

  // Writes <receipts_dir>/<rid>.json through a temporary file that is synced and
  // renamed into place, so the file is either the old receipt or the whole new one.
  std::expected<void, StorageError> store_receipt(const Receipt& receipt) override;

  // Reads every "*.json" entry in directory order; files that do not parse are
  // reported on stderr and skipped. `limit` applies after the whole listing.
  std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) override;

  const std::string& base_path() const { return base_path_; }
  const std::string& receipts_dir() const { return receipts_dir_; }

 private:
  FilesystemStore(std::string base_path, std::string receipts_dir)
      : base_path_(std::move(base_path)),
        receipts_dir_(std::move(receipts_dir)),
        lock_(std::make_shared<std::mutex>()) {}

  std::string base_path_;
  std::string receipts_dir_;
  // Held for the whole of every operation; copies of a store share it.
  std::shared_ptr<std::mutex> lock_;
};

// True when the file name's extension (the text after its last dot, a leading
// dot not counting as one) is exactly "json".
bool has_json_extension(std::string_view file_name);

}  // namespace quillmere
