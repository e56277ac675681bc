// Program launcher: two vforks, so a background program is left to init and
// neither the caller's nor the intermediate process's memory is copied.
#include "devlib.h"

#include "platform/root.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kSlots = 40;

pid_t wait_for(pid_t pid)
{
    pid_t r;
    do
        r = ::waitpid(pid, nullptr, 0);
    while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

extern "C" int run_task(const char *path, ...)
{
    const char *argv[kSlots] = {};
    int n = 0;
    va_list ap;
    va_start(ap, path);
    while (n < kSlots) {
        const char *a = va_arg(ap, const char *);
        if (a == nullptr)
            break;
        argv[n++] = a;
    }
    // A full vector has room for the null only when its last entry is the
    // "&" that gets dropped, and only when nothing follows it.
    bool too_many = n == kSlots && (std::strcmp(argv[n - 1], "&") != 0 || va_arg(ap, const char *) != nullptr);
    va_end(ap);
    if (too_many) {
        errno = E2BIG;
        return -1;
    }
    bool background = n > 0 && std::strcmp(argv[n - 1], "&") == 0;
    if (background)
        argv[--n] = nullptr;
    if (n == 0) {
        errno = EINVAL;
        return -1;
    }

    // Everything the children need is ready before the first vfork: from
    // there on they only vfork, exec, wait and _exit.
    devlib::DevPath file(path);
    char *const *args = const_cast<char *const *>(argv);

    pid_t child = ::vfork();
    if (child == 0) {
        pid_t grandchild = ::vfork();
        if (grandchild == 0) {
            ::execvp(file.c_str(), args);
            ::_exit(0);
        }
        if (grandchild > 0 && !background)
            wait_for(grandchild);
        ::_exit(0);
    }
    if (child < 0)
        return -1; // nothing started, so there is nothing of ours to wait for
    return wait_for(child);
}
