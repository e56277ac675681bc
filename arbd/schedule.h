// The reboot scheduler: when to check, what matches, and the daemon's loop.
#pragma once

namespace arbd {

inline constexpr long kSettledUptime = 3600; // seconds of uptime before the first check
inline constexpr unsigned kCheckInterval = 60;
inline constexpr int kMinutesPerDay = 1440;

// Seconds to sleep before the first check.
unsigned startup_delay(long uptime);

// A store number as atoi reads it (leading white space, a sign, digits;
// anything else gives 0), saturated to the int range instead of overflowing.
long long store_number(const char *text);

// Minutes after midnight of a configured hour and minute (missing: 0).
long long reboot_minute(const char *hour, const char *minute);

// Whether the current minute n (0 to 1439) lies within a minute of t. The
// window wraps around midnight only for t = 0 and t = 1439.
bool time_matches(long long t, int n);

// Whether any configured time matches n; the keys are read afresh.
bool reboot_due(int n);

// What the loop needs from the system; tests pass their own.
struct System {
    long (*uptime)();       // seconds since boot
    int (*minute_now)();    // local minute of the day, or -1 when unknown
    void (*sleep)(unsigned seconds);
    void (*reboot)();       // SaveNReboot on the device; returns only in tests
};

const System &device_system();

// The daemon: returns 0 once ARB_EN is not "1" (or after a reboot that came
// back, in tests).
int run(const System &sys);

} // namespace arbd
