#include "devlib.h"

#include "mem_store.h"
#include "support.h"
#include "wan/staticroute.h"

#include <map>
#include <string>

namespace {

using testsupport::FakeStore;
using Settings = std::map<std::string, std::string>;

class Records : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        FakeStore::install();
    }
    static void load(const Settings &s)
    {
        FakeStore::install();
        for (const auto &[n, v] : s)
            nvram_set(n.c_str(), v.c_str());
    }
};

// Route 0 of the store as its record line; "skip" when it is not recorded.
std::string route_line(const Settings &entry)
{
    Settings s = {{"LAN_IF", "br0"}, {"_wan_if@0", "nas0"}};
    for (const auto &[n, v] : entry)
        s[n] = v;
    FakeStore::install();
    for (const auto &[n, v] : s) {
        if (v != "<missing>")
            nvram_set(n.c_str(), v.c_str());
    }
    devlib::wan::RouteRecord r;
    if (!devlib::wan::route_entry(0, r))
        return "skip";
    char line[128];
    devlib::wan::format_route_line(r, line, sizeof line);
    return line;
}

Settings route(const char *dst, const char *mask, const char *gw, const char *which, const char *cost)
{
    return {{"STRT_DST@0", dst}, {"STRT_MASK@0", mask}, {"STRT_GW@0", gw}, {"STRT_IF@0", which}, {"STRT_COST@0", cost}};
}

