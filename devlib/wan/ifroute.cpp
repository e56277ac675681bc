// Interface and route control through the kernel's socket ioctls.
#include "devlib.h"
#include "util/fd.h"
#include "wan/console.h"
#include "wan/route.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

// The kernel's request codes and flag bits, the same on every Linux target.
static_assert(SIOCGIFINDEX == 0x8933 && SIOCGIFADDR == 0x8915 && SIOCSIFFLAGS == 0x8914);
static_assert(SIOCSIFADDR == 0x8916 && SIOCSIFNETMASK == 0x891C && SIOCSIFBRDADDR == 0x891A);
static_assert(SIOCADDRT == 0x890B && SIOCDELRT == 0x890C);
static_assert(RTF_UP == 0x0001 && RTF_GATEWAY == 0x0002 && RTF_HOST == 0x0004);
static_assert((IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST) == 0x1043);

namespace devlib {
namespace {

constexpr std::size_t kNameMax = IFNAMSIZ - 1;

// The kernel would cut a longer name to 15 characters and act on whatever
// interface has the cut name; no interface has the long one.
bool name_fits(const char *name) { return strnlen(name, IFNAMSIZ) <= kNameMax; }

// One console line for a failed step; its errno is the result.
int report(const char *name, int err)
{
    console_printf("%s: %s\n", name, std::strerror(err));
    return err;
}

bool parse(const char *text, in_addr *out)
{
    in_addr a{};
    if (inet_aton(text, &a) == 0)
        return false;
    *out = a;
    return true;
}

void put_addr(sockaddr *sa, in_addr a)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = a;
    static_assert(sizeof sin <= sizeof(sockaddr));
    std::memcpy(sa, &sin, sizeof sin);
}

// A request naming the interface; name_fits(name) holds.
ifreq request_for(const char *name)
{
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name, std::strlen(name));
    return ifr;
}

} // namespace

int route_ioctl(unsigned long request, const char *dev, int metric, const char *dst, const char *gateway,
                const char *netmask)
{
    if (!name_fits(dev))
        return report(dev, ENODEV);
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.ok())
        return report(dev, errno);

    // Text that does not parse stays 0.0.0.0, as does a missing address.
    in_addr d{}, g{}, m{};
    if (dst != nullptr)
        parse(dst, &d);
    if (gateway != nullptr)
        parse(gateway, &g);
    if (netmask != nullptr)
        parse(netmask, &m);

    rtentry rt;
    std::memset(&rt, 0, sizeof rt);
    put_addr(&rt.rt_dst, d);
    put_addr(&rt.rt_gateway, g);
    put_addr(&rt.rt_genmask, m);
    rt.rt_flags = RTF_UP;
    if (g.s_addr != 0)
        rt.rt_flags |= RTF_GATEWAY;
    if (m.s_addr == 0xFFFFFFFF)
        rt.rt_flags |= RTF_HOST;
    rt.rt_metric = static_cast<short>(metric); // the kernel records this less one
    // The kernel copies 15 bytes from rt_dev whatever the name's length: give
    // it a full buffer, not the caller's string.
    char name[IFNAMSIZ] = {};
    if (dev[0] != '\0') {
        std::memcpy(name, dev, std::strlen(dev));
        rt.rt_dev = name;
    }
    if (::ioctl(s.get(), request, &rt) < 0) {
        int e = errno;
        s.reset();
        return report(dev, e);
    }
    return 0;
}

} // namespace devlib

using devlib::name_fits;
using devlib::report;

extern "C" int bInterfaceExist(const char *name)
{
    if (name == nullptr || name[0] == '\0' || !name_fits(name))
        return 0;
    devlib::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.ok())
        return 0;
    ifreq ifr = devlib::request_for(name);
    if (::ioctl(s.get(), SIOCGIFINDEX, &ifr) < 0)
        return 0;
    return ::ioctl(s.get(), SIOCGIFADDR, &ifr) == 0 ? 1 : 0;
}

extern "C" int ifconfig(const char *name, int flags, const char *address, const char *netmask)
{
    if (!name_fits(name))
        return report(name, ENODEV);
    // Text that is not an address is refused before anything changes.
    in_addr addr{}, mask{};
    if (address != nullptr && !devlib::parse(address, &addr))
        return report(name, EINVAL);
    if (address != nullptr && netmask != nullptr && !devlib::parse(netmask, &mask))
        return report(name, EINVAL);

    devlib::UniqueFd s(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (!s.ok())
        return report(name, errno);
    auto step = [&](unsigned long request, ifreq &ifr) {
        if (::ioctl(s.get(), request, &ifr) == 0)
            return 0;
        int e = errno;
        s.reset();
        return report(name, e);
    };

    ifreq ifr = devlib::request_for(name);
    ifr.ifr_flags = static_cast<short>(flags); // the low 16 bits, as given
    if (int e = step(SIOCSIFFLAGS, ifr))
        return e;
    if (address == nullptr)
        return 0;
    devlib::put_addr(&ifr.ifr_addr, addr);
    if (int e = step(SIOCSIFADDR, ifr))
        return e;
    if (netmask == nullptr)
        return 0;
    devlib::put_addr(&ifr.ifr_netmask, mask);
    if (int e = step(SIOCSIFNETMASK, ifr))
        return e;
    in_addr broadcast;
    broadcast.s_addr = ~mask.s_addr | addr.s_addr;
    devlib::put_addr(&ifr.ifr_broadaddr, broadcast);
    return step(SIOCSIFBRDADDR, ifr);
}

extern "C" int route_add(const char *dev, int metric, const char *dst, const char *gateway, const char *netmask)
{
    return devlib::route_ioctl(SIOCADDRT, dev, metric, dst, gateway, netmask);
}

extern "C" int route_del(const char *dev, int metric, const char *dst, const char *gateway, const char *netmask)
{
    return devlib::route_ioctl(SIOCDELRT, dev, metric, dst, gateway, netmask);
}

extern "C" int SetupLoopback(void)
{
    ifconfig("lo", 0x1043, "127.0.0.1", "255.0.0.0");
    return route_add("lo", 0, "127.0.0.0", "0.0.0.0", "255.0.0.0");
}
