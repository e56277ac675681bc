#include "schedule.h"

#include "devlib/devlib.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace arbd {
namespace {

const char *value_of(const char *name)
{
    const char *v = nvram_get(name);
    return v != nullptr ? v : "";
}

bool enabled() { return std::strcmp(value_of("ARB_EN"), "1") == 0; }

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

long device_uptime()
{
    struct sysinfo si;
    return ::sysinfo(&si) == 0 ? si.uptime : 0;
}

int device_minute()
{
    std::time_t now = std::time(nullptr);
    std::tm tm;
    if (::localtime_r(&now, &tm) == nullptr)
        return -1;
    return tm.tm_hour * 60 + tm.tm_min;
}

void device_sleep(unsigned seconds)
{
    while (seconds > 0)
        seconds = ::sleep(seconds);
}

constexpr System kDevice = {device_uptime, device_minute, device_sleep, SaveNReboot};

} // namespace

unsigned startup_delay(long uptime)
{
    if (uptime >= kSettledUptime)
        return 0;
    return static_cast<unsigned>(kSettledUptime - (uptime > 0 ? uptime : 0));
}

long long store_number(const char *text)
{
    const char *p = text;
    while (is_space(*p))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (v <= static_cast<long long>(INT_MAX) + 1)
            v = v * 10 + (*p - '0');
    }
    v = negative ? -v : v;
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v;
}

long long reboot_minute(const char *hour, const char *minute)
{
    return store_number(hour) * 60 + store_number(minute);
}

bool time_matches(long long t, int n)
{
    if (t == 0)
        return n == kMinutesPerDay - 1 || n == 0 || n == 1;
    if (t == kMinutesPerDay - 1)
        return n == kMinutesPerDay - 2 || n == kMinutesPerDay - 1 || n == 0;
    return n >= t - 1 && n <= t + 1;
}

bool reboot_due(int n)
{
    if (time_matches(reboot_minute(value_of("ARB_H"), value_of("ARB_M")), n))
        return true;
    const char *h2 = value_of("ARB_H2");
    const char *m2 = value_of("ARB_M2");
    return h2[0] != '\0' && m2[0] != '\0' && time_matches(reboot_minute(h2, m2), n);
}

const System &device_system() { return kDevice; }

int run(const System &sys)
{
    if (!enabled())
        return 0;
    // A daemon started right after a scheduled restart cannot hit the same
    // window again: the first check comes after an hour of uptime.
    if (unsigned delay = startup_delay(sys.uptime()))
        sys.sleep(delay);
    for (;;) {
        if (!enabled())
            return 0;
        int n = sys.minute_now();
        if (n >= 0 && reboot_due(n)) {
            sys.reboot();
            return 0;
        }
        sys.sleep(kCheckInterval);
    }
}

} // namespace arbd
