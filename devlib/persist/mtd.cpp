// Writes into flash partition devices.
#include "devlib.h"

#include "persist/mtd.h"
#include "platform/root.h"
#include "util/fd.h"

#include <cerrno>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace devlib::persist {

void mtd_write_with(WriteFn write_fn, const char *path, int offset, const void *data, int length)
{
    UniqueFd fd(::open(DevPath(path), O_WRONLY | O_SYNC | O_CLOEXEC));
    if (!fd.ok()) {
        syslog(LOG_INFO, "open %s error ..\n", path);
        return;
    }
    // Writing from wherever the descriptor stands would hit the wrong part of
    // the flash: an offset that cannot be reached writes nothing.
    if (offset < 0 || ::lseek(fd.get(), offset, SEEK_SET) != static_cast<off_t>(offset))
        return;
    const char *p = static_cast<const char *>(data);
    std::size_t left = length > 0 ? static_cast<std::size_t>(length) : 0;
    while (left > 0) {
        ssize_t n = write_fn(fd.get(), p, left < kMtdPiece ? left : kMtdPiece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // an error, or no progress: stop rather than spin
            break;
        left -= static_cast<std::size_t>(n);
        p += n;
    }
}

} // namespace devlib::persist

extern "C" void mtd_write(const char *path, int offset, const void *data, int length)
{
    devlib::persist::mtd_write_with(::write, path, offset, data, length);
}

extern "C" void clearConfig(void)
{
    static const char kZeros[10] = {};
    mtd_write("/dev/mtd7", 0, kZeros, sizeof kZeros);
}
