#include "wan/svcconf.h"

#include "wan/storeval.h"

#include <cstring>

namespace devlib::wan {
namespace {

bool one_line(const char *v) { return std::strpbrk(v, "\r\n") == nullptr; }

} // namespace

bool ddns_conf_ok()
{
    const char *names[] = {"DDNS_HOST", "DDNS_USER", "DDNS_PASSWD", "DDNS_TIMER", "DDNS_SRV"};
    for (const char *n : names) {
        if (!one_line(get(n)))
            return false;
    }
    return true;
}

bool write_ddns_conf(std::FILE *f)
{
    if (!ddns_conf_ok())
        return false;
    const char *host = get("DDNS_HOST");
    const char *user = get("DDNS_USER");
    const char *passwd = get("DDNS_PASSWD");
    const char *timer = get("DDNS_TIMER");
    const char *srv = get("DDNS_SRV");
    int unit = to_int(nvram_get("DDNS_TUNIT"));
    std::fprintf(f, "host=%s\n", host);
    std::fprintf(f, "user=%s:%s\n", user, passwd);
    std::fprintf(f, "period=%s", timer);
    std::fputs(unit == 0 ? "d\n" : unit == 2 ? "M\n" : "H\n", f);
    std::fprintf(f, "service-type=%s\n", srv);
    std::fputs("daemon\n", f);
    std::fputs("foreground\n", f);
    if (is_on(nvram_get("DDNS_WILD")))
        std::fputs("wildcard\n", f);
    return true;
}

int rip_mode()
{
    int mode = to_int(nvram_get("LAN_RIP"));
    return mode >= 1 && mode <= 4 ? mode : 0;
}

bool write_ripd_conf(std::FILE *f, int mode)
{
    std::fputs("router rip\n", f);
    std::fputs("redistribute connected\n", f);
    const char *lan = get("LAN_IF");
    if (!one_line(lan))
        return false;
    std::fprintf(f, "network %s\n", lan);
    std::fprintf(f, "interface %s\n", lan);
    static constexpr const char *kVersion[5][3] = {
        {},
        {"ip rip receive version 1\n", "ip rip send version 1\n", "no multicast\n"},
        {"ip rip receive version 2\n", "ip rip send version 2\n", "no multicast\n"},
        {"ip rip receive version 2\n", "ip rip send version 2\n", nullptr},
        {"ip rip receive version 1 2\n", "ip rip send version 1 2\n", "no multicast\n"},
    };
    if (mode >= 1 && mode <= 4) {
        for (const char *line : kVersion[mode]) {
            if (line != nullptr)
                std::fputs(line, f);
        }
    }
    return true;
}

} // namespace devlib::wan
