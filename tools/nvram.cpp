// nvram: the configuration store from the shell, for people and scripts.
// Paths are device paths, taken under DEVLIB_ROOT like every device path.
#include "devlib/devlib.h"
#include "devlib/platform/root.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char kUsage[] =
    "usage: nvram get NAME | set NAME=VALUE | unset NAME | show | dump FILE | load FILE\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

// nvram_set reports its first write even when the recovery then stored the
// record, so the store itself decides whether the change is there.
bool holds(const char *name, const char *value)
{
    const char *v = nvram_get(name);
    return value == nullptr ? v == nullptr : v != nullptr && std::strcmp(v, value) == 0;
}

int change(const char *name, const char *value)
{
    int r = nvram_set(name, value);
    if (r > 0)
        return 1; // the device could not be opened; the client said why
    if (r < 0 && !holds(name, value)) {
        std::fprintf(stderr, "nvram: the store refused %s %s\n", value != nullptr ? "to set" : "to unset",
                     name);
        return 1;
    }
    return 0;
}

// Dumps the store into path, which must not exist yet, and tells whether the
// file appeared: the dump request itself reports nothing.
bool dump_new(const char *path, const devlib::DevPath &mapped, const char *shown)
{
    ::unlink(mapped);
    if (nvram2file(path) != 0)
        return false;
    if (::access(mapped, F_OK) != 0) {
        std::fprintf(stderr, "nvram: cannot dump the store to %s\n", shown);
        return false;
    }
    return true;
}

// By way of a new file renamed over the old one: a failed dump leaves FILE alone.
int dump(const char *path)
{
    char tmp[devlib::DevPath::kMax];
    int n = std::snprintf(tmp, sizeof tmp, "%s.nvram%ld", path, static_cast<long>(::getpid()));
    devlib::DevPath mapped_tmp(tmp);
    devlib::DevPath mapped(path);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof tmp || !mapped_tmp.ok() || !mapped.ok()) {
        std::fprintf(stderr, "nvram: %s: %s\n", path, std::strerror(ENAMETOOLONG));
        return 1;
    }
    if (!dump_new(tmp, mapped_tmp, path))
        return 1;
    if (std::rename(mapped_tmp, mapped) != 0) {
        std::fprintf(stderr, "nvram: %s: %s\n", path, std::strerror(errno));
        ::unlink(mapped_tmp);
        return 1;
    }
    return 0;
}

// Every pair as NAME=VALUE, read back from a dump.
int show()
{
    char tmp[64];
    std::snprintf(tmp, sizeof tmp, "/tmp/nvram-show.%ld", static_cast<long>(::getpid()));
    devlib::DevPath mapped(tmp);
    if (!dump_new(tmp, mapped, tmp))
        return 1;
    FILE *f = std::fopen(mapped, "r");
    ::unlink(mapped);
    if (f == nullptr) {
        std::fprintf(stderr, "nvram: %s: %s\n", tmp, std::strerror(errno));
        return 1;
    }
    char *line = nullptr;
    std::size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        char *name;
        char *value;
        if (ParseNameValue(line, &name, &value) == 0)
            std::printf("%s=%s\n", name, value);
    }
    std::free(line);
    std::fclose(f);
    return 0;
}

int run(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const char *cmd = argv[1];
    if (std::strcmp(cmd, "-h") == 0 || std::strcmp(cmd, "--help") == 0 || std::strcmp(cmd, "help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(cmd, "show") == 0)
        return argc == 2 ? show() : usage();
    if (argc != 3)
        return usage();
    char *arg = argv[2];
    if (std::strcmp(cmd, "get") == 0) {
        const char *v = nvram_get(arg);
        if (v == nullptr)
            return 1;
        std::printf("%s\n", v);
        return 0;
    }
    if (std::strcmp(cmd, "set") == 0) {
        char *eq = std::strchr(arg, '=');
        if (eq == nullptr)
            return usage();
        *eq = '\0';
        return change(arg, eq + 1);
    }
    if (std::strcmp(cmd, "unset") == 0)
        return change(arg, nullptr);
    if (std::strcmp(cmd, "dump") == 0)
        return dump(arg);
    if (std::strcmp(cmd, "load") == 0)
        return file2nvram(arg) == 0 ? 0 : 1; // a missing file: the client said so
    return usage();
}

} // namespace

int main(int argc, char **argv)
{
    int r = run(argc, argv);
    if (std::fflush(stdout) != 0 && r == 0) {
        std::fprintf(stderr, "nvram: standard output: %s\n", std::strerror(errno));
        r = 1;
    }
    return r;
}
