#include "wan/console.h"

#include "platform/root.h"
#include "util/fd.h"

#include <cstdarg>
#include <cstdio>
#include <fcntl.h>

namespace devlib {

void console_printf(const char *format, ...)
{
    // As stdio's "w", but the console never becomes the caller's controlling
    // terminal: a daemon that reports an error must not catch the console's
    // hangups and interrupts.
    int fd = ::open(DevPath(kConsole), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    UniqueFile f(::fdopen(fd, "w"));
    if (!f) {
        ::close(fd);
        return;
    }
    va_list ap;
    va_start(ap, format);
    std::vfprintf(f.get(), format, ap);
    va_end(ap);
}

} // namespace devlib
