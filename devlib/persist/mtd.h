// Flash partition writer internals.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace devlib::persist {

inline constexpr std::size_t kMtdPiece = 65536;

using WriteFn = ssize_t (*)(int fd, const void *buf, std::size_t n);

// mtd_write through the given write call (tests see every piece).
void mtd_write_with(WriteFn write_fn, const char *path, int offset, const void *data, int length);

} // namespace devlib::persist
