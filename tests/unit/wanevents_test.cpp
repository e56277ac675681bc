// Static routes and ARP, WAN state, services and the WAN address event against
// the real kernel and the stand-ins, each case in a device of its own.
#include "wan_device.h"

#include "wan/services.h"

#include <unistd.h>

namespace {

using wantest::Device;
using wantest::lines_with;
using wantest::output;
using wantest::sh;

std::string routes() { return output("ip -4 route show table main"); }
bool has_route(const std::string &route) { return !lines_with(routes(), route).empty(); }

class Routes : public Device {
protected:
    // br0 on the LAN, nas0 on the WAN, both veth pairs with their peers up.
    void network()
    {
        sh("ip link add br0 type veth peer name br0p && ip link add nas0 type veth peer name nas0p");
        sh("ip link set br0p up && ip link set nas0p up && ip link set br0 up && ip link set nas0 up");
        sh("ip addr add 192.168.1.1/24 dev br0 && ip addr add 10.0.0.2/24 dev nas0");
        set("LAN_IF", "br0");
        set("_wan_if@0", "nas0");
    }
    void route(int n, const char *dst, const char *mask, const char *gw, const char *which, const char *cost)
    {
        const std::string i = "@" + std::to_string(n);
        set(("STRT_DST" + i).c_str(), dst);
        set(("STRT_MASK" + i).c_str(), mask);
        set(("STRT_GW" + i).c_str(), gw);
        set(("STRT_IF" + i).c_str(), which);
        set(("STRT_COST" + i).c_str(), cost);
    }
};

TEST_F(Routes, AddedRecordedAndReplaced)
{
    in_device([&] {
        network();
        route(0, "192.168.5.7", "255.255.255.0", "192.168.1.254", "lan", "2");
        route(1, "10.1.2.3", "255.255.0.0", "", "LAN", "0");
        route(2, "172.16.0.9", "255.255.255.255", "10.0.0.1", "wan", "0");
        route(3, "bad", "255.255.0.0", "", "", "0");
        route(4, "172.17.0.0", "255.255.0.0", "10.0.0.1", "", "0");
        set("STRT_TOT", "5");
        EXPECT_EQ(StaticRTUpdate(), 0);
        EXPECT_EQ(read_file("/tmp/strt.txt"), "|192.168.5.0|255.255.255.0|192.168.1.254|br0|2|\n"
                                              "|10.1.0.0|255.255.0.0|&|nas0|0|\n"
                                              "|172.16.0.9|255.255.255.255|10.0.0.1|nas0|0|\n"
                                              "|172.17.0.0|255.255.0.0|10.0.0.1|&|0|\n");
        EXPECT_TRUE(has_route("192.168.5.0/24 via 192.168.1.254 dev br0 metric 1")) << routes();
        EXPECT_TRUE(has_route("10.1.0.0/16 dev nas0 scope link")) << routes();
        EXPECT_TRUE(has_route("172.16.0.9 via 10.0.0.1 dev nas0")) << routes();
        EXPECT_TRUE(has_route("172.17.0.0/16 via 10.0.0.1 dev nas0")) << routes() << "the kernel picks the device";

        // The configuration changes: only what was recorded is removed.
        sh("ip route add 10.9.0.0/16 dev nas0");
        nvram_unset("LAN_IF");
        route(0, "192.168.6.1", "255.255.255.0", "10.0.0.1", "lan", "0");
        set("STRT_TOT", "1");
        EXPECT_EQ(StaticRTUpdate(), 0);
        EXPECT_EQ(read_file("/tmp/strt.txt"), "|192.168.6.0|255.255.255.0|10.0.0.1|&|0|\n");
        EXPECT_FALSE(has_route("192.168.5.0/24")) << routes();
        EXPECT_FALSE(has_route("10.1.0.0/16")) << routes();
        EXPECT_FALSE(has_route("172.16.0.9")) << routes();
        EXPECT_FALSE(has_route("172.17.0.0/16")) << routes();
        EXPECT_TRUE(has_route("192.168.6.0/24 via 10.0.0.1 dev nas0")) << routes();
        EXPECT_TRUE(has_route("10.9.0.0/16 dev nas0")) << "not ours: " << routes();

        for (const char *total : {"0", "-1", ""}) {
            set("STRT_TOT", total);
            EXPECT_EQ(StaticRTUpdate(), 0);
            EXPECT_EQ(read_file("/tmp/strt.txt"), "");
        }
        EXPECT_FALSE(has_route("192.168.6.0/24")) << routes();
    });
}

TEST_F(Routes, RemovalStopsAtFirstUnreadableLine)
{
    in_device([&] {
        network();
        sh("ip route add 10.5.0.0/16 dev nas0 && ip route add 10.6.0.0/16 via 10.0.0.1 && ip route add 10.7.0.0/16 dev nas0");
        write_file("/tmp/strt.txt", "|10.5.0.0|255.255.0.0|&|nas0|0|\n"
                                    "|10.6.0.0|255.255.0.0|10.0.0.1|&|0|\n"
                                    "|10.7.0.0|255.255.0.0|&|nas0_is_far_too_long|0|\n"
                                    "|10.7.0.0|255.255.0.0|&|nas0|0|\n");
        set("STRT_TOT", "0");
        StaticRTUpdate();
        EXPECT_FALSE(has_route("10.5.0.0/16")) << routes();
        EXPECT_FALSE(has_route("10.6.0.0/16")) << routes();
        EXPECT_TRUE(has_route("10.7.0.0/16")) << routes();

        // A record that cannot be created: nothing is added.
        unlink(at("/tmp/strt.txt").c_str());
        mkdir(at("/tmp/strt.txt").c_str(), 0755);
        route(0, "10.9.0.0", "255.255.0.0", "", "wan", "0");
        set("STRT_TOT", "1");
        EXPECT_EQ(StaticRTUpdate(), 0);
        EXPECT_FALSE(has_route("10.9.0.0/16")) << routes();
    });
}

TEST_F(Routes, ArpEntriesPermanentAndReplaced)
{
    in_device([&] {
        network();
        set("STARP_IP@0", "192.168.1.50");
        set("STARP_MAC@0", "00:11:22:33:44:55");
        set("STARP_IP@1", "192.168.1.51");
        set("STARP_MAC@1", "0A-11-22-33-44-55");
        set("STARP_IP@2", "");
        set("STARP_MAC@2", "00:aa:bb:cc:dd:ee");
        set("STARP_IP@3", "192.168.1.53");
        set("STARP_MAC@3", "00:aa:bb:cc:dd:ee and more");
        set("STARP_TOT", "4");
        EXPECT_EQ(StaticArpUpdate(), 0);
        EXPECT_EQ(read_file("/tmp/starp"), "192.168.1.50 00:11:22:33:44:55\n"
                                           "192.168.1.51 0A-11-22-33-44-55\n"
                                           " 00:aa:bb:cc:dd:ee\n");
        std::string neigh = output("ip -4 neigh show dev br0");
        EXPECT_EQ(lines_with(neigh, "192.168.1.50 lladdr 00:11:22:33:44:55 PERMANENT").size(), 1u) << neigh;
        EXPECT_EQ(lines_with(neigh, "192.168.1.51 lladdr 0a:00:00:00:00:00 PERMANENT").size(), 1u) << neigh;
        EXPECT_TRUE(lines_with(neigh, "192.168.1.53").empty()) << neigh;

        // The record with an empty address does not shift the lines after it.
        write_file("/tmp/starp", " 00:aa:bb:cc:dd:ee\n192.168.1.50 00:11:22:33:44:55\n192.168.1.51 \n");
        set("STARP_IP@0", "192.168.1.52");
        set("STARP_MAC@0", "02:00:00:00:00:01");
        set("STARP_TOT", "1");
        EXPECT_EQ(StaticArpUpdate(), 0);
        neigh = output("ip -4 neigh show dev br0");
        EXPECT_TRUE(lines_with(neigh, "192.168.1.50 ").empty()) << neigh;
        EXPECT_TRUE(lines_with(neigh, "192.168.1.51 ").empty()) << neigh;
        EXPECT_EQ(lines_with(neigh, "192.168.1.52 lladdr 02:00:00:00:00:01 PERMANENT").size(), 1u) << neigh;
        EXPECT_EQ(read_file("/tmp/starp"), "192.168.1.52 02:00:00:00:00:01\n");

        std::rename(at("/tmp/starp").c_str(), at("/tmp/old").c_str());
        mkdir(at("/tmp/starp").c_str(), 0755);
        EXPECT_EQ(StaticArpUpdate(), -1);
    });
}

TEST_F(Routes, HostName)
{
    in_device([&] {
        EXPECT_EQ(SetHostName("router"), 0);
        EXPECT_EQ(read_file("/etc/hosts"), "127.0.0.1 router\n");
        char name[128] = {};
        gethostname(name, sizeof name - 1);
        EXPECT_STREQ(name, "router");
        EXPECT_EQ(get("DEV_HOST"), "router");

        // Refused by the kernel and with no /etc to write to: the store still gets it.
        std::string longname(70, 'x');
        sh("rm -rf '" + at("/etc") + "'");
        EXPECT_EQ(SetHostName(longname.c_str()), 0);
        gethostname(name, sizeof name - 1);
        EXPECT_STREQ(name, "router");
        EXPECT_EQ(get("DEV_HOST"), longname);
    });
}

class WanState : public Device {};

TEST_F(WanState, InterfaceChanges)
{
    in_device([&] {
        set("WAN_NAT@0", "1");
        set("_wan_ip@0", "10.64.0.2");
        set("STRT_TOT", "0");

        EXPECT_EQ(UpdateWANIF(0, "ppp0"), 1) << "first name after a restart";
        EXPECT_EQ(calls(), "ipt [update] [wanif] [0]\nqos [restore]\n");
        EXPECT_EQ(get("_wan_if@0"), "ppp0");
        EXPECT_EQ(get("_wan_oldif@0"), "ppp0");
        EXPECT_EQ(get("_wan_nat@0"), "1");
        EXPECT_EQ(leds(), "1/0");
        EXPECT_EQ(read_file("/tmp/strt.txt"), "") << "static routes reapplied";

        unlink(at("/tmp/strt.txt").c_str());
        unlink(at("/proc/GPIOUSER/ipokled").c_str());
        EXPECT_EQ(UpdateWANIF(0, "ppp0"), 0);
        EXPECT_EQ(calls(), "");
        EXPECT_EQ(leds(), "1/0") << "set again";
        EXPECT_TRUE(access(at("/tmp/strt.txt").c_str(), F_OK) == 0) << "routes reapplied when unchanged too";

        set("WAN_NAT@0", "0");
        EXPECT_EQ(UpdateWANIF(0, "nas0"), 1);
        EXPECT_EQ(calls(), "tc [qdisc] [del] [dev] [ppp0] [root]\nipt [update] [wanif] [0]\nqos [restore]\n");
        EXPECT_EQ(get("_wan_nat@0"), "0");

        // The interface goes: no address, IGMPProxy stopped, LEDs off.
        set("IGMP_PROXY", "1");
        UpdateIGMP();
        settle();
        ASSERT_EQ(running("IGMPProxy"), 1);
        calls();
        EXPECT_EQ(UpdateWANIF(0, ""), 1);
        EXPECT_EQ(calls(), "tc [qdisc] [del] [dev] [nas0] [root]\n");
        EXPECT_EQ(get("_wan_ip@0"), "");
        EXPECT_EQ(leds(), "0/0");
        settle();
        EXPECT_EQ(running("IGMPProxy"), 0);

        // A negative state leaves the LEDs alone.
        wantest::sh("printf 1 > '" + at("/proc/GPIOUSER/ipokled") + "'");
        set("_wan_stat@0", "-1");
        EXPECT_EQ(UpdateWANIF(0, ""), 0);
        EXPECT_EQ(leds(), "1/0");

        // Another WAN: its keys only, no program, no routes; LEDs from WAN 0.
        unlink(at("/tmp/strt.txt").c_str());
        set("_wan_stat@0", "0");
        EXPECT_EQ(UpdateWANIF(3, "ppp3"), 1);
        EXPECT_EQ(calls(), "");
        EXPECT_EQ(get("_wan_if@3"), "ppp3");
        EXPECT_FALSE(access(at("/tmp/strt.txt").c_str(), F_OK) == 0);
        EXPECT_EQ(leds(), "0/0");

        // A bridge modem gets no traffic rules.
        set("WAN_PORT", "ADSL");
        EXPECT_EQ(UpdateWANIF(0, "nas0"), 1);
        EXPECT_EQ(calls(), "");
    });
}

TEST_F(WanState, ModemLedsAndUptime)
{
    in_device([&] {
        struct Case {
            const char *what;
            std::vector<std::pair<const char *, const char *>> store;
            int modem;
        };
        const Case cases[] = {
            {"ADSL, nothing configured", {{"WAN_PORT", "ADSL"}}, 1},
            {"ADSL, all bridges", {{"WAN_PORT", "ADSL"}, {"WAN_NAME@0", "a"}, {"WAN_PROT@0", "bridge"}, {"WAN_NAME@7", "b"}, {"WAN_PROT@7", "bridge"}}, 1},
            {"ADSL, one routed", {{"WAN_PORT", "ADSL"}, {"WAN_NAME@0", "a"}, {"WAN_PROT@0", "bridge"}, {"WAN_NAME@1", "b"}, {"WAN_PROT@1", "pppoe"}}, 0},
            {"unnamed entries do not count", {{"WAN_PORT", "ADSL"}, {"WAN_PROT@2", "pppoe"}}, 1},
            {"ADSL2", {{"WAN_PORT", "ADSL2"}}, 0},
            {"adsl", {{"WAN_PORT", "adsl"}}, 0},
            {"EWAN", {{"WAN_PORT", "EWAN"}}, 0},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            testsupport::FakeStore::install();
            for (const auto &[n, v] : c.store)
                set(n, v);
            EXPECT_EQ(IsModem(), c.modem);
        }

        struct Led {
            const char *port, *adsl_ok;
            int state;
            const char *leds;
        };
        const Led leds_cases[] = {
            {"ADSL", "0", 0, "-/-"}, {"ADSL", nullptr, 0, "-/-"}, {"ADSL", "1", 0, "0/1"},
            {"EWAN", nullptr, 0, "0/1"}, {"ADSL", "0", 255, "0/1"}, {"ADSL", "1", 3, "-/-"},
        };
        for (const Led &c : leds_cases) {
            SCOPED_TRACE(std::string(c.port) + " " + std::to_string(c.state));
            testsupport::FakeStore::install();
            set("WAN_PORT", c.port);
            if (c.adsl_ok != nullptr)
                set("_adsl_ok", c.adsl_ok);
            write_file("/proc/GPIOUSER/ipokled", "-");
            write_file("/proc/GPIOUSER/ipngled", "-");
            UpdateIPLed(c.state);
            EXPECT_EQ(leds(), c.leds);
        }

        set("_wan_ip@0", "x");
        EXPECT_EQ(DefWANIPUp(), 1);
        set("_wan_ip@0", "");
        EXPECT_EQ(DefWANIPUp(), 0);

        SetWANUptime(1);
        std::string up = get("_wan_uptime@1");
        EXPECT_FALSE(up.empty());
        EXPECT_EQ(up.find_first_not_of("0123456789"), std::string::npos) << up;
    });
}

class Services : public Device {
protected:
    std::string path(const char *device_path) const { return at(device_path); }
};

TEST_F(Services, Ddns)
{
    in_device([&] {
        set("_wan_if@0", "ppp0");
        set("DDNS_ENABLE", "1");
        set("DDNS_HOST", "me.example.net");
        set("DDNS_TIMER", "10");
        set("DDNS_TUNIT", "1");
        DDNSUpdate();
        settle();
        EXPECT_EQ(read_file("/tmp/ddns.conf"),
                  "host=me.example.net\nuser=:\nperiod=10H\nservice-type=\ndaemon\nforeground\n");
        EXPECT_EQ(calls(), "ez-ipupdate [-i] [ppp0] [-b] [] [-c] [" + path("/tmp/ddns.conf") + "]\n");
        EXPECT_EQ(running("ez-ipupdate"), 1);

        DDNSUpdate();
        settle();
        EXPECT_EQ(running("ez-ipupdate"), 1) << "the old one killed, a new one started";
        calls();

        struct Case {
            const char *what;
            const char *name, *value;
        };
        const Case off[] = {{"disabled", "DDNS_ENABLE", "0"},
                            {"bridge modem", "WAN_PORT", "ADSL"},
                            {"setting with a line break", "DDNS_USER", "u\nexecute=reboot"}};
        for (const Case &c : off) {
            SCOPED_TRACE(c.what);
            set("DDNS_ENABLE", "1");
            nvram_unset("WAN_PORT");
            write_file("/tmp/ddns.conf", "old");
            set(c.name, c.value);
            DDNSUpdate();
            settle();
            EXPECT_EQ(running("ez-ipupdate"), 0);
            EXPECT_EQ(read_file("/tmp/ddns.conf"), "old");
            EXPECT_EQ(calls(), "");
            nvram_unset("DDNS_USER");
        }
    });
}

TEST_F(Services, Igmp)
{
    in_device([&] {
        set("_wan_if@0", "ppp0");
        set("LAN_IF", "br0");
        set("IGMP_SNOOP", "1");
        set("IGMP_PROXY", "1");
        UpdateIGMP();
        settle();
        std::string log = calls();
        EXPECT_EQ(lines_with(log, "IGMPProxy [-n] [ppp0]").size(), 1u) << log;
        EXPECT_EQ(lines_with(log, "brctl [igmpsnoop] [br0] [1]").size(), 1u) << log;
        EXPECT_EQ(running("IGMPProxy"), 1);

        set("WAN_PORT", "ADSL");
        nvram_unset("IGMP_SNOOP");
        UpdateIGMP();
        settle();
        EXPECT_EQ(calls(), "brctl [igmpsnoop] [br0] []\n");
        EXPECT_EQ(running("IGMPProxy"), 0);
    });
}

TEST_F(Services, Upnp)
{
    in_device([&] {
        set("LAN_IP", "192.168.1.1");
        set("UPNP_PORT", "5555");
        set("UPNP_ENABLE", "1");
        UpdateUPnP(1);
        settle();
        EXPECT_EQ(calls(), "miniupnpd [-a] [192.168.1.1] [-p] [5555]\n");
        EXPECT_EQ(running("miniupnpd"), 1);

        UpdateUPnP(1);
        settle();
        EXPECT_EQ(calls(), "") << "running: nothing signalled, no ipt";
        EXPECT_EQ(running("miniupnpd"), 1);

        for (int mode : {0, 256}) {
            SCOPED_TRACE(mode);
            UpdateUPnP(mode);
            settle();
            EXPECT_EQ(calls(), "ipt [restore] [upnp]\nminiupnpd [-a] [192.168.1.1] [-p] [5555]\n");
            EXPECT_EQ(running("miniupnpd"), 1);
        }

        set("UPNP_ENABLE", "0");
        UpdateUPnP(0);
        settle();
        EXPECT_EQ(calls(), "ipt [restore] [upnp]\n");
        EXPECT_EQ(running("miniupnpd"), 0);
        UpdateUPnP(1);
        EXPECT_EQ(running("miniupnpd"), 0);
    });
}

TEST_F(Services, UpnpRestartOutlastsADaemonThatIgnoresSigterm)
{
    in_device([&] {
        // This one ignores SIGTERM, and so does the sleeper it becomes.
        std::string script = read_file("/usr/sbin/miniupnpd");
        replace("/usr/sbin/miniupnpd", "#!/bin/bash\ntrap '' TERM\n" + script.substr(script.find('\n') + 1));
        set("UPNP_ENABLE", "1");
        UpdateUPnP(1);
        settle();
        ASSERT_EQ(running("miniupnpd"), 1);
        devlib::wan::set_upnp_wait(1, 1);
        UpdateUPnP(0);
        settle();
        EXPECT_EQ(running("miniupnpd"), 1) << "the stuck one killed, the new one up";
        EXPECT_EQ(lines_with(calls(), "miniupnpd").size(), 2u);
    });
}

TEST_F(Services, Rip)
{
    in_device([&] {
        set("LAN_IF", "br0");
        set("LAN_RIP", "1");
        EXPECT_EQ(ripConfReset(), 0);
        settle();
        EXPECT_EQ(read_file("/var/ripd.conf"), "router rip\nredistribute connected\nnetwork br0\ninterface br0\n"
                                               "ip rip receive version 1\nip rip send version 1\nno multicast\n");
        EXPECT_EQ(calls(), "zebra [-f] [" + path("/var/ripd.conf") + "]\n");
        EXPECT_EQ(running("zebra"), 1);

        set("LAN_RIP", "0");
        EXPECT_EQ(ripConfReset(), 0);
        settle();
        EXPECT_EQ(read_file("/var/ripd.conf"), "router rip\nredistribute connected\nnetwork br0\ninterface br0\n");
        EXPECT_EQ(calls(), "");
        EXPECT_EQ(running("zebra"), 0);

        unlink(at("/var/ripd.conf").c_str());
        mkdir(at("/var/ripd.conf").c_str(), 0755);
        set("LAN_RIP", "2");
        testing::internal::CaptureStderr();
        EXPECT_EQ(ripConfReset(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "can not create the rip file ..\n");
        EXPECT_EQ(calls(), "");
    });
}

class AddressEvent : public Device {
protected:
    // nas0 with 10.0.0.2/24 towards a gateway at 10.0.0.1; a routed device.
    void wan_up()
    {
        sh("ip link add nas0 type veth peer name nas0p && ip link set nas0p up && ip link set nas0 up");
        sh("ip addr add 10.0.0.2/24 dev nas0");
        set("LAN_IF", "br0");
        set("DEV_HOST", "router");
        set("WIPC_RCV_ADDR", "admin@example.net");
        set("MAIL_SVR", "mail.example.net");
        set("MAIL_SEND", "router@example.net");
        set("DDNS_ENABLE", "1");
        set("STRT_TOT", "0");
        set("STARP_TOT", "0");
    }
};

TEST_F(AddressEvent, NewAddressThenSameAgain)
{
    in_device([&] {
        wan_up();
        set("KIVO_SW", "1");
        set("MAIL_USER", "bob");
        set("MAIL_PASSWD", "pw");
        WANIPUpdate(0, "nas0", "10.0.0.2", "255.255.255.0", "10.0.0.1");
        settle();
        // The console is opened afresh for each message: the route line is the last.
        EXPECT_EQ(read_file("/dev/ttyS0"), "buf1=ip ro replace default nexthop via 10.0.0.1 dev nas0\n\n");
        EXPECT_TRUE(has_route("default via 10.0.0.1 dev nas0")) << routes();
        EXPECT_EQ(read_file("/var/defrt"),
                  "ip ro delete default\nip ro replace default nexthop via 10.0.0.1 dev nas0\nip ro flush cache\n");
        EXPECT_EQ(read_file("/proc/sys/net/ipv4/route/flush"), "1");
        EXPECT_EQ(read_file("/var/etc/status"),
                  "WAN_IP=\"10.0.0.2\"\nWAN_MASK=\"255.255.255.0\"\nGATEWAY=\"10.0.0.1\"\nWAN_IF=\"nas0\"\n");
        EXPECT_EQ(get("_wan_stat@0"), "3");
        EXPECT_EQ(get("_wan_ip@0"), "10.0.0.2");
        EXPECT_EQ(get("_wan_mask@0"), "255.255.255.0");
        EXPECT_EQ(get("_wan_gw@0"), "10.0.0.1");
        EXPECT_EQ(get("KIVO_SW"), "0");
        EXPECT_EQ(get("_wan_defrt_ip"), "10.0.0.2");
        EXPECT_EQ(leds(), "1/0");
        std::string log = calls();
        const std::string order[] = {
            "ipt [disable] [kivo]",
            "ipt [update] [wanif] [0]",
            "qos [restore]",
            "brctl [igmpsnoop] [br0] []",
            "ipt [update] [wanip] [0]",
        };
        std::size_t pos = 0;
        for (const std::string &c : order) {
            std::size_t at_ = log.find(c + "\n", pos);
            EXPECT_NE(at_, std::string::npos) << c << " in order in:\n" << log;
            pos = at_ == std::string::npos ? pos : at_;
        }
        EXPECT_EQ(lines_with(log, "smtpclient").size(), 1u) << log;
        EXPECT_EQ(lines_with(log, "smtpclient [-s] [WAN IP Change notice from router (new IP: 10.0.0.2)] "
                                  "[-f] [router@example.net] [-u] [bob] [-p] [pw] [-S] [mail.example.net] "
                                  "[admin@example.net]")
                      .size(),
                  1u)
            << log;
        EXPECT_EQ(lines_with(log, "ez-ipupdate [-i] [nas0]").size(), 1u) << log;

        // The same address again: route, status and services, but no mail and no DDNS.
        set("KIVO_SW", "1");
        WANIPUpdate(0, "nas0", "10.0.0.2", "255.255.255.0", "10.0.0.1");
        settle();
        log = calls();
        EXPECT_EQ(lines_with(log, "ipt [update] [wanip] [0]").size(), 1u) << log;
        EXPECT_TRUE(lines_with(log, "smtpclient").empty()) << log;
        EXPECT_TRUE(lines_with(log, "ez-ipupdate").empty()) << log;
        EXPECT_EQ(running("ez-ipupdate"), 1) << "DDNS not touched";
        EXPECT_EQ(get("KIVO_SW"), "0");

        // A new address without a login: the short argument list.
        sh("ip addr add 10.0.0.3/24 dev nas0");
        nvram_unset("MAIL_PASSWD");
        WANIPUpdate(0, "nas0", "10.0.0.3", "255.255.255.0", "");
        settle();
        EXPECT_TRUE(has_route("default dev nas0")) << routes();
        log = calls();
        EXPECT_EQ(lines_with(log, "smtpclient [-s] [WAN IP Change notice from router (new IP: 10.0.0.3)] "
                                  "[-f] [router@example.net] [-S] [mail.example.net] [admin@example.net]")
                      .size(),
                  1u)
            << log;

        // No recipient: no mail, DDNS all the same.
        nvram_unset("WIPC_RCV_ADDR");
        WANIPUpdate(0, "nas0", "10.0.0.2", "255.255.255.0", "10.0.0.1");
        settle();
        log = calls();
        EXPECT_TRUE(lines_with(log, "smtpclient").empty()) << log;
        EXPECT_EQ(lines_with(log, "ez-ipupdate").size(), 1u) << log;
        EXPECT_EQ(get("_wan_defrt_ip"), "10.0.0.2");
    });
}

TEST_F(AddressEvent, NoAddress)
{
    in_device([&] {
        wan_up();
        struct Case {
            const char *ip;
            const char *stat_before;
            const char *route_line;
            const char *wan_ip;
            const char *stat_after;
        };
        const Case cases[] = {
            {"-1", "3", "ip ro replace default\n", "", "0"},
            {"0.0.0.0", "3", "ip ro replace default nexthop via 10.0.0.1 dev nas0\n", "0.0.0.0", "0"},
            {"", "-2", "ip ro replace default nexthop via 10.0.0.1 dev nas0\n", "", "-2"},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.ip);
            set("_wan_stat@0", c.stat_before);
            set("KIVO_SW", "1");
            calls();
            WANIPUpdate(0, "nas0", c.ip, "255.255.255.0", "10.0.0.1");
            settle();
            EXPECT_EQ(read_file("/var/defrt"), std::string("ip ro delete default\n") + c.route_line + "ip ro flush cache\n");
            EXPECT_EQ(has_route("default via 10.0.0.1 dev nas0"), std::string(c.ip) != "-1") << routes();
            EXPECT_EQ(get("_wan_ip@0"), c.wan_ip);
            EXPECT_EQ(get("_wan_stat@0"), c.stat_after);
            EXPECT_EQ(get("KIVO_SW"), "1");
            EXPECT_EQ(lines_with(read_file("/var/etc/status"), "WAN_IP="),
                      std::vector<std::string>{std::string("WAN_IP=\"") + c.ip + "\""});
            std::string log = calls();
            EXPECT_TRUE(lines_with(log, "wanip").empty()) << log;
            EXPECT_TRUE(lines_with(log, "smtpclient").empty()) << log;
        }
    });
}

TEST_F(AddressEvent, OtherWanAndBridgeModem)
{
    in_device([&] {
        wan_up();
        set("KIVO_SW", "1");
        WANIPUpdate(3, "ppp3", "10.3.0.2", "255.255.255.0", "10.3.0.1");
        settle();
        EXPECT_EQ(read_file("/dev/ttyS0"), "wanid=3, wanif=ppp3, ip=10.3.0.2\n");
        EXPECT_EQ(get("_wan_stat@3"), "3");
        EXPECT_EQ(get("_wan_ip@3"), "10.3.0.2");
        EXPECT_EQ(get("_wan_gw@3"), "10.3.0.1");
        EXPECT_EQ(get("_wan_if@3"), "ppp3");
        EXPECT_EQ(get("KIVO_SW"), "1");
        EXPECT_FALSE(access(at("/var/defrt").c_str(), F_OK) == 0);
        EXPECT_FALSE(access(at("/var/etc/status").c_str(), F_OK) == 0);
        EXPECT_EQ(calls(), "");

        set("WAN_PORT", "ADSL");
        WANIPUpdate(0, "nas0", "10.0.0.2", "255.255.255.0", "10.0.0.1");
        settle();
        EXPECT_EQ(get("KIVO_SW"), "0") << "switched off on a modem too";
        EXPECT_FALSE(access(at("/var/etc/status").c_str(), F_OK) == 0);
        EXPECT_EQ(calls(), "ipt [disable] [kivo]\n");
        EXPECT_EQ(get("_wan_defrt_ip"), "<unset>");
    });
}

} // namespace
