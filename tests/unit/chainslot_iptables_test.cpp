// The chain slots against the kernel's own tables, in a network namespace of
// each test's own inside the sandbox.
#include "devlib.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The rules as current iptables prints them with -S.
const char *fwd_rule(int bit)
{
    switch (bit) {
    case 1: return "-A FORWARD -j IDP_FWD";
    case 2: return "-A FORWARD -j PACKET_FILTER";
    case 4: return "-A FORWARD -j HOTSPOT_FWD";
    case 8: return "-A FORWARD -i br0 -p tcp -m tcp --dport 80 --tcp-flags ACK ACK -j UF_FILTER_FWD";
    case 16: return "-A FORWARD -m conntrack --ctstate DNAT -j ACCEPT";
    case 32: return "-A FORWARD -j UPNP_FWD";
    case 64: return "-A FORWARD -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --clamp-mss-to-pmtu";
    default: return "-A FORWARD -j DEFAULT_FWD";
    }
}
const char *mangle_rule(int bit)
{
    return bit == 1 ? "-A FORWARD -i ppp0 -j MYSHAPER-IN"
                    : "-A FORWARD -i br0 -o br0 -m conntrack --ctstate DNAT -j MARK --set-xmark 0x200/0xffffffff";
}
const char *kMasq = "-A POSTROUTING -m conntrack --ctstate DNAT -m mark --mark 0x200 -j MASQUERADE";

std::string capture(const std::vector<std::string> &argv)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return out;
}

std::vector<std::string> rules(const std::vector<std::string> &argv)
{
    std::vector<std::string> lines;
    std::istringstream in(capture(argv));
    for (std::string l; std::getline(in, l);)
        if (l.rfind("-A ", 0) == 0)
            lines.push_back(l);
    return lines;
}

class ChainSlotsLive : public testsupport::SimDevice {
protected:
    void SetUp() override
    {
        SKIP_UNLESS_SANDBOX();
        SimDevice::SetUp();
        // A network namespace of our own: empty tables, left again at the end.
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(home_, 0);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        for (const char *c : {"IDP_FWD", "PACKET_FILTER", "HOTSPOT_FWD", "UF_FILTER_FWD", "UPNP_FWD", "DEFAULT_FWD"})
            ASSERT_EQ(testsupport::run_command({"iptables", "-N", c}), 0) << c;
        ASSERT_EQ(testsupport::run_command({"iptables", "-t", "mangle", "-N", "MYSHAPER-IN"}), 0);
        nvram_set("LAN_IF", "br0");
        nvram_set("_qos_wanid", "1");
        nvram_set("_wan_if@1", "ppp0");
        nvram_unset("UF_SCH");
        nvram_unset("_fwd_sort");
        nvram_unset("_fwd_m_sort");
    }
    void TearDown() override
    {
        if (home_ >= 0) {
            setns(home_, CLONE_NEWNET);
            close(home_);
        }
        SimDevice::TearDown();
    }
    int home_ = -1;
};

int mask(const char *key)
{
    const char *v = nvram_get(key);
    return v != nullptr ? std::atoi(v) : 0;
}

TEST_F(ChainSlotsLive, SeededSequenceKeepsChainsAndMasksInStep)
{
    std::mt19937 rng(20261211);
    std::set<int> fwd, mangle; // the installed bits
    for (int step = 0; step < 120; ++step) {
        bool in_mangle = rng() % 4 == 0;
        bool insert = rng() % 2 == 0;
        int bit = in_mangle ? 1 << (rng() % 2) : 1 << (rng() % 8);
        std::set<int> &set = in_mangle ? mangle : fwd;
        bool installed = set.count(bit) != 0;
        SCOPED_TRACE("step " + std::to_string(step) + (in_mangle ? " mangle " : " forward ") +
                     (insert ? "insert " : "delete ") + std::to_string(bit));
        int r;
        int want;
        if (in_mangle) {
            r = insert ? FwMangleInsertAppChain(bit) : FwMangleDeleteAppChain(bit);
            want = insert ? (installed ? 0 : 1) : 0;
        } else {
            r = insert ? FwFWDInsertAppChain(bit) : FwFWDDeleteAppChain(bit);
            want = insert ? (installed ? (bit == 8 ? 1 : -1) : 1) : 0;
        }
        ASSERT_EQ(r, want);
        if (insert)
            set.insert(bit);
        else
            set.erase(bit);

        int fm = 0, mm = 0;
        for (int b : fwd)
            fm |= b;
        for (int b : mangle)
            mm |= b;
        ASSERT_EQ(mask("_fwd_sort"), fm);
        ASSERT_EQ(mask("_fwd_m_sort"), mm);

        // Every installed rule at the position its bit gives, and nothing else.
        std::vector<std::string> want_fwd, want_mangle, want_nat;
        for (int b : fwd)
            want_fwd.push_back(fwd_rule(b));
        for (int b : mangle)
            want_mangle.push_back(mangle_rule(b));
        if (mangle.count(2) != 0)
            want_nat.push_back(kMasq);
        ASSERT_EQ(rules({"iptables", "-S", "FORWARD"}), want_fwd);
        ASSERT_EQ(rules({"iptables", "-t", "mangle", "-S", "FORWARD"}), want_mangle);
        ASSERT_EQ(rules({"iptables", "-t", "nat", "-S", "POSTROUTING"}), want_nat);
    }
    EXPECT_EQ(access(at("/var/state/ipt_fwd.sh").c_str(), F_OK), -1);
    EXPECT_EQ(access(at("/var/state/ipt_mangle.sh").c_str(), F_OK), -1);
}

} // namespace
