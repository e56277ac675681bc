// The order-list walk of get_table_SORT over any stored text, count and capacity.
// Input: 4 bytes count, 2 bytes capacity (signed, big-endian), then the text.
#include "devlib.h"
#include "platform/store_driver.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kTextMax = 4096;

char g_area[devlib::store::kMapSize];
char g_count[16];
char g_max[16];
char g_sort[kTextMax + 1];

// Each key's value sits at its own offset; the walk reads it in place.
constexpr std::uint32_t kMaxAt = 0x100, kCountAt = 0x200, kSortAt = 0x1000;

int d_open(const char *) { return 1000; }
void *d_map(int, std::size_t) { return g_area; }
ssize_t d_read(int, void *buf, std::size_t)
{
    const char *name = static_cast<const char *>(buf);
    const char *value;
    std::uint32_t at;
    if (std::strcmp(name, "F_MAX") == 0) {
        value = g_max, at = kMaxAt;
    } else if (std::strcmp(name, "F_COUNT") == 0) {
        value = g_count, at = kCountAt;
    } else if (std::strcmp(name, "F_SORT") == 0) {
        value = g_sort, at = kSortAt;
    } else {
        return -1;
    }
    std::memcpy(g_area + at, value, std::strlen(value) + 1);
    std::memcpy(buf, &at, sizeof at);
    return 4;
}
ssize_t d_write(int, const void *, std::size_t n) { return static_cast<ssize_t>(n); }
int d_ioctl(int, unsigned long, void *) { return 0; }
int d_close(int) { return 0; }

constexpr devlib::store::Driver kDriver = {d_open, d_map, d_read, d_write, d_ioctl, d_close};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 6)
        return 0;
    devlib::store::set_driver(&kDriver);
    std::int32_t count = static_cast<std::int32_t>(std::uint32_t{data[0]} << 24 | std::uint32_t{data[1]} << 16 |
                                                   std::uint32_t{data[2]} << 8 | data[3]);
    int cap = static_cast<std::int16_t>(data[4] << 8 | data[5]);
    std::snprintf(g_count, sizeof g_count, "%d", static_cast<int>(count));
    std::snprintf(g_max, sizeof g_max, "%d", cap);
    std::size_t n = size - 6 < kTextMax ? size - 6 : kTextMax;
    std::memcpy(g_sort, data + 6, n);
    g_sort[n] = '\0';

    // Exactly the capacity, so a write past it is caught.
    std::size_t room = cap > 0 ? static_cast<std::size_t>(cap) : 0;
    int *sort = static_cast<int *>(std::malloc(room * sizeof(int) + 1));
    int max = 0;
    int got = 0;
    int r = get_table_SORT("F", sort, &max, &got);
    if (max != cap || got != count)
        std::abort();
    if (r < 0 || static_cast<std::size_t>(r) > room || r > 511)
        std::abort();
    if (count == 0 && r != 0)
        std::abort();
    std::free(sort);
    return 0;
}
