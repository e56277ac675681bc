// Per-WAN run-time state in the store and the two IP indicator LEDs.
#include "devlib.h"

#include "util/tools.h"
#include "wan/storeval.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/sysinfo.h>

namespace devlib::wan {
namespace {

constexpr const char *kIpOkLed = "/proc/GPIOUSER/ipokled";
constexpr const char *kIpNgLed = "/proc/GPIOUSER/ipngled";

// The IP-up LED is always written first.
void set_ip_leds(const char *ok, const char *ng)
{
    buf_to_file(kIpOkLed, ok);
    buf_to_file(kIpNgLed, ng);
}

} // namespace
} // namespace devlib::wan

using namespace devlib::wan;

extern "C" int UpdateWANIF(int wan, const char *ifname)
{
    ifname = str_or_empty(ifname);
    // Store values stay put at their address while other names are written.
    const char *prev = get_index("_wan_oldif", wan);
    int changed = 0;
    if (std::strcmp(ifname, prev) != 0) {
        if (ifname[0] == '\0')
            nvram_set_index("_wan_ip", wan, ""); // no interface, no address
        nvram_set_index("_wan_if", wan, ifname);
        nvram_set_index("_wan_nat", wan, get_index("WAN_NAT", wan));
        if (wan == 0) {
            if (prev[0] != '\0')
                run_task("/usr/sbin/tc", "tc", "qdisc", "del", "dev", prev, "root", nullptr);
            if (ifname[0] != '\0' && IsModem() == 0) {
                devlib::tool_ipt_update_wanif(0);
                devlib::tool_qos_restore();
            }
        }
        nvram_set_index("_wan_oldif", wan, ifname);
        changed = 1;
    }
    if (wan == 0)
        StaticRTUpdate();
    if (DefWANIPUp() != 0) {
        set_ip_leds("1", "0");
    } else {
        KillProcessByName("IGMPProxy", SIGTERM);
        // A negative state asks that the LEDs be left alone.
        if (to_int(nvram_get_index("_wan_stat", 0)) >= 0)
            set_ip_leds("0", "0");
    }
    return changed;
}

extern "C" int DefWANIPUp(void) { return get_index("_wan_ip", 0)[0] != '\0' ? 1 : 0; }

extern "C" int IsModem(void)
{
    if (std::strcmp(get("WAN_PORT"), "ADSL") != 0)
        return 0;
    for (int n = 0; n < 8; n++) {
        if (get_index("WAN_NAME", n)[0] != '\0' && std::strcmp(get_index("WAN_PROT", n), "bridge") != 0)
            return 0;
    }
    return 1;
}

extern "C" void UpdateIPLed(int state)
{
    if (state == 0) {
        // With the ADSL line itself down the IP LEDs are not ours to set.
        if (std::strcmp(get("WAN_PORT"), "ADSL") == 0 && !is_on(nvram_get("_adsl_ok")))
            return;
    } else if (state != 255) {
        return;
    }
    set_ip_leds("0", "1");
}

extern "C" void SetWANUptime(int wan)
{
    char text[24] = "";
    struct sysinfo info;
    if (sysinfo(&info) == 0)
        std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(info.uptime));
    nvram_set_index("_wan_uptime", wan, text);
}
