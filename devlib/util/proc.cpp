// Process lookup by name through /proc/<pid>/status (never mapped: the
// process table is the kernel's).
#include "devlib.h"

#include "util/proc.h"
#include "util/fd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace devlib::proc {
namespace {

// The kernel cuts process names to 15 characters.
constexpr std::size_t kNameCompare = 15;

ReallocFn g_realloc = std::realloc;

// The process name from the first status line ("Name:\t<name>"); false when
// the status can no longer be read (the process ended).
bool read_name(const char *entry, char (&name)[256])
{
    char path[256];
    int n = std::snprintf(path, sizeof path, "/proc/%s/status", entry);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
        return false;
    UniqueFile f(std::fopen(path, "re"));
    if (!f)
        return false;
    char line[256];
    if (std::fgets(line, 254, f.get()) == nullptr)
        return false;
    return std::sscanf(line, "%*s %255s", name) == 1;
}

} // namespace

void set_list_realloc(ReallocFn fn) { g_realloc = fn != nullptr ? fn : std::realloc; }

} // namespace devlib::proc

using namespace devlib::proc;

extern "C" int *find_pid_by_name(const char *name)
{
    DIR *dir = opendir("/proc");
    if (dir == nullptr) {
        std::fputs("Cannot open /proc", stderr);
        return nullptr;
    }
    int *list = nullptr;
    std::size_t count = 0;
    bool out_of_memory = false;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue; // "..", "self" and the kernel's other entries
        char comm[256];
        if (!read_name(e->d_name, comm) || std::strncmp(comm, name, kNameCompare) != 0)
            continue;
        // Room for the ids so far, this one and the terminating 0.
        void *grown = g_realloc(list, (count + 2) * sizeof *list);
        if (grown == nullptr) {
            out_of_memory = true; // keep what was found: the list still has room for its 0
            break;
        }
        list = static_cast<int *>(grown);
        list[count++] = static_cast<int>(std::strtol(e->d_name, nullptr, 0));
    }
    closedir(dir);
    if (list != nullptr)
        list[count] = 0;
    if (out_of_memory)
        errno = ENOMEM;
    return list;
}

extern "C" int KillProcessByName(const char *name, int sig)
{
    int *list = find_pid_by_name(name);
    if (list == nullptr)
        return 0;
    int count = 0;
    for (const int *p = list; *p != 0; p++, count++)
        (void)kill(*p, sig);
    std::free(list);
    return count;
}
