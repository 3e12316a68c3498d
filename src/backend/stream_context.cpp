#include "backend/stream_context.h"

namespace vestra {

void release_context(const void* info) noexcept {
  // Dropping the record gives up its share of the handler and frees the registry copy.
  delete static_cast<const StreamContextInfo*>(info);
}

}  // namespace vestra
