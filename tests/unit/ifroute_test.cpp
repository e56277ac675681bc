// Interface and route control against the real kernel, in a network namespace of its own.
#include "devlib.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace {

std::string output(const std::string &cmd)
{
    std::string text;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return text;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    pclose(p);
    return text;
}

bool has_line(const std::string &text, const std::string &line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The main table, one route a line, without ip's trailing blanks.
std::string routes()
{
    std::string text = output("ip -4 route show table main");
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
        pos = end + 1;
    }
    return out;
}

// True when the interface's flags include UP.
bool is_up(const char *name)
{
    std::string link = output(std::string("ip -o link show dev ") + name);
    std::size_t open = link.find('<');
    std::size_t close = link.find('>');
    if (open == std::string::npos || close == std::string::npos)
        return false;
    std::string flags = "," + link.substr(open + 1, close - open - 1) + ",";
    return flags.find(",UP,") != std::string::npos;
}

constexpr const char *kLong = "abcdefghijklmno"; // 15 characters: the longest name

class NetControl : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        SKIP_UNLESS_SANDBOX();
        make_dirs("/dev");
    }
    // A fresh network with eth0 (a veth pair) and an interface with the longest name, both down.
    void fresh_network()
    {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        sh("ip link add eth0 type veth peer name eth0p");
        sh(std::string("ip link add ") + kLong + " type bridge");
        ::unlink(at("/dev/ttyS0").c_str());
    }
    void sh(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }
    std::string console() const { return read_file("/dev/ttyS0"); }
};

TEST_F(NetControl, InterfaceExist)
{
    fresh_network();
    EXPECT_EQ(bInterfaceExist(nullptr), 0);
    EXPECT_EQ(bInterfaceExist(""), 0);
    EXPECT_EQ(bInterfaceExist("nosuch0"), 0);
    EXPECT_EQ(bInterfaceExist("eth0"), 0) << "exists, but without an IPv4 address";
    sh("ip addr add 10.0.0.1/24 dev eth0");
    ASSERT_FALSE(is_up("eth0"));
    EXPECT_EQ(bInterfaceExist("eth0"), 1) << "down but addressed";
    sh(std::string("ip addr add 10.1.0.1/24 dev ") + kLong);
    EXPECT_EQ(bInterfaceExist(kLong), 1);
    EXPECT_EQ(bInterfaceExist((std::string(kLong) + "X").c_str()), 0) << "not taken for its first 15 characters";
    EXPECT_EQ(console(), "") << "never reports";
}

TEST_F(NetControl, SetupLoopback)
{
    fresh_network();
    EXPECT_EQ(SetupLoopback(), 0);
    EXPECT_TRUE(is_up("lo"));
    EXPECT_NE(output("ip -4 -o addr show dev lo").find("inet 127.0.0.1/8 brd 127.255.255.255 scope host lo"),
              std::string::npos)
        << output("ip -4 -o addr show dev lo");
    EXPECT_TRUE(has_line(routes(), "127.0.0.0/8 dev lo scope link")) << routes();
    EXPECT_EQ(console(), "");
}

struct IfRow {
    const char *what;
    const char *before; // shell command run first, or null
    const char *name;
    int flags;
    const char *address;
    const char *netmask;
    int result;
    const char *console; // the whole console text; "%e" stands for the result's error text
    const char *watch;   // interface whose state is checked
    bool up;
    const char *inet; // expected start of its IPv4 address line, or "" for no address
};

const IfRow kIfRows[] = {
    {"null address: flags only, netmask ignored", nullptr, "eth0", 0x1043, nullptr, "255.255.255.0", 0, "", "eth0",
     true, ""},
    {"address without netmask leaves the kernel's own mask", nullptr, "eth0", 0x1043, "172.16.5.1", nullptr, 0, "",
     "eth0", true, "inet 172.16.5.1/16 brd 172.16.255.255"},
    {"netmask and broadcast", nullptr, "eth0", 0x1043, "192.168.1.1", "255.255.255.0", 0, "", "eth0", true,
     "inet 192.168.1.1/24 brd 192.168.1.255"},
    {"broadcast from a classless mask", nullptr, "eth0", 0x1043, "10.1.2.3", "255.255.255.128", 0, "", "eth0", true,
     "inet 10.1.2.3/25 brd 10.1.2.127"},
    {"0xEFBC takes the interface down", "ip link set eth0 up", "eth0", 0xEFBC, nullptr, nullptr, 0, "", "eth0", false,
     ""},
    {"missing interface fails at the flags", nullptr, "nosuch0", 0x1043, "10.0.0.1", "255.0.0.0", ENODEV,
     "nosuch0: %e\n", "eth0", false, ""},
    {"empty name: the line begins with the colon", nullptr, "", 0x1043, nullptr, nullptr, ENODEV, ": %e\n", "eth0",
     false, ""},
    {"refused address: the flags stay, the rest is not tried", nullptr, "eth0", 0x1043, "224.0.0.1", "255.0.0.0",
     EINVAL, "eth0: %e\n", "eth0", true, ""},
    {"unparsable address: nothing changes", nullptr, "eth0", 0x1043, "10.0.0.300", nullptr, EINVAL, "eth0: %e\n",
     "eth0", false, ""},
    {"unparsable netmask: nothing changes", nullptr, "eth0", 0x1043, "10.0.0.1", "255.255.0.x", EINVAL,
     "eth0: %e\n", "eth0", false, ""},
    {"over-long name is not cut to another interface's", nullptr, "abcdefghijklmnoX", 0x1043, nullptr, nullptr,
     ENODEV, "abcdefghijklmnoX: %e\n", kLong, false, ""},
};

