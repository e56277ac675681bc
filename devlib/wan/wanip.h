// The texts of the WAN address event, composed in its one process-wide buffer.
#pragma once

#include <cstddef>

namespace devlib::wan {

// Longest texts that go into the buffer: a gateway is a dotted quad, an
// interface name has at most 15 characters, a host name at most 64 (the
// kernel's limit), and the address in the subject at most 45 (any address text).
inline constexpr std::size_t kGatewayMax = 15;
inline constexpr std::size_t kIfNameMax = 15;
inline constexpr std::size_t kHostMax = 64;
inline constexpr std::size_t kAddrMax = 45;

// Empties the buffer, at the start of each event.
void clear_text();
// The default route line, "\n" included. The nexthop is named only when the
// interface is there, the address is not "-1", and the gateway (dotted quad
// or empty) and the interface name are texts that a shell line cannot
// misread; otherwise the line has no nexthop and no default route results.
const char *compose_route_line(const char *ifname, const char *ip, const char *gw, bool if_exists);
// The mail subject; a longer host name or address is cut to the limits above.
const char *compose_subject(const char *host, const char *ip);

} // namespace devlib::wan
