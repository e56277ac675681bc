#include "devlib.h"

#include "mem_store.h"
#include "support.h"

#include <cstdint>
#include <map>
#include <unistd.h>
#include <vector>
#include <string>
#include <sys/sysinfo.h>

namespace {

using testsupport::FakeStore;

class Traffic3G : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        FakeStore::install();
        nvram_set("_wan_if@0", "ppp0");
        nvram_set("_3g_exist", "1");
    }
    // A /proc/net/dev with ppp0's received and transmitted counters.
    void netdev(const std::string &rx_bytes, const std::string &rx_pkts, const std::string &tx_bytes,
                const std::string &tx_pkts) const
    {
        write_file("/proc/net/dev",
                   "Inter-|   Receive                                                |  Transmit\n"
                   " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
                   "    lo:  123456     100    0    0    0     0          0         0   123456     100    0    0    0     0       0          0\n"
                   "  ppp0:" + rx_bytes + " " + rx_pkts + " 7 7 7 7 7 7 " + tx_bytes + " " + tx_pkts +
                       " 0 0 0 0 0 0\n");
    }
    static std::string get(const char *name) { return FakeStore::value(name).value_or("<unset>"); }
};

TEST_F(Traffic3G, BaselineThenUpdate)
{
    netdev("1000", "10", "500", "5");
    EXPECT_EQ(Update3GStat(0, 0, nullptr), 0);
    EXPECT_EQ(get("_3g_cstat"), "|000000001000|000000000010|000000000500|000000000005|");
    EXPECT_EQ(get("_3g_cstat").size(), 53u);

    netdev("2501000", "30", "2000", "9");
    EXPECT_EQ(Update3GStat(0, 1, nullptr), 0);
    EXPECT_EQ(get("_3g_cstat"), "|000002501000|000000000030|000000002000|000000000009|");
    EXPECT_EQ(get("_3g_tstat"), "|000002500000|000000000020|000000001500|000000000004|");
    EXPECT_EQ(get("_3g_count"), "1.5KB/2.5MB");

    // The next interval adds to the totals and counts from the moved baseline.
    netdev("2501042", "31", "2100", "10");
    Update3GStat(0, 1, nullptr);
    EXPECT_EQ(get("_3g_tstat"), "|000002500042|000000000021|000000001600|000000000005|");
    EXPECT_EQ(get("_3g_count"), "0.1KB/42B");
}

struct CountCase {
    const char *what;
    const char *baseline; // _3g_cstat
    const char *rx_bytes; // as the kernel shows them
    const char *tx_bytes;
    const char *count;    // tx/rx
};

const CountCase kCounts[] = {
    {"bytes below 100", "|0|0|0|0|", "0", "42", "42B/0B"},
    {"99 and 100", "|0|0|0|0|", "100", "99", "99B/0.1KB"},
    {"single-precision quotient rounds up", "|0|0|0|0|", "100000", "99999", "100.0KB/0.1MB"},
    {"counter wrapped past 2^32", "|4294967000|0|4294966296|0|", "704", "1000", "2.0KB/1.0KB"},
    {"64-bit kernel counter is taken modulo 2^32", "|0|0|0|0|", "4294968296", "4294967338", "42B/1.0KB"},
    {"largest difference", "|1|0|1|0|", "0", "0", "4295.0MB/4295.0MB"},
    {"baseline of any width", "|00000000000000000000000000100|0|0|0|", "142", "0", "0B/42B"},
    {"baseline field that does not parse is 0 from there on", "|100|x|100|0|", "142", "142", "0.1KB/42B"},
    {"empty baseline", "", "1500", "2500000", "2.5MB/1.5KB"},
    {"only 63 characters of the baseline count", "|000000000000000000000000000000000000000000000000000000000|100|", "10",
     "10", "10B/10B"},
};

TEST_F(Traffic3G, CountTexts)
{
    for (const CountCase &c : kCounts) {
        SCOPED_TRACE(c.what);
        nvram_set("_3g_cstat", c.baseline);
        netdev(c.rx_bytes, "0", c.tx_bytes, "0");
        Update3GStat(0, 1, nullptr);
        EXPECT_EQ(get("_3g_count"), c.count);
    }
}