TEST_F(NetControl, IfconfigTable)
{
    for (const IfRow &r : kIfRows) {
        SCOPED_TRACE(r.what);
        fresh_network();
        if (r.before != nullptr)
            sh(r.before);
        EXPECT_EQ(ifconfig(r.name, r.flags, r.address, r.netmask), r.result);
        std::string expect = r.console;
        std::size_t at = expect.find("%e");
        if (at != std::string::npos)
            expect.replace(at, 2, std::strerror(r.result));
        EXPECT_EQ(console(), expect);
        EXPECT_EQ(is_up(r.watch), r.up);
        std::string addr = output(std::string("ip -4 -o addr show dev ") + r.watch);
        if (r.inet[0] == '\0')
            EXPECT_EQ(addr.find("inet "), std::string::npos) << addr;
        else
            EXPECT_NE(addr.find(r.inet), std::string::npos) << addr;
    }
}

struct RouteRow {
    const char *what;
    const char *before;
    bool del;
    const char *dev;
    int metric;
    const char *dst;
    const char *gateway;
    const char *netmask;
    int result;
    const char *console; // "%e": the result's error text
    const char *present; // a line of the table afterwards, or null
    const char *absent;  // a line no longer in the table, or null
};

const RouteRow kRouteRows[] = {
    {"host flag from the netmask", nullptr, false, "eth0", 0, "10.9.9.9", nullptr, "255.255.255.255", 0, "",
     "10.9.9.9 dev eth0 scope link", nullptr},
    {"gateway flag from the gateway", nullptr, false, "eth0", 0, "10.8.0.0", "10.0.0.254", "255.255.0.0", 0, "",
     "10.8.0.0/16 via 10.0.0.254 dev eth0", nullptr},
    {"gateway 0.0.0.0 is a direct route", nullptr, false, "eth0", 0, "10.7.0.0", "0.0.0.0", "255.255.0.0", 0, "",
     "10.7.0.0/16 dev eth0 scope link", nullptr},
    {"empty gateway is a direct route", nullptr, false, "eth0", 0, "10.7.0.0", "", "255.255.0.0", 0, "",
     "10.7.0.0/16 dev eth0 scope link", nullptr},
    {"null gateway is a direct route", nullptr, false, "eth0", 0, "10.7.0.0", nullptr, "255.255.0.0", 0, "",
     "10.7.0.0/16 dev eth0 scope link", nullptr},
    {"null destination is the default route", nullptr, false, "eth0", 0, nullptr, "10.0.0.254", "0.0.0.0", 0, "",
     "default via 10.0.0.254 dev eth0", nullptr},
    {"unparsable destination is the default route", nullptr, false, "eth0", 0, "bogus", "10.0.0.254", "0.0.0.0", 0,
     "", "default via 10.0.0.254 dev eth0", nullptr},
    {"metric 1 is recorded as 0", nullptr, false, "eth0", 1, "10.4.0.0", nullptr, "255.255.0.0", 0, "",
     "10.4.0.0/16 dev eth0 scope link", nullptr},
    {"metric 5 is recorded as 4", nullptr, false, "eth0", 5, "10.3.0.0", nullptr, "255.255.0.0", 0, "",
     "10.3.0.0/16 dev eth0 scope link metric 4", nullptr},
    {"no device: the kernel takes the gateway's", nullptr, false, "", 0, "10.2.0.0", "10.0.0.254", "255.255.0.0", 0,
     "", "10.2.0.0/16 via 10.0.0.254 dev eth0", nullptr},
    {"no device: a failure line begins with the colon", nullptr, false, "", 0, "10.2.0.0", "172.16.0.1",
     "255.255.0.0", ENETUNREACH, ": %e\n", nullptr, nullptr},
    {"host bits outside the netmask are refused", nullptr, false, "eth0", 0, "10.5.5.5", nullptr, nullptr, EINVAL,
     "eth0: %e\n", nullptr, nullptr},
    {"deleting a missing route", nullptr, true, "eth0", 0, "10.1.0.0", nullptr, "255.255.0.0", ESRCH,
     "eth0: %e\n", nullptr, nullptr},
    {"deleting a route", "ip route add 10.1.0.0/16 dev eth0", true, "eth0", 0, "10.1.0.0", nullptr, "255.255.0.0",
     0, "", nullptr, "10.1.0.0/16 dev eth0 scope link"},
    {"over-long device name is not cut to another's", nullptr, false, "abcdefghijklmnoX", 0, "10.6.0.0", nullptr,
     "255.255.0.0", ENODEV, "abcdefghijklmnoX: %e\n", nullptr, nullptr},
};

TEST_F(NetControl, RouteTable)
{
    for (const RouteRow &r : kRouteRows) {
        SCOPED_TRACE(r.what);
        fresh_network();
        sh("ip link set eth0p up && ip link set eth0 up && ip addr add 10.0.0.1/24 dev eth0");
        sh(std::string("ip link set ") + kLong + " up && ip addr add 10.200.0.1/24 dev " + kLong);
        if (r.before != nullptr)
            sh(r.before);
        std::string before = routes();
        int got = r.del ? route_del(r.dev, r.metric, r.dst, r.gateway, r.netmask)
                        : route_add(r.dev, r.metric, r.dst, r.gateway, r.netmask);
        EXPECT_EQ(got, r.result);
        std::string expect = r.console;
        std::size_t at = expect.find("%e");
        if (at != std::string::npos)
            expect.replace(at, 2, std::strerror(r.result));
        EXPECT_EQ(console(), expect);
        std::string after = routes();
        if (r.result != 0)
            EXPECT_EQ(after, before) << "a failed request changes nothing";
        if (r.present != nullptr)
            EXPECT_TRUE(has_line(after, r.present)) << after;
        if (r.absent != nullptr)
            EXPECT_FALSE(has_line(after, r.absent)) << after;
    }
}

} // namespace
