// 3G traffic counters: a baseline of the interface's kernel counters, totals
// over all counting periods, and the figures since the baseline. Everything
// lives in the store; all arithmetic is on 32-bit counters, wrapping.
#include "devlib.h"

#include "platform/root.h"
#include "util/fd.h"
#include "wan/storeval.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/sysinfo.h>

static_assert(sizeof(Traffic3GStat) == 8 * sizeof(std::uint32_t) && sizeof(unsigned int) == 4,
              "the record is eight 32-bit counters");

namespace devlib::wan {
namespace {

// The order of the stored texts: received before transmitted.
struct Counters {
    std::uint32_t rx_bytes = 0;
    std::uint32_t rx_packets = 0;
    std::uint32_t tx_bytes = 0;
    std::uint32_t tx_packets = 0;
};

Counters operator-(const Counters &a, const Counters &b)
{
    return {a.rx_bytes - b.rx_bytes, a.rx_packets - b.rx_packets, a.tx_bytes - b.tx_bytes,
            a.tx_packets - b.tx_packets};
}

Counters operator+(const Counters &a, const Counters &b)
{
    return {a.rx_bytes + b.rx_bytes, a.rx_packets + b.rx_packets, a.tx_bytes + b.tx_bytes,
            a.tx_packets + b.tx_packets};
}

// "|%012lu|%012lu|%012lu|%012lu|": 53 characters.
constexpr std::size_t kCounterText = 54;

int store_counters(const char *name, const Counters &c)
{
    char text[kCounterText];
    std::snprintf(text, sizeof text, "|%012lu|%012lu|%012lu|%012lu|", static_cast<unsigned long>(c.rx_bytes),
                  static_cast<unsigned long>(c.rx_packets), static_cast<unsigned long>(c.tx_bytes),
                  static_cast<unsigned long>(c.tx_packets));
    return nvram_set(name, text);
}

// Reads "|%lu|%lu|%lu|%lu|" from the first 63 characters of the value; the
// fields from the first one that does not parse on stay 0.
Counters load_counters(const char *name)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s", get(name));
    Counters c;
    std::uint32_t *field[] = {&c.rx_bytes, &c.rx_packets, &c.tx_bytes, &c.tx_packets};
    const char *p = text;
    for (std::uint32_t *f : field) {
        if (*p++ != '|' || !scan_u32(p, *f))
            break;
    }
    return c;
}

// Fields 1, 2, 9 and 10 after the colon of the interface's /proc/net/dev line;
// zeros when the file or the line is missing, and for missing fields.
Counters kernel_counters(const char *ifname)
{
    Counters c;
    DevPath path("/proc/net/dev");
    UniqueFile f(std::fopen(path, "re"));
    if (!f)
        return c;
    char line[512];
    while (std::fgets(line, sizeof line, f.get()) != nullptr) {
        if (std::strchr(line, '\n') == nullptr) {
            // Over-long line: drop its rest so it cannot pass for a line of its own.
            int ch;
            while ((ch = std::fgetc(f.get())) != EOF && ch != '\n') {
            }
        }
        char *colon = std::strchr(line, ':');
        if (colon == nullptr)
            continue;
        *colon = '\0';
        char *name = line + std::strspn(line, " \t");
        name[std::strcspn(name, " \t")] = '\0';
        if (name[0] == '\0' || std::strcmp(name, ifname) != 0)
            continue;
        std::uint32_t word[10] = {};
        const char *p = colon + 1;
        for (std::uint32_t &w : word) {
            p += std::strspn(p, " \t\n");
            if (*p == '\0')
                break;
            const char *q = p;
            if (!scan_u32(q, w))
                w = 0;
            p += std::strcspn(p, " \t\n");
        }
        c = {word[0], word[1], word[8], word[9]};
        break;
    }
    return c;
}

// 42B, 1.5KB, 2.5MB: decimal units, the quotient in single precision.
void display_bytes(std::uint32_t v, char *out, std::size_t size)
{
    float f = static_cast<float>(v);
    if (f < 100.0f)
        std::snprintf(out, size, "%uB", static_cast<unsigned>(v));
    else if (f < 100000.0f)
        std::snprintf(out, size, "%.1fKB", static_cast<double>(f / 1000.0f));
    else
        std::snprintf(out, size, "%.1fMB", static_cast<double>(f / 1000000.0f));
}

std::uint32_t uptime_seconds()
{
    struct sysinfo info;
    if (sysinfo(&info) != 0)
        return 0;
    return static_cast<std::uint32_t>(info.uptime);
}

} // namespace
} // namespace devlib::wan

using namespace devlib::wan;

extern "C" int Update3GStat(int wan, int mode, Traffic3GStat *stat)
{
    Counters base = load_counters("_3g_cstat");
    Counters now = base;
    if (to_int(nvram_get("_3g_exist")) != 0)
        now = kernel_counters(get_index("_wan_if", wan));

    if (mode == 0)
        return store_counters("_3g_cstat", now);

    if (mode == 1) {
        store_counters("_3g_cstat", now);
        Counters diff = now - base;
        store_counters("_3g_tstat", load_counters("_3g_tstat") + diff);
        char tx[16];
        char rx[16];
        display_bytes(diff.tx_bytes, tx, sizeof tx);
        display_bytes(diff.rx_bytes, rx, sizeof rx);
        char count[sizeof tx + sizeof rx];
        std::snprintf(count, sizeof count, "%s/%s", tx, rx);
        nvram_set("_3g_count", count);
        std::uint32_t since = 0;
        const char *up = get_index("_wan_uptime", wan);
        scan_u32(up, since);
        char secs[16];
        std::snprintf(secs, sizeof secs, "%lu", static_cast<unsigned long>(uptime_seconds() - since));
        return nvram_set("_3g_totcon", secs);
    }

    if (mode == 2) {
        Counters diff = now - base;
        Counters total = load_counters("_3g_tstat") + diff;
        Traffic3GStat s = {diff.tx_bytes,  diff.tx_packets,  diff.rx_bytes,  diff.rx_packets,
                           total.tx_bytes, total.tx_packets, total.rx_bytes, total.rx_packets};
        if (stat != nullptr)
            *stat = s;
        return static_cast<int>(s.tot_rx_packets);
    }
    return 2;
}
