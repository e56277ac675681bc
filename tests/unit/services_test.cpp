#include "devlib.h"

#include "mem_store.h"
#include "support.h"
#include "wan/svcconf.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using testsupport::FakeStore;
using Settings = std::map<std::string, std::string>;

class ServiceConf : public testsupport::DeviceRoot {
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
    template <typename Fn> static std::string capture(Fn fn)
    {
        char *buf = nullptr;
        std::size_t len = 0;
        std::FILE *f = open_memstream(&buf, &len);
        fn(f);
        std::fclose(f);
        std::string s(buf, len);
        std::free(buf);
        return s;
    }
};

const Settings kDdns = {{"DDNS_HOST", "me.example.net"}, {"DDNS_USER", "bob"},   {"DDNS_PASSWD", "s3cret"},
                        {"DDNS_TIMER", "10"},            {"DDNS_TUNIT", "1"},    {"DDNS_SRV", "dyndns"}};

Settings with(Settings s, const std::string &name, const char *value)
{
    if (value == nullptr)
        s.erase(name);
    else
        s[name] = value;
    return s;
}

TEST_F(ServiceConf, DdnsConfBytes)
{
    const std::string head = "host=me.example.net\nuser=bob:s3cret\n";
    const std::string tail = "service-type=dyndns\ndaemon\nforeground\n";
    struct Case {
        const char *what;
        Settings store;
        std::string text;
    };
    const Case cases[] = {
        {"hours", kDdns, head + "period=10H\n" + tail},
        {"unit missing is days", with(kDdns, "DDNS_TUNIT", nullptr), head + "period=10d\n" + tail},
        {"unit 0 is days", with(kDdns, "DDNS_TUNIT", "0"), head + "period=10d\n" + tail},
        {"unit not a number is days", with(kDdns, "DDNS_TUNIT", "min"), head + "period=10d\n" + tail},
        {"unit 2 is minutes", with(kDdns, "DDNS_TUNIT", "2"), head + "period=10M\n" + tail},
        {"unit 02 is minutes", with(kDdns, "DDNS_TUNIT", "02"), head + "period=10M\n" + tail},
        {"unit 7 is hours", with(kDdns, "DDNS_TUNIT", "7"), head + "period=10H\n" + tail},
        {"wildcard last", with(kDdns, "DDNS_WILD", "1"), head + "period=10H\n" + tail + "wildcard\n"},
        {"wildcard yes is off", with(kDdns, "DDNS_WILD", "yes"), head + "period=10H\n" + tail},
        {"wildcard 1 and blank is off", with(kDdns, "DDNS_WILD", "1 "), head + "period=10H\n" + tail},
        {"nothing configured", {},
         "host=\nuser=:\nperiod=d\nservice-type=\ndaemon\nforeground\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.store);
        bool ok = false;
        EXPECT_EQ(capture([&](std::FILE *f) { ok = devlib::wan::write_ddns_conf(f); }), c.text);
        EXPECT_TRUE(ok);
    }
}

TEST_F(ServiceConf, DdnsSettingWithLineBreakWritesNothing)
{
    for (const char *name : {"DDNS_HOST", "DDNS_USER", "DDNS_PASSWD", "DDNS_TIMER", "DDNS_SRV"}) {
        for (const char *value : {"x\nexecute=/bin/reboot", "x\r"}) {
            SCOPED_TRACE(std::string(name) + "=" + value);
            load(with(kDdns, name, value));
            bool ok = true;
            EXPECT_EQ(capture([&](std::FILE *f) { ok = devlib::wan::write_ddns_conf(f); }), "");
            EXPECT_FALSE(ok);
        }
    }
}

TEST_F(ServiceConf, RipdConfByMode)
{
    const std::string head = "router rip\nredistribute connected\nnetwork br0\ninterface br0\n";
    struct Case {
        const char *rip; // null: missing
        int mode;
        std::string versions;
    };
    const Case cases[] = {
        {"1", 1, "ip rip receive version 1\nip rip send version 1\nno multicast\n"},
        {"01", 1, "ip rip receive version 1\nip rip send version 1\nno multicast\n"},
        {"2", 2, "ip rip receive version 2\nip rip send version 2\nno multicast\n"},
        {"3", 3, "ip rip receive version 2\nip rip send version 2\n"},
        {"4", 4, "ip rip receive version 1 2\nip rip send version 1 2\nno multicast\n"},
        {"0", 0, ""},
        {"5", 0, ""},
        {"-1", 0, ""},
        {"v2", 0, ""},
        {nullptr, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rip != nullptr ? c.rip : "missing");
        load(with({{"LAN_IF", "br0"}}, "LAN_RIP", c.rip));
        EXPECT_EQ(devlib::wan::rip_mode(), c.mode);
        EXPECT_EQ(capture([&](std::FILE *f) { devlib::wan::write_ripd_conf(f, c.mode); }), head + c.versions);
    }

    load({{"LAN_IF", "br0\nlog file /etc/passwd"}, {"LAN_RIP", "1"}});
    bool ok = true;
    EXPECT_EQ(capture([&](std::FILE *f) { ok = devlib::wan::write_ripd_conf(f, 1); }),
              "router rip\nredistribute connected\n");
    EXPECT_FALSE(ok);
}

} // namespace
