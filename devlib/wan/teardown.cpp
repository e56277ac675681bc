// Link teardown before a restart, and the restart itself.
#include "devlib.h"

#include "platform/root.h"
#include "util/fd.h"
#include "util/tools.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Services stopped first, in this order; the loggers go last so that the
// rest of the teardown can still be logged.
constexpr const char *kServices[] = {"watchdog", "selfcheck", "pppoa", "pppoecd", "miniupnpd", "udhcpc",
                                     "dhcpd",    "dhcrelay",  "fdns",  "kivo",    "rma"};
constexpr int kDown = 0xEFBC; // ~(IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST)
constexpr const char *kAdslCmd = "/proc/tc3162/adsl_cmd";

// Set once a teardown of this process ran to its end.
int links_terminated = 0;

const char *value(const char *v) { return v != nullptr ? v : ""; }

} // namespace

extern "C" int TerminateAllLinks(int)
{
    for (const char *name : kServices)
        KillProcessByName(name, SIGTERM);
    ::sleep(2);
    ifconfig("eth0", kDown, nullptr, nullptr);
    ifconfig(value(nvram_get("LAN_IF")), kDown, nullptr, nullptr);

    if (std::strcmp(value(nvram_get("WAN_PORT")), "ADSL") == 0) {
        for (int i = 0; i < 8; i++)
            if (value(nvram_get_index("WAN_NAME", i))[0] != '\0')
                nvram_set_index("WAN_NAME", i, "");
        nvram_set("ADSL_AUTOSCAN", "0");
        devlib::tool_sysapply_wan_change_adsl();
        devlib::UniqueFile f(std::fopen(devlib::DevPath(kAdslCmd), "we"));
        if (!f)
            return std::fprintf(stderr, "adsl_cmd file open fail ..\n"); // a count, never 1
        std::fputs("wan adsl close", f.get());
    }

    KillProcessByName("syslogd", SIGTERM);
    KillProcessByName("klogd", SIGTERM);
    links_terminated = 1;
    return 1;
}

extern "C" int RebootSystem(void)
{
    if (links_terminated == 0)
        TerminateAllLinks(0);
    return ::kill(1, SIGTERM);
}

extern "C" int RetryFileExists(void)
{
    struct stat st;
    return ::stat(devlib::DevPath("/etc/retry"), &st) == 0 ? 1 : 0;
}
