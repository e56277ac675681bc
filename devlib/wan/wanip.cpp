// The WAN address event: state keys, default route, status file, services,
// and the notification mail and DDNS update once per new address.
#include "devlib.h"

#include "platform/root.h"
#include "util/fd.h"
#include "util/tools.h"
#include "wan/console.h"
#include "wan/storeval.h"
#include "wan/wanip.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace devlib::wan {
namespace {

bool real_address(const char *ip)
{
    return ip[0] != '\0' && std::strcmp(ip, "0.0.0.0") != 0 && std::strcmp(ip, "-1") != 0;
}

} // namespace
} // namespace devlib::wan

using namespace devlib::wan;
using devlib::DevPath;
using devlib::UniqueFile;

extern "C" void WANIPUpdate(int wan, const char *ifname, const char *ip, const char *mask, const char *gw)
{
    ifname = str_or_empty(ifname);
    ip = str_or_empty(ip);
    mask = str_or_empty(mask);
    gw = str_or_empty(gw);
    const bool real = real_address(ip);

    clear_text();
    devlib::console_printf("wanid=%d, wanif=%s, ip=%s\n", wan, ifname, ip);

    if (real)
        nvram_set_index("_wan_stat", wan, "3");
    else if (to_int(nvram_get_index("_wan_stat", wan)) >= 0)
        nvram_set_index("_wan_stat", wan, "0"); // a negative state is left alone

    if (wan == 0) {
        const char *line = compose_route_line(ifname, ip, gw, bInterfaceExist(ifname) != 0);
        devlib::console_printf("buf1=%s\n", line);
        DevPath script("/var/defrt");
        UniqueFile f(std::fopen(script, "we"));
        if (f) {
            std::fputs("ip ro delete default\n", f.get());
            std::fputs(line, f.get());
            std::fputs("ip ro flush cache\n", f.get());
            f.close();
            run_task("/bin/sh", "sh", script.c_str(), nullptr);
        } else {
            syslog(LOG_INFO, "create /var/defrt error");
        }
        buf_to_file("/proc/sys/net/ipv4/route/flush", "1");
    }

    nvram_set_index("_wan_ip", wan, std::strcmp(ip, "-1") == 0 ? "" : ip);
    nvram_set_index("_wan_mask", wan, mask);
    nvram_set_index("_wan_gw", wan, gw);

    if (wan == 0 && real && is_on(nvram_get("KIVO_SW"))) {
        devlib::tool_ipt_disable_kivo();
        nvram_set("KIVO_SW", "0");
    }

    UpdateWANIF(wan, ifname);
    if (wan != 0 || IsModem() != 0)
        return;

    const char *status = "/var/etc/status";
    save_globe_config(status, "WAN_IP", ip);
    save_globe_config(status, "WAN_MASK", mask);
    save_globe_config(status, "GATEWAY", gw);
    save_globe_config(status, "WAN_IF", ifname);
    if (!real)
        return;

    ripConfReset();
    UpdateIGMP();
    devlib::tool_ipt_update_wanip(0);
    StaticArpUpdate();

    if (std::strcmp(ip, get("_wan_defrt_ip")) == 0)
        return; // mail and DDNS once per new address
    nvram_set("_wan_defrt_ip", ip);

    const char *subject = compose_subject(get("DEV_HOST"), ip);
    const char *rcv = get("WIPC_RCV_ADDR");
    const char *svr = get("MAIL_SVR");
    const char *from = get("MAIL_SEND");
    if (rcv[0] != '\0' && svr[0] != '\0' && from[0] != '\0') {
        const char *user = get("MAIL_USER");
        const char *passwd = get("MAIL_PASSWD");
        if (user[0] != '\0' && passwd[0] != '\0')
            run_task("/usr/sbin/smtpclient", "smtpclient", "-s", subject, "-f", from, "-u", user, "-p", passwd, "-S",
                     svr, rcv, "&", nullptr);
        else
            run_task("/usr/sbin/smtpclient", "smtpclient", "-s", subject, "-f", from, "-S", svr, rcv, "&", nullptr);
    }
    DDNSUpdate();
}
