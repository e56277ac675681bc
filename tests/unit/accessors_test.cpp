#include "devlib.h"
#include "fake_store.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Store = std::vector<std::pair<std::string, std::string>>;

std::string str(const char *s) { return s != nullptr ? std::string(s) : std::string("(null)"); }

struct Case {
    const char *what;
    Store store;
    std::function<std::string()> call;
    std::string result;
    std::vector<std::string> writes;
};

const Case kCases[] = {
    {"alias nat of the index", {{"ALIAS_NAT@2", "3"}, {"ALIAS_NAT@0", "9"}}, [] { return std::to_string(getAliasNAT(2)); }, "3", {}},
    {"alias nat absent", {{"ALIAS_NAT@1", "3"}}, [] { return std::to_string(getAliasNAT(2)); }, "0", {}},
    {"alias nat empty", {{"ALIAS_NAT@0", ""}}, [] { return std::to_string(getAliasNAT(0)); }, "0", {}},
    {"alias nat not a number", {{"ALIAS_NAT@0", "on"}}, [] { return std::to_string(getAliasNAT(0)); }, "0", {}},
    {"alias nat leading digits", {{"ALIAS_NAT@0", " -7x"}}, [] { return std::to_string(getAliasNAT(0)); }, "-7", {}},
    {"fixed A", {}, [] { return std::to_string(get_fixed_A()); }, "4", {}},
    {"fixed B", {}, [] { return std::to_string(get_fixed_B()); }, "1", {}},
    {"fixed C", {}, [] { return std::to_string(get_fixed_C()); }, "1", {}},
    {"lan if", {{"LAN_IF", "br0"}}, [] { return str(getIFNameLAN()); }, "br0", {}},
    {"lan if absent", {}, [] { return str(getIFNameLAN()); }, "", {}},
    {"lan ip", {{"LAN_IP", "192.168.1.1"}}, [] { return str(getIPLAN()); }, "192.168.1.1", {}},
    {"lan ip absent is empty, not null", {}, [] { return str(getIPLAN()); }, "", {}},
    {"lan mask", {{"LAN_MASK", "255.255.255.0"}}, [] { return str(getMaskLAN()); }, "255.255.255.0", {}},
    {"lan mask absent", {}, [] { return str(getMaskLAN()); }, "", {}},
    {"wan if of the index", {{"_wan_if@1", "ppp1"}, {"_wan_if@0", "nas0"}}, [] { return str(getIFNameWAN(1)); }, "ppp1", {}},
    {"wan if empty", {{"_wan_if@0", ""}}, [] { return str(getIFNameWAN(0)); }, "no_wan", {}},
    {"wan if absent", {}, [] { return str(getIFNameWAN(0)); }, "no_wan", {}},
    {"wan ip", {{"_wan_ip@0", "10.0.0.2"}}, [] { return str(getIPWAN(0)); }, "10.0.0.2", {}},
    {"wan ip empty", {{"_wan_ip@0", ""}}, [] { return str(getIPWAN(0)); }, "0.0.0.0", {}},
    {"wan ip absent", {}, [] { return str(getIPWAN(3)); }, "0.0.0.0", {}},
    {"nat adsl on", {{"WAN_PORT", "ADSL"}, {"WAN_NAT@3", "1"}}, [] { return std::to_string(getNATWAN(3)); }, "1", {}},
    {"nat adsl other index", {{"WAN_PORT", "ADSL"}, {"WAN_NAT@3", "1"}}, [] { return std::to_string(getNATWAN(0)); }, "0", {}},
    {"nat adsl empty", {{"WAN_PORT", "ADSL"}, {"WAN_NAT@0", ""}}, [] { return std::to_string(getNATWAN(0)); }, "0", {}},
    {"nat adsl with blank is another port", {{"WAN_PORT", "ADSL "}, {"WAN_NAT@0", "0"}}, [] { return std::to_string(getNATWAN(0)); }, "1", {}},
    {"nat adsl lower case is another port", {{"WAN_PORT", "adsl"}, {"WAN_NAT@0", "0"}}, [] { return std::to_string(getNATWAN(0)); }, "1", {}},
    {"nat ewan absent stores default", {{"WAN_PORT", "EWAN"}}, [] { return std::to_string(getNATWAN(0)); }, "1", {"EWAN_NAT=1"}},
    {"nat ewan empty stores default", {{"WAN_PORT", "EWAN"}, {"EWAN_NAT", ""}}, [] { return std::to_string(getNATWAN(5)); }, "1", {"EWAN_NAT=1"}},
    {"nat ewan off", {{"WAN_PORT", "EWAN"}, {"EWAN_NAT", "0"}}, [] { return std::to_string(getNATWAN(0)); }, "0", {}},
    {"nat ewan on", {{"WAN_PORT", "EWAN"}, {"EWAN_NAT", "1"}}, [] { return std::to_string(getNATWAN(0)); }, "1", {}},
    {"nat ewan ignores wan nat", {{"WAN_PORT", "EWAN"}, {"EWAN_NAT", "0"}, {"WAN_NAT@0", "1"}}, [] { return std::to_string(getNATWAN(0)); }, "0", {}},
    {"nat other port", {{"WAN_PORT", "3G"}, {"WAN_NAT@0", "0"}, {"EWAN_NAT", "0"}}, [] { return std::to_string(getNATWAN(0)); }, "1", {}},
    {"nat port empty", {{"WAN_PORT", ""}}, [] { return std::to_string(getNATWAN(0)); }, "1", {}},
    {"nat port absent", {}, [] { return std::to_string(getNATWAN(0)); }, "1", {}},
};

