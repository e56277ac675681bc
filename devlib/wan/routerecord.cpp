// Lines of the static route and ARP records.
#include "wan/staticroute.h"

#include "wan/storeval.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

namespace devlib::wan {
namespace {

// A text that a record field can carry unchanged.
bool fits(const char *text, std::size_t max, const char *forbidden)
{
    std::size_t n = std::strlen(text);
    return n <= max && std::strpbrk(text, forbidden) == nullptr;
}

template <std::size_t N> void copy(char (&dst)[N], const char *src) { std::snprintf(dst, N, "%s", src); }

// One text field of a route line: 1 to 15 characters up to the next '|'.
const char *route_field(const char *p, char (&out)[16])
{
    std::size_t n = std::strcspn(p, "|");
    if (n == 0 || n >= sizeof out || p[n] != '|')
        return nullptr;
    std::memcpy(out, p, n);
    out[n] = '\0';
    if (std::strcmp(out, "&") == 0)
        out[0] = '\0';
    return p + n + 1;
}

} // namespace

bool route_entry(int n, RouteRecord &r)
{
    const char *mask = get_index("STRT_MASK", n);
    const char *dst = get_index("STRT_DST", n);
    struct in_addr m, d;
    if (inet_aton(mask, &m) == 0 || inet_aton(dst, &d) == 0)
        return false;
    d.s_addr &= m.s_addr;
    inet_ntop(AF_INET, &d, r.dst, sizeof r.dst);

    const char *gw = get_index("STRT_GW", n);
    const char *which = get_index("STRT_IF", n);
    const char *dev = which[0] == '\0'                ? ""
                      : std::strcmp(which, "lan") == 0 ? get("LAN_IF")
                                                       : get_index("_wan_if", 0);
    const char *kBreaks = "| \t\r\n\v\f";
    if (!fits(mask, 15, kBreaks) || !fits(gw, 15, kBreaks) || !fits(dev, 15, kBreaks))
        return false;
    copy(r.mask, mask);
    copy(r.gw, gw);
    copy(r.dev, dev);
    r.metric = to_int(nvram_get_index("STRT_COST", n));
    return true;
}

void format_route_line(const RouteRecord &r, char *out, std::size_t size)
{
    std::snprintf(out, size, "|%s|%s|%s|%s|%d|\n", r.dst, r.mask, r.gw[0] != '\0' ? r.gw : "&",
                  r.dev[0] != '\0' ? r.dev : "&", r.metric);
}

bool parse_route_line(const char *line, RouteRecord &r)
{
    const char *p = line;
    if (*p++ != '|')
        return false;
    if ((p = route_field(p, r.dst)) == nullptr || (p = route_field(p, r.mask)) == nullptr ||
        (p = route_field(p, r.gw)) == nullptr || (p = route_field(p, r.dev)) == nullptr)
        return false;
    char *end;
    errno = 0;
    long metric = std::strtol(p, &end, 10);
    if (end == p || *end != '|' || errno != 0 || metric < INT_MIN || metric > INT_MAX)
        return false;
    r.metric = static_cast<int>(metric);
    return end[1] == '\0' || std::strcmp(end + 1, "\n") == 0;
}

bool arp_entry(int n, ArpRecord &r)
{
    const char *ip = get_index("STARP_IP", n);
    const char *mac = get_index("STARP_MAC", n);
    const char *kBlanks = " \t\r\n\v\f";
    if (!fits(ip, 23, kBlanks) || !fits(mac, 23, kBlanks))
        return false;
    copy(r.ip, ip);
    copy(r.mac, mac);
    return true;
}

bool parse_arp_line(const char *line, ArpRecord &r)
{
    const char *sp = std::strchr(line, ' ');
    if (sp == nullptr)
        return false;
    std::size_t ip_len = static_cast<std::size_t>(sp - line);
    const char *mac = sp + 1;
    std::size_t mac_len = std::strcspn(mac, "\n");
    if (ip_len >= sizeof r.ip || mac_len >= sizeof r.mac || (mac[mac_len] == '\n' && mac[mac_len + 1] != '\0'))
        return false;
    std::memcpy(r.ip, line, ip_len);
    r.ip[ip_len] = '\0';
    std::memcpy(r.mac, mac, mac_len);
    r.mac[mac_len] = '\0';
    return std::strpbrk(r.ip, " \t") == nullptr && std::strpbrk(r.mac, " \t") == nullptr;
}

void parse_mac(const char *text, unsigned char (&mac)[6])
{
    std::memset(mac, 0, sizeof mac);
    std::sscanf(text, "%2hhx:%2hhx:%2hhx:%2hhx:%2hhx:%2hhx", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4], &mac[5]);
}

} // namespace devlib::wan

