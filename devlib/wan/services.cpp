// The WAN-dependent services: each is stopped first, then started again from
// the store when enabled, so a disabled service is always left stopped.
#include "wan/services.h"

#include "devlib.h"
#include "platform/root.h"
#include "util/fd.h"
#include "util/tools.h"
#include "wan/storeval.h"
#include "wan/svcconf.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace devlib::wan {
namespace {

constexpr const char *kDdnsConf = "/tmp/ddns.conf";
constexpr const char *kRipConf = "/var/ripd.conf";

int g_upnp_term_wait = 5;
int g_upnp_kill_wait = 2;

// Tests once a second, up to seconds times, whether no process of the name is left.
bool gone_within(const char *name, int seconds)
{
    for (int i = 0;; i++) {
        if (KillProcessByName(name, 0) == 0)
            return true;
        if (i == seconds)
            return false;
        sleep(1);
    }
}

} // namespace

void set_upnp_wait(int term_seconds, int kill_seconds)
{
    g_upnp_term_wait = term_seconds;
    g_upnp_kill_wait = kill_seconds;
}

} // namespace devlib::wan

using namespace devlib::wan;
using devlib::DevPath;
using devlib::UniqueFile;

extern "C" void DDNSUpdate(void)
{
    KillProcessByName("ez-ipupdate", SIGKILL);
    if (IsModem() != 0 || !is_on(nvram_get("DDNS_ENABLE")))
        return;
    // Refused settings leave the old file and the client stopped.
    if (!ddns_conf_ok())
        return;
    DevPath conf(kDdnsConf);
    UniqueFile f(std::fopen(conf, "we"));
    if (!f)
        return;
    write_ddns_conf(f.get());
    f.close();
    run_task("/bin/ez-ipupdate", "ez-ipupdate", "-i", get_index("_wan_if", 0), "-b", "", "-c", conf.c_str(), "&",
             nullptr);
}

extern "C" void UpdateIGMP(void)
{
    KillProcessByName("IGMPProxy", SIGTERM);
    if (IsModem() == 0 && is_on(nvram_get("IGMP_PROXY")))
        run_task("/usr/sbin/IGMPProxy", "IGMPProxy", "-n", get_index("_wan_if", 0), "&", nullptr);
    run_task("/bin/brctl", "brctl", "igmpsnoop", get("LAN_IF"), get("IGMP_SNOOP"), nullptr);
}

extern "C" void UpdateUPnP(int mode)
{
    if ((mode & 0xff) != 0) {
        if (KillProcessByName("miniupnpd", 0) > 0 || !is_on(nvram_get("UPNP_ENABLE")))
            return;
    } else {
        KillProcessByName("miniupnpd", SIGTERM);
        devlib::tool_ipt_restore_upnp();
        if (!is_on(nvram_get("UPNP_ENABLE")))
            return;
        // A daemon that ignores SIGTERM is killed; one that outlives even
        // that (stuck in the kernel) does not hold the restart up for ever.
        if (!gone_within("miniupnpd", g_upnp_term_wait)) {
            KillProcessByName("miniupnpd", SIGKILL);
            gone_within("miniupnpd", g_upnp_kill_wait);
        }
    }
    run_task("/usr/sbin/miniupnpd", "miniupnpd", "-a", get("LAN_IP"), "-p", get("UPNP_PORT"), "&", nullptr);
}

extern "C" int ripConfReset(void)
{
    KillProcessByName("zebra", SIGTERM);
    DevPath conf(kRipConf);
    UniqueFile f(std::fopen(conf, "we"));
    if (!f) {
        std::fputs("can not create the rip file ..\n", stderr);
        return -1;
    }
    int mode = rip_mode();
    bool ok = write_ripd_conf(f.get(), mode);
    f.close();
    if (ok && mode != 0)
        run_task("/usr/sbin/zebra", "zebra", "-f", conf.c_str(), "&", nullptr);
    return 0;
}
