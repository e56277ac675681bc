// Weekly time slots in the store, and their iptables time match.
#include "devlib.h"

#include "firewall/decimal.h"

#include <cstdio>
#include <cstring>

static_assert(sizeof(TimeSlot) == 11 * 4, "eleven 32-bit fields, as stored records and callers lay them out");

namespace {

using devlib::fw::decimal_value;

bool usable(int slot) { return slot != 0 && slot != TS_NO_SLOT && slot <= 16; }

// Store keys of the day flags, in the order of TimeSlot::day (Sunday first).
constexpr const char *kDayKey[7] = {"TS_D7", "TS_D1", "TS_D2", "TS_D3", "TS_D4", "TS_D5", "TS_D6"};
constexpr const char *kDayName[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

int get(const char *key, int slot) { return decimal_value(nvram_get_index(key, slot)); }

} // namespace

extern "C" int set_time_slot(const TimeSlot *ts, int slot)
{
    if (!usable(slot))
        return 1;
    (void)nvram_set_index_int("TS_H_S", slot, ts->start_hour);
    (void)nvram_set_index_int("TS_H_E", slot, ts->end_hour);
    (void)nvram_set_index_int("TS_M_S", slot, ts->start_min);
    (void)nvram_set_index_int("TS_M_E", slot, ts->end_min);
    int mask = 0;
    for (int d = 0; d < 7; ++d)
        if (ts->day[d] != 0)
            mask |= 1 << d;
    (void)nvram_set_index_int("TS_DAY", slot, mask);
    return 1;
}

extern "C" int get_time_slot(TimeSlot *ts, int slot)
{
    if (!usable(slot))
        return 1;
    *ts = TimeSlot{};
    ts->start_hour = get("TS_H_S", slot);
    ts->end_hour = get("TS_H_E", slot);
    ts->start_min = get("TS_M_S", slot);
    ts->end_min = get("TS_M_E", slot);
    for (int d = 0; d < 7; ++d)
        ts->day[d] = get(kDayKey[d], slot);
    return 1;
}

extern "C" int get_timeslot_match(char *buf, int slot)
{
    constexpr std::size_t kSize = TS_MATCH_SIZE;
    std::snprintf(buf, kSize, " ");
    if (!usable(slot))
        return 0;
    TimeSlot ts{};
    get_time_slot(&ts, slot);
    bool any = false;
    bool every = true;
    for (int flag : ts.day) {
        any = any || flag != 0;
        every = every && flag == 1;
    }
    if (!any)
        return 0;
    int n = std::snprintf(buf, kSize, " -m time --timestart %d:%d --timestop %d:%d ", ts.start_hour,
                          ts.start_min, ts.end_hour, ts.end_min);
    if (every)
        return 0;
    // The list is gathered as ",Sun,Mon ... " and taken from its second byte:
    // 7 names need 29 bytes.
    char days[64];
    std::size_t len = 0;
    for (int d = 0; d < 7; ++d) {
        if (ts.day[d] != 0) {
            days[len++] = ',';
            std::memcpy(days + len, kDayName[d], 3);
            len += 3;
        }
    }
    days[len++] = ' ';
    days[len] = '\0';
    std::snprintf(buf + n, kSize - static_cast<std::size_t>(n), " --days %s", days + 1);
    return 0;
}
