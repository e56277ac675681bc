// The one route request behind route_add and route_del.
#pragma once

namespace devlib {

// request is SIOCADDRT or SIOCDELRT; the rest as route_add. 0 or the errno.
int route_ioctl(unsigned long request, const char *dev, int metric, const char *dst, const char *gateway,
                const char *netmask);

} // namespace devlib