TEST_F(Traffic3G, KernelCountersSources)
{
    struct Case {
        const char *what;
        const char *exist;
        const char *ifname;
        const char *file; // null: no /proc/net/dev
        const char *count;
    };
    const Case cases[] = {
        {"3G absent: the kernel is not asked, nothing counted", "0", "ppp0", "  ppp0: 999 1 0 0 0 0 0 0 999 1\n", "0B/0B"},
        {"3G flag not a number", "yes", "ppp0", "  ppp0: 999 1 0 0 0 0 0 0 999 1\n", "0B/0B"},
        {"no line for the interface", "1", "ppp1", "  ppp0: 999 1 0 0 0 0 0 0 999 1\n", "0B/0B"},
        {"no file", "1", "ppp0", nullptr, "0B/0B"},
        {"name must match whole", "1", "ppp", "  ppp0: 999 1 0 0 0 0 0 0 999 1\n", "0B/0B"},
        {"number right after the colon", "1", "ppp0", "ppp0:999 1 0 0 0 0 0 0 77 1\n", "77B/1.0KB"},
        {"fewer than ten words", "1", "ppp0", "  ppp0: 55 1 0 0 0 0 0 0 66\n", "66B/55B"},
        {"first matching line wins", "1", "ppp0", " ppp0: 1 0 0 0 0 0 0 0 2 0\n ppp0: 9 0 0 0 0 0 0 0 9 0\n", "2B/1B"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        nvram_set("_3g_cstat", "|0|0|0|0|");
        nvram_set("_3g_exist", c.exist);
        nvram_set("_wan_if@0", c.ifname);
        unlink(at("/proc/net/dev").c_str());
        if (c.file != nullptr)
            write_file("/proc/net/dev", c.file);
        Update3GStat(0, 1, nullptr);
        EXPECT_EQ(get("_3g_count"), c.count);
    }

    // The tail of an over-long line is not a line of its own.
    nvram_set("_3g_cstat", "|0|0|0|0|");
    write_file("/proc/net/dev", "x" + std::string(600, ' ') + "ppp0: 5 0 0 0 0 0 0 0 5 0\n");
    Update3GStat(0, 1, nullptr);
    EXPECT_EQ(get("_3g_count"), "0B/0B");
}

TEST_F(Traffic3G, QueryFillsRecordAndStoresNothing)
{
    nvram_set("_3g_cstat", "|1000|10|500|5|");
    netdev("3000", "13", "1500", "7");
    std::map<std::string, std::string> before = FakeStore::all();

    Traffic3GStat s;
    EXPECT_EQ(Update3GStat(0, 2, &s), 3);
    const unsigned int since[8] = {1000, 2, 2000, 3, 1000, 2, 2000, 3};
    EXPECT_EQ(std::vector<unsigned int>(&s.tx_bytes, &s.tx_bytes + 8), std::vector<unsigned int>(since, since + 8));

    nvram_set("_3g_tstat", "|4294967295|100|7|1|");
    before = FakeStore::all();
    EXPECT_EQ(Update3GStat(0, 2, &s), 103);
    const unsigned int total[8] = {1000, 2, 2000, 3, 1007, 3, 1999, 103};
    EXPECT_EQ(std::vector<unsigned int>(&s.tx_bytes, &s.tx_bytes + 8), std::vector<unsigned int>(total, total + 8));
    EXPECT_EQ(FakeStore::all(), before);
    EXPECT_EQ(Update3GStat(0, 2, nullptr), 103);
}

TEST_F(Traffic3G, OtherModesStoreNothing)
{
    netdev("3000", "13", "1500", "7");
    std::map<std::string, std::string> before = FakeStore::all();
    Traffic3GStat s = {9, 9, 9, 9, 9, 9, 9, 9};
    for (int mode : {7, -1, 3, 256}) {
        EXPECT_EQ(Update3GStat(0, mode, &s), 2);
        EXPECT_EQ(s.tx_bytes, 9u);
    }
    EXPECT_EQ(FakeStore::all(), before);
}

TEST_F(Traffic3G, ConnectionTimeWrapsModulo32Bits)
{
    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    const std::uint32_t up = static_cast<std::uint32_t>(info.uptime);
    struct Case {
        std::string since;
        std::uint32_t expect;
    };
    const Case cases[] = {
        {"", up},
        {std::to_string(up - 100), 100},
        {std::to_string(up + 5), static_cast<std::uint32_t>(0u - 5u)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.since);
        nvram_set("_wan_uptime@0", c.since.c_str());
        EXPECT_EQ(Update3GStat(0, 1, nullptr), 0);
        unsigned long got = std::stoul(get("_3g_totcon"));
        EXPECT_GE(got, c.expect);
        EXPECT_LE(got, static_cast<unsigned long>(c.expect + 2u)); // a second or two may pass
    }
}

} // namespace