TEST_F(Records, RouteLines)
{
    struct Case {
        const char *what;
        Settings entry;
        const char *line;
    };
    const Case cases[] = {
        {"network address, LAN device", route("192.168.5.7", "255.255.255.0", "10.0.0.1", "lan", "2"),
         "|192.168.5.0|255.255.255.0|10.0.0.1|br0|2|\n"},
        {"destination cut to the netmask", route("10.1.2.3", "255.255.0.0", "", "", "0"), "|10.1.0.0|255.255.0.0|&|&|0|\n"},
        {"any other name is WAN 0's interface", route("10.1.0.0", "255.255.0.0", "", "LAN", "0"),
         "|10.1.0.0|255.255.0.0|&|nas0|0|\n"},
        {"lan0 too", route("10.1.0.0", "255.255.0.0", "", "lan0", "0"), "|10.1.0.0|255.255.0.0|&|nas0|0|\n"},
        {"host route keeps the mask text", route("10.9.9.9", "255.255.255.255", "10.0.0.1", "wan", "-3"),
         "|10.9.9.9|255.255.255.255|10.0.0.1|nas0|-3|\n"},
        {"netmask text kept as written", route("10.1.2.3", "0xffff0000", "", "", "x"), "|10.1.0.0|0xffff0000|&|&|0|\n"},
        {"gateway that does not parse is kept", route("10.1.0.0", "255.255.0.0", "gw", "", "1"),
         "|10.1.0.0|255.255.0.0|gw|&|1|\n"},
        {"bad destination", route("10.1.0.256", "255.255.0.0", "", "", "0"), "skip"},
        {"empty netmask", route("10.1.0.0", "", "", "", "0"), "skip"},
        {"gateway of 16 characters", route("10.1.0.0", "255.255.0.0", "100.100.100.1000", "", "0"), "skip"},
        {"gateway of 15 characters", route("10.1.0.0", "255.255.0.0", "100.100.100.100", "", "0"),
         "|10.1.0.0|255.255.0.0|100.100.100.100|&|0|\n"},
        {"netmask of 16 characters", route("10.1.0.0", "0255.0255.0255.0", "", "", "0"), "skip"},
        {"gateway with a bar", route("10.1.0.0", "255.255.0.0", "10.0.0.1|", "", "0"), "skip"},
        {"gateway with a blank", route("10.1.0.0", "255.255.0.0", " 10.0.0.1", "", "0"), "skip"},
        {"netmask with trailing text", route("10.1.0.0", "255.255.0.0 x", "", "", "0"), "skip"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(route_line(c.entry), c.line);
    }

    Settings lan_missing = route("10.1.0.0", "255.255.0.0", "", "lan", "0");
    lan_missing["LAN_IF"] = "<missing>";
    EXPECT_EQ(route_line(lan_missing), "|10.1.0.0|255.255.0.0|&|&|0|\n");
    Settings long_dev = route("10.1.0.0", "255.255.0.0", "", "wan", "0");
    long_dev["_wan_if@0"] = "nas0_0123456789";
    EXPECT_EQ(route_line(long_dev), "|10.1.0.0|255.255.0.0|&|nas0_0123456789|0|\n");
    long_dev["_wan_if@0"] = "nas0_01234567890";
    EXPECT_EQ(route_line(long_dev), "skip");
}

TEST_F(Records, RouteLinesReadBack)
{
    struct Case {
        const char *line;
        bool ok;
        const char *dst, *mask, *gw, *dev;
        int metric;
    };
    const Case cases[] = {
        {"|192.168.5.0|255.255.255.0|&|&|0|\n", true, "192.168.5.0", "255.255.255.0", "", "", 0},
        {"|192.168.5.0|255.255.255.0|10.0.0.1|br0|2|\n", true, "192.168.5.0", "255.255.255.0", "10.0.0.1", "br0", 2},
        {"|1.0.0.0|255.0.0.0|&|nas0_0123456789|-7|", true, "1.0.0.0", "255.0.0.0", "", "nas0_0123456789", -7},
        {"|100.100.100.100|255.255.255.255|100.100.100.100|abcdefghijklmno|2147483647|\n", true, "100.100.100.100",
         "255.255.255.255", "100.100.100.100", "abcdefghijklmno", 2147483647},
        {"|1000.100.100.100|255.0.0.0|&|&|0|\n", false},
        {"|1.0.0.0|255.0.0.0|&|abcdefghijklmnop|0|\n", false},
        {"|1.0.0.0||&|&|0|\n", false},
        {"|1.0.0.0|255.0.0.0|&|&||\n", false},
        {"|1.0.0.0|255.0.0.0|&|&|2147483648|\n", false},
        {"|1.0.0.0|255.0.0.0|&|&|1x|\n", false},
        {"|1.0.0.0|255.0.0.0|&|&|1|junk\n", false},
        {"|1.0.0.0|255.0.0.0|&|&\n", false},
        {"1.0.0.0|255.0.0.0|&|&|1|\n", false},
        {"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        devlib::wan::RouteRecord r;
        ASSERT_EQ(devlib::wan::parse_route_line(c.line, r), c.ok);
        if (!c.ok)
            continue;
        EXPECT_STREQ(r.dst, c.dst);
        EXPECT_STREQ(r.mask, c.mask);
        EXPECT_STREQ(r.gw, c.gw);
        EXPECT_STREQ(r.dev, c.dev);
        EXPECT_EQ(r.metric, c.metric);
        // What is written reads back the same.
        char again[128];
        devlib::wan::format_route_line(r, again, sizeof again);
        devlib::wan::RouteRecord r2;
        EXPECT_TRUE(devlib::wan::parse_route_line(again, r2));
        EXPECT_STREQ(r2.dev, r.dev);
    }
}

TEST_F(Records, ArpEntriesAndLines)
{
    struct Case {
        const char *ip;
        const char *mac;
        bool kept;
    };
    const Case cases[] = {
        {"192.168.1.50", "00:11:22:33:44:55", true},
        {"", "00:11:22:33:44:55", true},
        {"192.168.1.50", "", true},
        {"not an address", "00:11:22:33:44:55", false},
        {"192.168.1.50", "00:11:22:33:44:55 ", false},
        {"192.168.1.50\t", "00:11:22:33:44:55", false},
        {"12345678901234567890123", "00-11-22-33-44-55", true},
        {"123456789012345678901234", "00:11:22:33:44:55", false},
        {"192.168.1.50", "00:11:22:33:44:55:66:77:8", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.ip) + "|" + c.mac);
        load({{"STARP_IP@0", c.ip}, {"STARP_MAC@0", c.mac}});
        devlib::wan::ArpRecord r;
        ASSERT_EQ(devlib::wan::arp_entry(0, r), c.kept);
        if (!c.kept)
            continue;
        // The line as written, then read back to the same two texts.
        std::string line = std::string(r.ip) + " " + r.mac + "\n";
        devlib::wan::ArpRecord back;
        ASSERT_TRUE(devlib::wan::parse_arp_line(line.c_str(), back));
        EXPECT_STREQ(back.ip, c.ip);
        EXPECT_STREQ(back.mac, c.mac);
    }
    devlib::wan::ArpRecord r;
    for (const char *bad : {"10.0.0.1\n", "10.0.0.1 a b\n", "123456789012345678901234 00:11:22:33:44:55\n", ""})
        EXPECT_FALSE(devlib::wan::parse_arp_line(bad, r)) << bad;
}

TEST(ParseMac, StopsAtFirstMismatch)
{
    struct Case {
        const char *text;
        unsigned char mac[6];
    };
    const Case cases[] = {
        {"00:11:22:33:44:55", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"aa:BB:cC:d:e:F", {0xaa, 0xbb, 0xcc, 0x0d, 0x0e, 0x0f}},
        {"0A-11-22-33-44-55", {0x0a, 0, 0, 0, 0, 0}},
        {"01:02:zz:04:05:06", {0x01, 0x02, 0, 0, 0, 0}},
        {"123:45", {0x12, 0, 0, 0, 0, 0}},
        {"", {0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        unsigned char mac[6] = {9, 9, 9, 9, 9, 9};
        devlib::wan::parse_mac(c.text, mac);
        EXPECT_EQ(std::string(mac, mac + 6), std::string(c.mac, c.mac + 6));
    }
}

} // namespace
