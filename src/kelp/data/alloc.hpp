// Small-object allocation for values: each thread keeps free lists of recently freed blocks by size class, so
// the commonest pattern of persistent data — make a new version, free the old one — costs a few instructions
// instead of a trip through malloc. Blocks come from malloc and may be freed by any thread.
#pragma once

#include <cstddef>

namespace kelp {

inline constexpr size_t SMALL_OBJECT_MAX = 256;

void* small_alloc(size_t bytes);
// `bytes` must be the size given to small_alloc.
void small_free(void* p, size_t bytes) noexcept;

}  // namespace kelp
