// Program launcher: two vforks, so a background program is left to init and
// neither the caller's nor the intermediate process's memory is copied.
//
// Each vfork is a clone with CLONE_VM | CLONE_VFORK (what vfork itself is)
// onto a stack of its own, as posix_spawn does: a child that vforks and
// waits must not run on the frame its suspended parent will return through.
// Nested vfork() calls also break sanitizer runtimes, which keep one saved
// return address per thread.
#include "devlib.h"

#include "platform/root.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sched.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kSlots = 40;
// Enough for execvp's search of PATH, which builds each candidate on the stack.
constexpr std::size_t kChildStack = 16384;

#if defined(__clang__)
#define NO_SANITIZE __attribute__((no_sanitize("address", "undefined")))
#elif defined(__GNUC__)
#define NO_SANITIZE __attribute__((no_sanitize_address, no_sanitize_undefined))
#else
#define NO_SANITIZE
#endif

struct Launch {
    const char *file;
    char *const *argv;
    bool background;
    char *grandchild_stack_top;
};

NO_SANITIZE pid_t wait_for(pid_t pid)
{
    pid_t r;
    do
        r = ::waitpid(pid, nullptr, 0);
    while (r < 0 && errno == EINTR);
    return r;
}

// The children run on stacks of their own inside the caller's frame and do
// nothing but clone, exec, wait and _exit. The sanitizers stay out: their
// bookkeeping of a frame that never returns would outlive it.
NO_SANITIZE int grandchild_main(void *arg)
{
    const Launch *l = static_cast<const Launch *>(arg);
    ::execvp(l->file, l->argv);
    ::_exit(0);
}

NO_SANITIZE int child_main(void *arg)
{
    const Launch *l = static_cast<const Launch *>(arg);
    pid_t grandchild = ::clone(grandchild_main, l->grandchild_stack_top, CLONE_VM | CLONE_VFORK | SIGCHLD, arg);
    if (grandchild > 0 && !l->background)
        wait_for(grandchild);
    ::_exit(0);
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

    // Everything the children need is ready before the first clone.
    devlib::DevPath file(path);
    alignas(16) char stacks[2][kChildStack];
    Launch launch = {file.c_str(), const_cast<char *const *>(argv), background, stacks[1] + kChildStack};

    // The caller is suspended until the child has ended; the child, until the
    // grandchild has exec'd or ended.
    pid_t child = ::clone(child_main, stacks[0] + kChildStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &launch);
    if (child < 0)
        return -1; // nothing started, so there is nothing of ours to wait for
    return wait_for(child);
}
