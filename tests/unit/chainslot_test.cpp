#include "devlib.h"
#include "fake_store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Keys = std::map<std::string, std::string>;

// /bin/sh and iptables_script stand-ins that log their path, the script's
// path and the script as it was when they ran.
class ChainSlots : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        store_.emplace();
        make_dirs("/var/state");
        for (const char *p : {"/bin/sh", "/usr/sbin/iptables_script"})
            stand_in(p, "");
    }
    void TearDown() override
    {
        store_.reset();
        DeviceRoot::TearDown();
    }
    void stand_in(const std::string &p, const std::string &after) const
    {
        std::string root = dir_.path();
        write_file(p, "#!/bin/sh\n{ printf '%s %s\\n' \"${0#" + root + "}\" \"${1#" + root + "}\"; cat \"$1\"; } >> " +
                          at("/calls") + "\n" + after);
        chmod(at(p).c_str(), 0755);
    }
    std::string calls() const { return read_file("/calls"); }
    bool script_left() const
    {
        return access(at("/var/state/ipt_fwd.sh").c_str(), F_OK) == 0 ||
               access(at("/var/state/ipt_mangle.sh").c_str(), F_OK) == 0;
    }
    std::optional<testsupport::FakeStore> store_;
};

struct Case {
    const char *what;
    const char *mask; // null: key absent
    Keys keys;
    std::function<int()> call;
    int result;
    const char *log;     // stand-in runs with their scripts
    const char *out;     // standard output
    const char *end;     // mask after the call
    std::vector<std::string> mask_writes;
};

void run_cases(testsupport::FakeStore &store, const char *key, const std::vector<Case> &cases,
               const std::function<std::string()> &calls, const std::function<void()> &reset)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        for (const auto &[k, v] : c.keys)
            store.put(k, v);
        if (c.mask != nullptr)
            store.put(key, c.mask);
        store.writes.clear();
        testing::internal::CaptureStdout();
        int r = c.call();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(calls(), c.log);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(store.value(key).value_or("(absent)"), c.end);
        std::vector<std::string> mw;
        for (const std::string &w : store.writes)
            if (w.rfind(std::string(key) + "=", 0) == 0)
                mw.push_back(w.substr(std::string(key).size() + 1));
        EXPECT_EQ(mw, c.mask_writes);
    }
}

#define UF_I(pos, match) "iptables -I FORWARD " #pos " -i br0 -p tcp --tcp-flags ACK ACK --dport 80 " match " -j UF_FILTER_FWD\n"

