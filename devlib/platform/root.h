// Device root: every absolute device path is taken under $DEVLIB_ROOT when set,
// and used as it stands otherwise (the router). The process table is never mapped.
#pragma once

#include <cstddef>

namespace devlib {

class DevPath {
public:
    explicit DevPath(const char *path);
    DevPath(const DevPath &) = delete;
    DevPath &operator=(const DevPath &) = delete;

    // The mapped path. When it would not fit, "" (opens fail with ENOENT).
    const char *c_str() const { return buf_; }
    operator const char *() const { return buf_; }
    bool ok() const { return buf_[0] != '\0'; }

    static constexpr std::size_t kMax = 1024;

private:
    char buf_[kMax];
};

// Writes the mapped form of path into out; false (out = "") when it does not fit.
bool map_device_path(const char *path, char *out, std::size_t size);

} // namespace devlib
