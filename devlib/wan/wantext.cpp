// The texts of the WAN address event and the buffer they share.
#include "wan/wanip.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace devlib::wan {
namespace {

constexpr const char kRoutePrefix[] = "ip ro replace default";
constexpr std::size_t kRouteMax = sizeof kRoutePrefix - 1 + sizeof " nexthop via  dev " - 1 + kGatewayMax + kIfNameMax + 1;
constexpr std::size_t kSubjectMax = sizeof "WAN IP Change notice from  (new IP: )" - 1 + kHostMax + kAddrMax;
constexpr std::size_t kTextSize = (kRouteMax > kSubjectMax ? kRouteMax : kSubjectMax) + 1;

// Shared by the route line and the subject; the operation is not reentrant.
char g_text[kTextSize];

bool shell_word(const char *s, std::size_t max)
{
    std::size_t n = std::strlen(s);
    if (n == 0 || n > max)
        return false;
    for (const char *p = s; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::strchr("._-+@", c) == nullptr)
            return false;
    }
    return true;
}

bool dotted_quad(const char *s)
{
    struct in_addr a;
    return inet_pton(AF_INET, s, &a) == 1;
}

} // namespace

void clear_text() { g_text[0] = '\0'; }

const char *compose_route_line(const char *ifname, const char *ip, const char *gw, bool if_exists)
{
    bool nexthop = if_exists && std::strcmp(ip, "-1") != 0 && shell_word(ifname, kIfNameMax) &&
                   (gw[0] == '\0' || dotted_quad(gw));
    if (!nexthop)
        std::snprintf(g_text, sizeof g_text, "%s\n", kRoutePrefix);
    else if (gw[0] != '\0')
        std::snprintf(g_text, sizeof g_text, "%s nexthop via %s dev %s\n", kRoutePrefix, gw, ifname);
    else
        std::snprintf(g_text, sizeof g_text, "%s nexthop dev %s\n", kRoutePrefix, ifname);
    return g_text;
}

const char *compose_subject(const char *host, const char *ip)
{
    std::snprintf(g_text, sizeof g_text, "WAN IP Change notice from %.*s (new IP: %.*s)", static_cast<int>(kHostMax),
                  host, static_cast<int>(kAddrMax), ip);
    return g_text;
}

} // namespace devlib::wan
