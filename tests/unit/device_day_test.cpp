// A whole device day in the simulated device, in order: boot from the saved
// configuration, loopback, a WAN address on WAN 0, the firewall's FORWARD
// applications, a LAN client redirected by dialgate, a commit, the scheduled
// restart by arbd, and the saved configuration read back after it. Runs in a
// network namespace of its own inside the sandbox.
#include "devlib.h"
#include "support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::run_command;

std::string capture(const std::string &cmd)
{
    std::string text;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return text;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        text.append(buf, n);
    pclose(p);
    return text;
}

int count_lines(const std::vector<std::string> &lines, const std::string &what)
{
    int n = 0;
    for (const std::string &l : lines)
        n += l.find(what) != std::string::npos ? 1 : 0;
    return n;
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += l + "\n";
    return s;
}

// name=value lines of a configuration file (comments and blanks left out,
// quotes around a value taken off).
std::map<std::string, std::string> config_of(const std::string &text)
{
    std::map<std::string, std::string> kv;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (l.empty() || l[0] == '#')
            continue;
        std::size_t eq = l.find('=');
        if (eq == std::string::npos)
            continue;
        std::string v = l.substr(eq + 1);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        kv[l.substr(0, eq)] = v;
    }
    return kv;
}

// Program path words, with the emulator first in a cross build.
std::vector<std::string> program(const std::string &path)
{
    std::vector<std::string> words;
    std::istringstream emulator(DEVLIB_TEST_EMULATOR);
    for (std::string w; emulator >> w;)
        words.push_back(w);
    words.push_back(path);
    return words;
}

pid_t spawn(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close_range(3, ~0U, 0);
        setenv("QEMU_LD_PREFIX", "/usr/mips-linux-gnu", 0);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Exit status, or -1 when still running after the limit (then killed).
int wait_exit(pid_t pid, std::chrono::milliseconds limit)
{
    auto end = Clock::now() + limit;
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// One HTTP request to dialgate on the loopback; the whole answer.
std::string ask_dialgate(const std::string &request)
{
    auto end = Clock::now() + 3s;
    int fd = -1;
    while (Clock::now() < end) { // the service may still be starting
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(10080);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            break;
        close(fd);
        fd = -1;
        std::this_thread::sleep_for(20ms);
    }
    if (fd < 0)
        return "";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 4000) <= 0)
            break;
        char b[4096];
        ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            break;
        got.append(b, static_cast<std::size_t>(n));
    }
    close(fd);
    return got;
}

std::string get(const char *name)
{
    const char *v = nvram_get(name);
    return v != nullptr ? v : "(unset)";
}

class DeviceDay : public testsupport::SimDevice {
protected:
    void SetUp() override
    {
        SKIP_UNLESS_SANDBOX();
        SimDevice::SetUp();
        // A network of our own within the sandbox: no other test sees our
        // interfaces, routes, rules or port 10080.
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(home_, 0);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    }
    void TearDown() override
    {
        if (dialgate_ > 0) {
            kill(dialgate_, SIGTERM);
            waitpid(dialgate_, nullptr, 0);
        }
        // The daemons the WAN event started (stand-ins that stay up until signalled).
        for (const char *d : {"ez-ipupdate", "miniupnpd", "IGMPProxy", "zebra"})
            KillProcessByName(d, SIGTERM);
        if (home_ >= 0) {
            setns(home_, CLONE_NEWNET);
            close(home_);
        }
        SimDevice::TearDown();
    }
    int home_ = -1;
    pid_t dialgate_ = -1;
};

