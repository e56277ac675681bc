#include "platform/root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devlib {

bool map_device_path(const char *path, char *out, std::size_t size)
{
    if (size == 0)
        return false;
    out[0] = '\0';
    if (path == nullptr)
        return false;
    const char *root = std::getenv("DEVLIB_ROOT");
    // Relative paths and the kernel's process table are never redirected.
    bool proc = std::strncmp(path, "/proc", 5) == 0 && (path[5] == '\0' || path[5] == '/');
    bool proc_pid = proc && path[5] == '/' && path[6] >= '0' && path[6] <= '9';
    bool proc_root = proc && path[5] == '\0';
    if (root == nullptr || root[0] == '\0' || path[0] != '/' || proc_pid || proc_root) {
        std::size_t n = std::strlen(path);
        if (n >= size)
            return false;
        std::memcpy(out, path, n + 1);
        return true;
    }
    std::size_t rl = std::strlen(root);
    while (rl > 1 && root[rl - 1] == '/')
        rl--;
    int n = std::snprintf(out, size, "%.*s%s", static_cast<int>(rl), root, path);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

DevPath::DevPath(const char *path) { map_device_path(path, buf_, sizeof buf_); }

} // namespace devlib
