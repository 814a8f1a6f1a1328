// Opening a receipt store from where the user says it is: a directory of receipt files, or a
// storage URL naming a SQLite file or a PostgreSQL database (storage_url.h).
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "storage/receipt_store.h"

namespace quillmere {

struct StoreAddress {
  enum class Kind { kPath, kUrl };
  Kind kind;
  // The directory (created if missing), or the URL.
  std::string text;
};

// The store at `where`, or the sentence to show for why it could not be opened (naming the
// kind of store, with any secret of the URL masked). A database connection waits on the
// thread's current interruption check (base/cancellation.h).
std::expected<std::shared_ptr<ReceiptStore>, std::string> open_store(const StoreAddress& where);

}  // namespace quillmere