TEST_F(ChainSlots, Forward)
{
    const Keys lan = {{"LAN_IF", "br0"}};
    Keys sched = lan;
    sched.insert({{"UF_SCH", "3"}, {"TS_H_S@3", "8"}, {"TS_M_S@3", "0"}, {"TS_H_E@3", "17"}, {"TS_M_E@3", "30"},
                  {"TS_D1@3", "1"}, {"TS_D5@3", "1"}});
    auto ins = [](int t) { return [t] { return FwFWDInsertAppChain(t); }; };
    auto del = [](int t) { return [t] { return FwFWDDeleteAppChain(t); }; };
    const std::vector<Case> cases = {
        {"first insert writes 0 first", nullptr, {}, ins(2), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -j PACKET_FILTER\n", "", "2", {"0", "2"}},
        {"IDP at the head", "0", {}, ins(1), 1, "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -j IDP_FWD\n", "",
         "1", {"1"}},
        {"DNAT between 1 and 32", "33", {}, ins(16), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 2 -m conntrack --ctstate DNAT -j ACCEPT\n", "", "49",
         {"49"}},
        {"delete UPnP at 3", "49", {}, del(32), 0, "/usr/sbin/iptables_script /var/state/ipt_fwd.sh\niptables -D FORWARD 3\n",
         "", "17", {"17"}},
        {"UPnP", "16", {}, ins(32), 1, "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 2 -j UPNP_FWD\n", "", "48",
         {"48"}},
        {"TCPMSS after six", "63", {}, ins(64), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 7 -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS "
         "--clamp-mss-to-pmtu\n",
         "", "127", {"127"}},
        {"installed again", "3", {}, ins(2), -1, "", "", "3", {}},
        {"UF without schedule: three blanks", "1", lan, ins(8), 1,
         "/bin/sh /var/state/ipt_fwd.sh\n" UF_I(2, " "), "", "9", {"9"}},
        {"UF installed is replaced", "9", lan, ins(8), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -R FORWARD 2 -i br0 -p tcp --tcp-flags ACK ACK --dport 80   -j "
         "UF_FILTER_FWD\n",
         "", "9", {"9"}},
        {"UF with a schedule", "0", sched, ins(8), 1,
         "/bin/sh /var/state/ipt_fwd.sh\n" UF_I(1, " -m time --timestart 8:0 --timestop 17:30  --days Mon,Fri "), "",
         "8", {"8"}},
        {"UF_SCH 0 is no schedule", "0", Keys{{"LAN_IF", "br0"}, {"UF_SCH", "0"}}, ins(8), 1,
         "/bin/sh /var/state/ipt_fwd.sh\n" UF_I(1, " "), "", "8", {"8"}},
        {"UF without LAN_IF", "0", {}, ins(8), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -i  -p tcp --tcp-flags ACK ACK --dport 80   -j "
         "UF_FILTER_FWD\n",
         "", "8", {"8"}},
        {"UF with a LAN name a shell would run", "0", Keys{{"LAN_IF", "br0;reboot"}}, ins(8), 0, "", "", "0", {}},
        {"UF with a LAN name iptables would split", "0", Keys{{"LAN_IF", "br0 -j ACCEPT"}}, ins(8), 0, "", "", "0", {}},
        {"hotspot says where", "3", {}, ins(4), 1, "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 3 -j HOTSPOT_FWD\n",
         "FWD_HOTSPOT_INDEX 4 at 3\n", "7", {"7"}},
        {"DEFAULT appended", "7", {}, ins(128), 1, "/bin/sh /var/state/ipt_fwd.sh\niptables -A FORWARD -j DEFAULT_FWD\n",
         "", "135", {"135"}},
        {"DEFAULT deleted by position", "135", {}, del(128), 0,
         "/usr/sbin/iptables_script /var/state/ipt_fwd.sh\niptables -D FORWARD 4\n", "", "7", {"7"}},
        {"below DEFAULT", "128", {}, ins(64), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS "
         "--clamp-mss-to-pmtu\n",
         "", "192", {"192"}},
        {"delete not installed", "1", {}, del(2), 0, "", "", "1", {}},
        {"delete type 0", "1", {}, del(0), 0, "", "", "1", {}},
        {"delete on an absent mask", nullptr, {}, del(1), 0, "", "", "0", {"0"}},
        {"unknown type", "1", {}, ins(3), 0, "", "FwFWDInsertAppChain ERROR\n", "1", {}},
        {"type 0", "0", {}, ins(0), 0, "", "FwFWDInsertAppChain ERROR\n", "0", {}},
        {"negative type", "0", {}, ins(-8), 0, "", "FwFWDInsertAppChain ERROR\n", "0", {}},
        {"past a full list", "255", {}, ins(256), 0, "", "", "255", {}},
        {"high bits unlisted", "768", {}, ins(1), 1, "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -j IDP_FWD\n",
         "", "769", {"769"}},
        {"mask without digits is not rewritten", "x", {}, ins(1), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -j IDP_FWD\n", "", "1", {"1"}},
        {"sign bit kept", "-2147483648", {}, ins(2), 1,
         "/bin/sh /var/state/ipt_fwd.sh\niptables -I FORWARD 1 -j PACKET_FILTER\n", "", "-2147483646", {"-2147483646"}},
    };
    run_cases(*store_, "_fwd_sort", cases, [this] { return calls(); },
              [this] {
                  store_.emplace();
                  unlink(at("/calls").c_str());
              });
    EXPECT_FALSE(script_left());
}

TEST_F(ChainSlots, Mangle)
{
    const Keys lan = {{"LAN_IF", "br0"}};
    auto ins = [](int t) { return [t] { return FwMangleInsertAppChain(t); }; };
    auto del = [](int t) { return [t] { return FwMangleDeleteAppChain(t); }; };
#define MARK_I(pos) "iptables -t mangle -I FORWARD " #pos " -m conntrack --ctstate DNAT -i br0 -o br0 -j MARK --set-mark 512\n"
#define MASQ(op) "iptables -t nat " op " POSTROUTING -m conntrack --ctstate DNAT -m mark --mark 512 -j MASQUERADE\n"
    const std::vector<Case> cases = {
        {"first insert of the mark", nullptr, lan, ins(2), 1,
         "/bin/sh /var/state/ipt_mangle.sh\n" MARK_I(1) MASQ("-A"), "", "2", {"0", "2"}},
        {"QoS before the mark", "2", Keys{{"_qos_wanid", "1"}, {"_wan_if@1", "ppp0"}}, ins(1), 1,
         "/bin/sh /var/state/ipt_mangle.sh\niptables -t mangle -I FORWARD 1 -i ppp0 -j MYSHAPER-IN\n", "", "3", {"3"}},
        {"mark after QoS", "1", lan, ins(2), 1, "/bin/sh /var/state/ipt_mangle.sh\n" MARK_I(2) MASQ("-A"), "", "3", {"3"}},
        {"delete the mark at 2", "3", {}, del(2), 0,
         "/usr/sbin/iptables_script /var/state/ipt_mangle.sh\niptables -t mangle -D FORWARD 2\n" MASQ("-D"), "", "1",
         {"1"}},
        {"delete QoS", "1", {}, del(1), 0,
         "/usr/sbin/iptables_script /var/state/ipt_mangle.sh\niptables -t mangle -D FORWARD 1\n", "", "0", {"0"}},
        {"QoS WAN without interface", "0", {}, ins(1), 1,
         "/bin/sh /var/state/ipt_mangle.sh\niptables -t mangle -I FORWARD 1 -i no_wan -j MYSHAPER-IN\n", "", "1", {"1"}},
        {"QoS WAN name a shell would run", "0", Keys{{"_wan_if@0", "ppp0`reboot`"}}, ins(1), 0, "", "", "0", {}},
        {"installed again", "3", lan, ins(1), 0, "", "", "3", {}},
        {"type 4 past both", "3", {}, ins(4), 0, "", "", "3", {}},
        {"unknown type, quietly", "0", {}, ins(4), 0, "", "", "0", {}},
        {"type 0", "0", {}, ins(0), 0, "", "", "0", {}},
        {"delete not installed", "1", {}, del(2), 0, "", "", "1", {}},
        {"delete type 0", "1", {}, del(0), 0, "", "", "1", {}},
    };
#undef MARK_I
#undef MASQ
    run_cases(*store_, "_fwd_m_sort", cases, [this] { return calls(); },
              [this] {
                  store_.emplace();
                  unlink(at("/calls").c_str());
              });
    EXPECT_FALSE(script_left());
}

TEST_F(ChainSlots, SetMask)
{
    struct Row {
        const char *start;
        int bits, set;
        const char *end;
    };
    const Row rows[] = {
        {"1", 4, 0, "5"}, {"5", 4, 0, "1"}, {"5", 4, 1, "5"}, {nullptr, 2, 1, "2"}, {"", 6, 0, "6"},
        {"99999999999", 1, 0, "2147483646"}, {"-1", INT_MIN, 0, "2147483647"},
    };
    for (auto set : {FwdSetCurrentChainIndex, FwdMangleSetCurChainIndex}) {
        const char *key = set == FwdSetCurrentChainIndex ? "_fwd_sort" : "_fwd_m_sort";
        for (const Row &r : rows) {
            SCOPED_TRACE(std::string(key) + " " + (r.start ? r.start : "(absent)"));
            store_.emplace();
            if (r.start != nullptr)
                store_->put(key, r.start);
            EXPECT_EQ(set(r.bits, r.set), 1);
            EXPECT_EQ(store_->value(key).value_or(""), r.end);
        }
    }
}

TEST_F(ChainSlots, DecodeLeavesTheRestOfTheList)
{
    int fwd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    store_->put("_fwd_sort", "1170"); // 1024 + 128 + 16 + 2
    EXPECT_EQ(FwdGetCurrentChainIndex(fwd), 1);
    EXPECT_EQ(std::vector<int>(fwd, fwd + 8), (std::vector<int>{2, 16, 128, -1, -1, -1, -1, -1}));
    int m[2] = {-1, -1};
    store_->put("_fwd_m_sort", "6");
    EXPECT_EQ(FwdMangleGetCurChainIndex(m), 1);
    EXPECT_EQ(std::vector<int>(m, m + 2), (std::vector<int>{2, -1}));
    int untouched[2] = {-1, -1};
    store_->erase("_fwd_m_sort");
    EXPECT_EQ(FwdMangleGetCurChainIndex(untouched), 1);
    EXPECT_EQ(untouched[0], -1);
    EXPECT_EQ(store_->value("_fwd_m_sort"), "0");
}

// No script, or one that cannot be written whole: nothing runs, nothing is recorded.
TEST_F(ChainSlots, ScriptTrouble)
{
    const std::function<int()> calls_[] = {
        [] { return FwFWDInsertAppChain(1); }, [] { return FwFWDDeleteAppChain(2); },
        [] { return FwMangleInsertAppChain(1); }, [] { return FwMangleDeleteAppChain(2); }};
    for (const char *how : {"no directory", "disk full"}) {
        for (const auto &call : calls_) {
            SCOPED_TRACE(how);
            store_.emplace();
            store_->put("_fwd_sort", "2");
            store_->put("_fwd_m_sort", "2");
            unlink(at("/var/state/ipt_fwd.sh").c_str());
            unlink(at("/var/state/ipt_mangle.sh").c_str());
            rmdir(at("/var/state").c_str());
            if (std::string(how) == "disk full") {
                make_dirs("/var/state");
                ASSERT_EQ(symlink("/dev/full", at("/var/state/ipt_fwd.sh").c_str()), 0);
                ASSERT_EQ(symlink("/dev/full", at("/var/state/ipt_mangle.sh").c_str()), 0);
            }
            EXPECT_EQ(call(), 0);
            EXPECT_EQ(calls(), "");
            EXPECT_EQ(store_->value("_fwd_sort"), "2");
            EXPECT_EQ(store_->value("_fwd_m_sort"), "2");
        }
    }
}

TEST_F(ChainSlots, DeleteReportsTheRemoval)
{
    // A runner that removes the script itself leaves nothing to remove.
    stand_in("/usr/sbin/iptables_script", "rm -f \"$1\"\n");
    store_->put("_fwd_sort", "1");
    store_->put("_fwd_m_sort", "1");
    EXPECT_EQ(FwFWDDeleteAppChain(1), -1);
    EXPECT_EQ(FwMangleDeleteAppChain(1), -1);
    EXPECT_EQ(store_->value("_fwd_sort"), "0");
    EXPECT_EQ(store_->value("_fwd_m_sort"), "0");
}

} // namespace