TEST_F(DeviceDay, BootWanFirewallRedirectCommitRestart)
{
    // The saved configuration holds the day's settings: mail on a WAN
    // address change, DDNS on, and a run-time key left from before.
    std::string saved = read_file("/flash/config");
    ASSERT_NE(saved, "") << "sim/devsim build keeps the configuration in /flash/config";
    saved += "WIPC_RCV_ADDR=admin@example.net\nMAIL_SVR=mail.example.net\nMAIL_SEND=router@example.net\n"
             "MAIL_USER=bob\nMAIL_PASSWD=pw\nDDNS_ENABLE=1\nKIVO_SW=1\n";
    write_file("/flash/config", saved);
    const std::map<std::string, std::string> boot_keys = config_of(saved);

    // 1. Boot from the saved configuration.
    ASSERT_EQ(file2nvram("/flash/config"), 0);
    EXPECT_EQ(get("MAIL_USER"), "bob");
    EXPECT_EQ(get("KIVO_SW"), "1");

    // 2. Loopback.
    EXPECT_EQ(SetupLoopback(), 0);
    EXPECT_NE(capture("ip -4 addr show dev lo").find("127.0.0.1/8"), std::string::npos)
        << capture("ip addr show dev lo");

    // 3. A WAN address arrives on WAN 0.
    ASSERT_EQ(run_command({"sh", "-c",
                           "ip link add nas0 type veth peer name nas0p && ip link add br0 type veth peer name br0p"
                           " && ip link set nas0p up && ip link set nas0 up && ip link set br0p up"
                           " && ip link set br0 up && ip addr add 10.0.0.2/24 dev nas0"
                           " && ip addr add 192.168.1.1/24 dev br0"}),
              0);
    clear_calls();
    WANIPUpdate(0, "nas0", "10.0.0.2", "255.255.255.0", "10.0.0.1");
    std::this_thread::sleep_for(300ms); // daemons started in the background log their calls
    std::string routes = capture("ip -4 route show table main");
    EXPECT_NE(routes.find("default via 10.0.0.1 dev nas0"), std::string::npos) << routes;
    EXPECT_EQ(read_file("/var/etc/status"),
              "WAN_IP=\"10.0.0.2\"\nWAN_MASK=\"255.255.255.0\"\nGATEWAY=\"10.0.0.1\"\nWAN_IF=\"nas0\"\n");
    EXPECT_EQ(get("_wan_ip@0"), "10.0.0.2");
    EXPECT_EQ(get("_wan_stat@0"), "3");
    EXPECT_EQ(get("KIVO_SW"), "0") << "the login redirect is switched off once the WAN is up";
    std::vector<std::string> log = calls();
    std::size_t pos = 0;
    for (const std::string c : {"ipt [disable] [kivo]", "ipt [update] [wanif] [0]", "ipt [update] [wanip] [0]"}) {
        std::size_t i = pos;
        while (i < log.size() && log[i] != c)
            i++;
        EXPECT_LT(i, log.size()) << c << " in order in:\n" << joined(log);
        pos = i < log.size() ? i : pos;
    }
    EXPECT_EQ(count_lines(log, "smtpclient [-s] [WAN IP Change notice from router (new IP: 10.0.0.2)] "
                               "[-f] [router@example.net] [-u] [bob] [-p] [pw] [-S] [mail.example.net] "
                               "[admin@example.net]"),
              1)
        << joined(log);
    EXPECT_EQ(count_lines(log, "ez-ipupdate [-i] [nas0]"), 1) << joined(log);
    EXPECT_EQ(count_lines(log, "rejected"), 0) << joined(log);

    // 4. The firewall's FORWARD applications, in the order of their bits.
    for (const char *c : {"PACKET_FILTER", "UPNP_FWD", "DEFAULT_FWD"})
        ASSERT_EQ(run_command({"iptables", "-N", c}), 0) << c;
    EXPECT_EQ(FwFWDInsertAppChain(FWD_UPNP_INDEX), 1);
    EXPECT_EQ(FwFWDInsertAppChain(FWD_PACKET_FILTER_INDEX), 1);
    EXPECT_EQ(FwFWDInsertAppChain(FWD_UPNP_INDEX), -1) << "already installed";
    EXPECT_EQ(get("_fwd_sort"), std::to_string(FWD_PACKET_FILTER_INDEX | FWD_UPNP_INDEX));
    std::string fwd = capture("iptables -S FORWARD");
    std::size_t pf = fwd.find("-A FORWARD -j PACKET_FILTER\n");
    std::size_t upnp = fwd.find("-A FORWARD -j UPNP_FWD\n");
    EXPECT_NE(pf, std::string::npos) << fwd;
    EXPECT_NE(upnp, std::string::npos) << fwd;
    EXPECT_LT(pf, upnp) << fwd;

    // 5. A LAN client asks dialgate for a page and is sent to the login.
    dialgate_ = spawn(program(std::string(DEVLIB_BINARY_DIR) + "/dialgate/dialgate"));
    ASSERT_GT(dialgate_, 0);
    std::string answer = ask_dialgate("GET /news HTTP/1.1\r\nHost: example.com\r\n\r\n");
    ASSERT_EQ(answer.rfind("HTTP/1.1 302 Redirect\r\nLocation: http://192.168.1.1/kivo.asp?_qr_hdl=", 0), 0u)
        << answer;
    std::size_t h = answer.find("?_qr_hdl=") + 9;
    std::string handle = answer.substr(h, answer.find('&', h) - h);
    EXPECT_NE(answer.find("&kv_url=example.com/news&kv_ip=http://192.168.1.1/\r\n"), std::string::npos) << answer;
    EXPECT_EQ(get("_kivo_id"), handle);

    // 6. The configuration is committed.
    clear_calls();
    saveConfig(0);
    log = calls();
    EXPECT_EQ(count_lines(log, "profile [put]"), 1) << joined(log);
    std::map<std::string, std::string> committed = config_of(read_file("/flash/config"));
    EXPECT_EQ(committed["_kivo_id"], handle) << read_file("/flash/config");

    // 7. arbd reaches its scheduled minute and restarts the device. Too close
    // to the end of a minute, wait for the next one.
    std::time_t now = std::time(nullptr);
    std::tm tm;
    localtime_r(&now, &tm);
    if (tm.tm_sec >= 55) {
        std::this_thread::sleep_for(std::chrono::seconds(61 - tm.tm_sec));
        now = std::time(nullptr);
        localtime_r(&now, &tm);
    }
    ASSERT_EQ(nvram_set("ARB_EN", "1"), 0);
    ASSERT_EQ(nvram_set("ARB_H", std::to_string(tm.tm_hour).c_str()), 0);
    ASSERT_EQ(nvram_set("ARB_M", std::to_string(tm.tm_min).c_str()), 0);
    ASSERT_EQ(nvram_set("KIVO_SW", "1"), 0) << "switched on again for the day";
    clear_calls();
    std::vector<std::string> arbd = {"unshare", "--time", "--boottime", "3600", "--fork", "--kill-child"};
    for (const std::string &w : program(std::string(DEVLIB_BINARY_DIR) + "/arbd/arbd"))
        arbd.push_back(w);
    if (run_command({"sh", "-c", "unshare --time --boottime 1 --fork true >/dev/null 2>&1"}) != 0)
        GTEST_SKIP() << "needs time namespaces (unshare --time) to give arbd an hour of uptime";
    EXPECT_EQ(wait_exit(spawn(arbd), 12s), 0);
    log = calls();
    ASSERT_EQ(log.size(), 2u) << joined(log);
    EXPECT_EQ(log[0].rfind("profile [put] [", 0), 0u) << joined(log);
    EXPECT_EQ(log[1], "sysapply [restart]");

    // 8. After the restart: the saved configuration, loaded into a fresh
    // store, holds every key of the boot, KIVO_SW "0" and the run-time keys.
    std::map<std::string, std::string> after = config_of(read_file("/flash/config"));
    for (const auto &[name, value] : boot_keys) {
        if (name != "KIVO_SW" && name != "ARB_H" && name != "ARB_M")
            EXPECT_EQ(after.count(name), 1u) << name << " lost from /flash/config";
    }
    nvram_free();
    for (const auto &[name, value] : after)
        nvram_unset(name.c_str());
    EXPECT_EQ(get("_kivo_id"), "(unset)") << "the store starts empty";
    ASSERT_EQ(file2nvram("/flash/config"), 0);
    for (const auto &[name, value] : boot_keys) {
        if (name == "KIVO_SW" || name == "ARB_H" || name == "ARB_M")
            continue;
        EXPECT_EQ(get(name.c_str()), value) << name;
    }
    EXPECT_EQ(get("KIVO_SW"), "0");
    EXPECT_EQ(get("ARB_M"), std::to_string(tm.tm_min));
    EXPECT_EQ(get("_wan_ip@0"), "10.0.0.2");
    EXPECT_EQ(get("_wan_if@0"), "nas0");
    EXPECT_EQ(get("_kivo_id"), handle);
    EXPECT_EQ(get("_fwd_sort"), std::to_string(FWD_PACKET_FILTER_INDEX | FWD_UPNP_INDEX));
}

} // namespace
