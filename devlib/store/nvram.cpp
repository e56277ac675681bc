// Client of the configuration store driver.
#include "devlib.h"

#include "platform/root.h"
#include "platform/store_driver.h"
#include "util/fd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace devlib::store {
namespace {

constexpr const char *kDevice = "/dev/nvram";
constexpr const char *kRecoveryFile = "/flash/config";
constexpr std::size_t kLookupLocal = 50;
constexpr std::size_t kRecordLocal = 100;
constexpr std::size_t kIndexedName = 50; // 49 characters and the NUL

// Process-wide client state. The mapping is never unmapped: callers keep
// pointers into it.
int g_fd = -1;
const char *g_map = nullptr;

// Scratch buffer: on the stack up to N bytes, else a heap block of exactly n.
template <std::size_t N> class Scratch {
public:
    explicit Scratch(std::size_t n) : p_(n <= N ? local_ : static_cast<char *>(std::malloc(n))) {}
    ~Scratch()
    {
        if (p_ != local_)
            std::free(p_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    char *get() const { return p_; }

private:
    char local_[N];
    char *p_;
};

int load_file(const char *path, bool recover);

// One set or unset record. A refused record is recovered once when asked:
// dump, free, reload (without nested recoveries), write again.
int set_record(const char *name, const char *value, bool recover)
{
    std::size_t n = std::strlen(name) + 1;
    if (g_fd < 0) {
        int r = nvram_init(nullptr);
        if (r != 0)
            return r;
    }
    if (value != nullptr)
        n += std::strlen(value) + 1;
    Scratch<kRecordLocal> buf(n);
    if (buf.get() == nullptr)
        return -ENOMEM;
    if (value != nullptr) {
        std::size_t nl = std::strlen(name);
        std::memcpy(buf.get(), name, nl);
        buf.get()[nl] = '=';
        std::memcpy(buf.get() + nl + 1, value, n - nl - 1);
    } else {
        std::memcpy(buf.get(), name, n);
    }
    const Driver &d = driver();
    ssize_t r = d.write(g_fd, buf.get(), n);
    if (r < 0 && recover) {
        DevPath dump(kRecoveryFile);
        // Free and reload only a store that was saved: after a failed dump the
        // file holds an older store or none, and reloading it would revert or
        // lose settings.
        if (d.ioctl(g_fd, kReqDump, const_cast<char *>(dump.c_str())) >= 0) {
            d.ioctl(g_fd, kReqFree, nullptr);
            load_file(kRecoveryFile, false);
            (void)d.write(g_fd, buf.get(), n);
        }
    }
    return r == static_cast<ssize_t>(n) ? 0 : static_cast<int>(r);
}

int load_file(const char *path, bool recover)
{
    DevPath mapped(path);
    UniqueFile f(std::fopen(mapped, "r"));
    if (!f) {
        std::fprintf(stderr, "file: %s does not exist ..\n", path);
        return -1;
    }
    // Whole lines, whatever their length: a line cut in pieces would store a
    // cut value and read its tail as a pair of its own.
    char *line = nullptr;
    std::size_t cap = 0;
    while (getline(&line, &cap, f.get()) > 0) {
        char *name;
        char *value;
        if (ParseNameValue(line, &name, &value) == 0)
            (void)set_record(name, value, recover);
    }
    std::free(line);
    return 0;
}

int compose_index(char (&out)[kIndexedName], const char *prefix, int index)
{
    int n = std::snprintf(out, sizeof out, "%s@%d", prefix, index);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof out ? 0 : -1;
}

} // namespace

void reset_client()
{
    // Closed, not leaked: a test program opens a fresh device in every test.
    if (g_fd >= 0)
        driver().close(g_fd);
    g_fd = -1;
    g_map = nullptr;
}

} // namespace devlib::store

using namespace devlib::store;

extern "C" int nvram_init(void *)
{
    const Driver &d = driver();
    devlib::DevPath path(kDevice);
    g_fd = d.open(path);
    if (g_fd < 0) {
        int e = errno;
        std::perror(kDevice);
        return e;
    }
    void *m = d.map(g_fd, kMapSize);
    if (m == MAP_FAILED) {
        int e = errno;
        d.close(g_fd);
        g_fd = -1;
        errno = e;
        std::perror(kDevice);
        return e;
    }
    g_map = static_cast<const char *>(m);
    return 0;
}

extern "C" int nvram_close(void)
{
    // The descriptor is forgotten, not kept: a later operation reopens the
    // device instead of using a number that may now name another file. The
    // old mapping stays, so pointers handed out remain valid.
    if (g_fd >= 0) {
        driver().close(g_fd);
        g_fd = -1;
    }
    return 0;
}

extern "C" char *nvram_get(const char *name)
{
    std::size_t n = std::strlen(name) + 1;
    if (g_fd < 0 && nvram_init(nullptr) != 0)
        return nullptr;
    // The driver writes a 4-byte offset over the name: room for it even for "".
    Scratch<kLookupLocal> buf(n < 4 ? 4 : n);
    if (buf.get() == nullptr)
        return nullptr;
    std::memcpy(buf.get(), name, n);
    if (driver().read(g_fd, buf.get(), n) != 4)
        return nullptr;
    std::uint32_t off;
    std::memcpy(&off, buf.get(), sizeof off); // native byte order, as the driver writes it
    if (off >= kMapSize)
        return nullptr;
    return const_cast<char *>(g_map + off);
}

extern "C" int nvram_set(const char *name, const char *value) { return set_record(name, value, true); }

extern "C" int nvram_unset(const char *name) { return nvram_set(name, nullptr); }

extern "C" char *nvram_get_index(const char *prefix, int index)
{
    char name[kIndexedName];
    if (compose_index(name, prefix, index) != 0)
        return nullptr;
    return nvram_get(name);
}

extern "C" int nvram_set_index(const char *prefix, int index, const char *value)
{
    char name[kIndexedName];
    if (compose_index(name, prefix, index) != 0)
        return -ENAMETOOLONG;
    return nvram_set(name, value);
}

extern "C" int nvram_set_index_int(const char *prefix, int index, int number)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", number);
    return nvram_set_index(prefix, index, text);
}

extern "C" int nvram_free(void)
{
    if (g_fd < 0) {
        int r = nvram_init(nullptr);
        if (r != 0)
            return r;
    }
    driver().ioctl(g_fd, kReqFree, nullptr);
    return 0;
}

extern "C" int nvram2file(const char *path)
{
    if (g_fd < 0) {
        int r = nvram_init(nullptr);
        if (r != 0)
            return r;
    }
    devlib::DevPath mapped(path);
    driver().ioctl(g_fd, kReqDump, const_cast<char *>(mapped.c_str()));
    return 0;
}

extern "C" int file2nvram(const char *path) { return load_file(path, true); }
