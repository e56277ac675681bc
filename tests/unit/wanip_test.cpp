#include "devlib.h"

#include "support.h"
#include "wan/wanip.h"

#include <string>

namespace {

TEST(WanEventTexts, RouteLine)
{
    struct Case {
        const char *what;
        const char *ifname, *ip, *gw;
        bool exists;
        const char *line;
    };
    const Case cases[] = {
        {"gateway", "nas0", "10.0.0.2", "10.0.0.1", true, "ip ro replace default nexthop via 10.0.0.1 dev nas0\n"},
        {"no gateway", "ppp0", "10.64.1.2", "", true, "ip ro replace default nexthop dev ppp0\n"},
        {"interface absent", "ppp0", "10.64.1.2", "10.64.0.1", false, "ip ro replace default\n"},
        {"address -1", "nas0", "-1", "10.0.0.1", true, "ip ro replace default\n"},
        {"address 0.0.0.0 keeps the nexthop", "nas0", "0.0.0.0", "10.0.0.1", true,
         "ip ro replace default nexthop via 10.0.0.1 dev nas0\n"},
        {"empty address keeps the nexthop", "nas0", "", "", true, "ip ro replace default nexthop dev nas0\n"},
        {"longest", "abcdefghijklmno", "1.2.3.4", "100.100.100.100", true,
         "ip ro replace default nexthop via 100.100.100.100 dev abcdefghijklmno\n"},
        {"gateway that is not an address", "nas0", "10.0.0.2", "10.0.0.1; reboot", true, "ip ro replace default\n"},
        {"gateway of 16 characters", "nas0", "10.0.0.2", "100.100.100.1000", true, "ip ro replace default\n"},
        {"interface name a shell would split", "nas0 $(reboot)", "10.0.0.2", "", true, "ip ro replace default\n"},
        {"interface name over 15 characters", "abcdefghijklmnop", "10.0.0.2", "", true, "ip ro replace default\n"},
        {"interface name with dot and underscore", "nas0_1.100", "10.0.0.2", "", true,
         "ip ro replace default nexthop dev nas0_1.100\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(devlib::wan::compose_route_line(c.ifname, c.ip, c.gw, c.exists), std::string(c.line));
    }
}

TEST(WanEventTexts, Subject)
{
    EXPECT_STREQ(devlib::wan::compose_subject("router", "10.0.0.2"), "WAN IP Change notice from router (new IP: 10.0.0.2)");
    EXPECT_STREQ(devlib::wan::compose_subject("", ""), "WAN IP Change notice from  (new IP: )");
    // Host name and address at and past their limits: cut, never overflowing.
    std::string host64(64, 'h');
    std::string addr45(45, 'a');
    std::string longest = "WAN IP Change notice from " + host64 + " (new IP: " + addr45 + ")";
    EXPECT_EQ(devlib::wan::compose_subject(host64.c_str(), addr45.c_str()), longest);
    std::string host_long(5000, 'h');
    std::string addr_long(5000, 'a');
    EXPECT_EQ(devlib::wan::compose_subject(host_long.c_str(), addr_long.c_str()), longest);
}

} // namespace
