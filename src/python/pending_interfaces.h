// Temporary: declarations of library interfaces still being built, so the bindings
// compile before they land. Removed once every header below exists.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "engine/api_error.h"
#include "receipts/error.h"
#include "receipts/receipt.h"

#if __has_include("receipts/json_adapter.h")
#include "receipts/json_adapter.h"
#else
namespace quillmere {
std::expected<std::string, AdapterError> receipt_to_json(const Receipt&);
std::expected<Receipt, AdapterError> receipt_from_json(std::string_view);
}  // namespace quillmere
#endif

#if __has_include("receipts/validation.h")
#include "receipts/validation.h"
#else
namespace quillmere {
std::expected<void, ValidationError> validate(const Receipt&);
}  // namespace quillmere
#endif

#if __has_include("engine/verify.h")
#include "engine/verify.h"
#else
namespace quillmere {
std::expected<bool, ApiError> verify_receipt(const Receipt&);
}  // namespace quillmere
#endif
