// How the filesystem store names its files, in one place: receipts are
// "<base>/receipts/<rid>.json"; a file being written is a hidden temporary name that is never
// taken for a receipt.
#pragma once

#include <string>
#include <string_view>

#include "receipts/receipt.h"

namespace quillmere {

// `name` in the folder `base` ("base/name"; just `name` when `base` is empty).
std::string join_path(std::string_view base, std::string_view name);

// The folder of the receipt files under the store's base path: "<base>/receipts".
std::string receipts_folder(std::string_view base_path);

// The lowercase hyphenated rid followed by ".json".
std::string receipt_file_name(const Uuid& rid);

// True for the names listing reads as receipts: the extension (the text after
// the last dot, a leading dot not counting as one) is exactly "json". The rest
// of the name is not interpreted.
bool is_receipt_file_name(std::string_view name);

// A fresh name, unique to one write, for a file that will replace
// "<rid>.json": ".<rid>.json.tmp.<pid>.<random hex>". Its extension is hex, so
// it is never a receipt name.
std::string temp_file_name(std::string_view rid);

// True for names temp_file_name makes (also those of earlier versions of the store,
// which had the same form).
bool is_temp_file_name(std::string_view name);

}  // namespace quillmere
