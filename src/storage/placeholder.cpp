// Storage library translation unit (filled by the filesystem store).
#include "storage/receipt_store.h"
