// Static routes, static ARP entries and the host name.
#include "devlib.h"

#include "platform/root.h"
#include "util/fd.h"
#include "wan/staticroute.h"
#include "wan/storeval.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devlib::wan {
namespace {

constexpr const char *kRouteFile = "/tmp/strt.txt";
constexpr const char *kArpFile = "/tmp/starp";

// Reads one line into buf; an over-long line is consumed whole and reported
// as such, so that its tail never passes for a line of its own.
enum class Line { kOk, kTooLong, kEnd };
Line read_line(std::FILE *f, char *buf, int size)
{
    if (std::fgets(buf, size, f) == nullptr)
        return Line::kEnd;
    if (std::strchr(buf, '\n') != nullptr || std::feof(f))
        return Line::kOk;
    int ch;
    while ((ch = std::fgetc(f)) != EOF && ch != '\n') {
    }
    return Line::kTooLong;
}

int arp_request(int sock, unsigned long req, const char *ip, const unsigned char *mac)
{
    struct arpreq r;
    std::memset(&r, 0, sizeof r);
    struct sockaddr_in pa;
    std::memset(&pa, 0, sizeof pa);
    pa.sin_family = AF_INET;
    pa.sin_addr.s_addr = inet_addr(ip); // text that does not parse is 255.255.255.255
    std::memcpy(&r.arp_pa, &pa, sizeof pa);
    if (mac != nullptr) {
        r.arp_ha.sa_family = ARPHRD_ETHER;
        std::memcpy(r.arp_ha.sa_data, mac, 6);
    }
    r.arp_flags = ATF_PERM;
    return ::ioctl(sock, req, &r);
}

} // namespace
} // namespace devlib::wan

using namespace devlib::wan;
using devlib::DevPath;
using devlib::UniqueFd;
using devlib::UniqueFile;

extern "C" int StaticRTUpdate(void)
{
    DevPath path(kRouteFile);
    char line[128];
    {
        // Stops at the first line that is not a record: what follows it is
        // not trusted to be one either.
        UniqueFile old(std::fopen(path, "re"));
        RouteRecord r;
        while (old && read_line(old.get(), line, sizeof line) == Line::kOk && parse_route_line(line, r))
            route_del(r.dev, r.metric, r.dst, r.gw, r.mask);
    }
    int total = to_int(nvram_get("STRT_TOT"));
    UniqueFile out(std::fopen(path, "we"));
    if (!out)
        return 0;
    for (int n = 0; n < total; n++) {
        RouteRecord r;
        if (!route_entry(n, r))
            continue;
        route_add(r.dev, r.metric, r.dst, r.gw, r.mask);
        // Recorded whether or not the kernel took it.
        format_route_line(r, line, sizeof line);
        std::fputs(line, out.get());
    }
    return out.close();
}

extern "C" int StaticArpUpdate(void)
{
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    DevPath path(kArpFile);
    char line[64];
    {
        UniqueFile old(std::fopen(path, "re"));
        Line got;
        while (old && (got = read_line(old.get(), line, sizeof line)) != Line::kEnd) {
            ArpRecord r;
            if (got == Line::kOk && parse_arp_line(line, r))
                arp_request(sock.get(), SIOCDARP, r.ip, nullptr);
        }
    }
    UniqueFile out(std::fopen(path, "we"));
    if (!out)
        return -1;
    int total = to_int(nvram_get("STARP_TOT"));
    for (int n = 0; n < total; n++) {
        ArpRecord r;
        if (!arp_entry(n, r))
            continue;
        unsigned char mac[6];
        parse_mac(r.mac, mac);
        arp_request(sock.get(), SIOCSARP, r.ip, mac);
        std::fprintf(out.get(), "%s %s\n", r.ip, r.mac);
    }
    return 0;
}

extern "C" int SetHostName(const char *name)
{
    name = str_or_empty(name);
    DevPath hosts("/etc/hosts");
    UniqueFile f(std::fopen(hosts, "we"));
    if (f)
        std::fprintf(f.get(), "127.0.0.1 %s\n", name);
    f.close();
    (void)sethostname(name, std::strlen(name));
    return nvram_set("DEV_HOST", name);
}