TEST(Accessors, Table)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        testsupport::FakeStore store;
        for (const auto &[k, v] : c.store)
            store.put(k, v);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(store.writes, c.writes);
    }
}

TEST(Accessors, EwanDefaultIsReadBack)
{
    testsupport::FakeStore store;
    store.put("WAN_PORT", "EWAN");
    EXPECT_EQ(getNATWAN(0), 1);
    EXPECT_EQ(store.value("EWAN_NAT"), "1");
    store.writes.clear();
    EXPECT_EQ(getNATWAN(0), 1);
    EXPECT_TRUE(store.writes.empty()) << "the default is written once";
}

// The second read of a key is the one that counts when another program
// changes the store in between.
TEST(Accessors, SecondReadWins)
{
    testsupport::FakeStore store;
    int reads = 0;
    store.put("_wan_if@0", "ppp0");
    store.on_read = [&](const std::string &name) {
        if (name == "_wan_if@0" && ++reads == 2)
            store.put("_wan_if@0", "nas0");
    };
    EXPECT_STREQ(getIFNameWAN(0), "nas0");

    reads = 0;
    store.put("_wan_if@0", "ppp0");
    store.on_read = [&](const std::string &name) {
        if (name == "_wan_if@0" && ++reads == 2)
            store.erase("_wan_if@0");
    };
    EXPECT_STREQ(getIFNameWAN(0), "");

    reads = 0;
    store.put("WAN_PORT", "3G");
    store.put("EWAN_NAT", "0");
    store.on_read = [&](const std::string &name) {
        if (name == "WAN_PORT" && ++reads == 2)
            store.put("WAN_PORT", "EWAN");
    };
    EXPECT_EQ(getNATWAN(0), 0);
}

TEST(Accessors, StoreMissing)
{
    testsupport::FakeStore store;
    store.present = false;
    testing::internal::CaptureStderr();
    EXPECT_STREQ(getIPLAN(), "");
    EXPECT_STREQ(getIFNameWAN(0), "no_wan");
    EXPECT_STREQ(getIPWAN(0), "0.0.0.0");
    EXPECT_EQ(getNATWAN(0), 1);
    testing::internal::GetCapturedStderr();
}

} // namespace
