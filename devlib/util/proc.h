// Process lookup internals.
#pragma once

#include <cstddef>

namespace devlib::proc {

using ReallocFn = void *(*)(void *, std::size_t);
// Replaces the allocator that grows the id list (null restores realloc). Test use only.
void set_list_realloc(ReallocFn fn);

} // namespace devlib::proc
