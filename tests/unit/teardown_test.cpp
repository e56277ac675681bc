// Link teardown and reboot: stand-in services, real interfaces in a network
// namespace of their own, and the sandbox's init, which records SIGTERM.
#include "devlib.h"
#include "fake_store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *const kServices[] = {"watchdog", "selfcheck", "pppoa", "pppoecd", "miniupnpd", "udhcpc",
                                 "dhcpd",    "dhcrelay",  "fdns",  "kivo",    "rma"};

bool is_up(const char *name)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    bool up = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP) != 0;
    ::close(s);
    return up;
}

void sh(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

// Runs body in a process of its own, so that each scenario starts with the
// teardown flag of a fresh process. Its failures are printed by the child;
// the parent sees whether there were any, and whether the body ran to its
// end (a process that ends early on its own exits with another status).
constexpr int kBodyDone = 77;
pid_t spawn(const std::function<void()> &body)
{
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : kBodyDone);
    }
    return pid;
}

void expect_passed(pid_t pid, const char *what)
{
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << what << ": ended by signal " << WTERMSIG(st);
    EXPECT_NE(WEXITSTATUS(st), 1) << what << ": its checks failed (above)";
    EXPECT_TRUE(WEXITSTATUS(st) == 1 || WEXITSTATUS(st) == kBodyDone)
        << what << ": ended before its checks, with status " << WEXITSTATUS(st);
}

// A process running under a service's name. On SIGTERM it appends
// "name eth0=up|down adsl=<adsl_cmd text>" to log and ends.
pid_t start_service(const char *name, const std::string &log, const std::string &adsl_cmd)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_NAME, name);
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        (void)!::write(ready[1], "x", 1);
        int sig = 0;
        sigwait(&term, &sig);
        std::string line = std::string(name) + " eth0=" + (is_up("eth0") ? "up" : "down") +
                           " adsl=" + testsupport::read_all(adsl_cmd) + "\n";
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        (void)!::write(fd, line.data(), line.size());
        ::_exit(0);
    }
    ::close(ready[1]);
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    return pid;
}

// Waits up to a second for each service to end; the ones still running are
// killed and named.
std::vector<std::string> still_running(const std::map<std::string, pid_t> &services)
{
    std::vector<std::string> left;
    auto until = Clock::now() + std::chrono::seconds(1);
    for (const auto &[name, pid] : services) {
        int st;
        while (::waitpid(pid, &st, WNOHANG) == 0) {
            if (Clock::now() > until) {
                left.push_back(name);
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &st, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return left;
}

std::string init_log()
{
    const char *root = std::getenv("DEVSIM_ROOT");
    return root != nullptr ? testsupport::read_all(std::string(root) + "/var/log/init") : "";
}

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Waits a moment for init to record one more SIGTERM than before.
bool init_got_sigterm(std::size_t before)
{
    for (int i = 0; i < 100; i++) {
        if (count(init_log(), "SIGTERM\n") > before)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Teardown : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        SKIP_UNLESS_SANDBOX();
    }
    // A device tree under root: sysapply logging its arguments, the ADSL
    // command directory when asked, a network with eth0 and br0 up.
    static void device(const std::string &root, bool adsl_cmd)
    {
        ::setenv("DEVLIB_ROOT", root.c_str(), 1);
        sh("mkdir -p " + root + "/bin " + root + "/dev" + (adsl_cmd ? " " + root + "/proc/tc3162" : ""));
        testsupport::write_all(root + "/bin/sysapply", "#!/bin/sh\necho \"$*\" >> " + root + "/calls\n");
        ::chmod((root + "/bin/sysapply").c_str(), 0755);
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        sh("ip link add eth0 type veth peer name eth0p && ip link add br0 type bridge");
        sh("ip link set eth0p up && ip link set eth0 up && ip link set br0 up");
    }
};

TEST_F(Teardown, FullTeardownOnAdsl)
{
    std::string root = dir_.path();
    expect_passed(spawn([&] {
                      device(root, true);
                      testsupport::FakeStore store;
                      store.put("LAN_IF", "br0");
                      store.put("WAN_PORT", "ADSL");
                      store.put("WAN_NAME@0", "");
                      store.put("WAN_NAME@2", "pppoe_0");
                      store.put("WAN_NAME@5", "ipoa_1");
                      std::string log = root + "/signals";
                      std::string adsl = root + "/proc/tc3162/adsl_cmd";
                      std::map<std::string, pid_t> services;
                      for (const char *name : kServices)
                          services[name] = start_service(name, log, adsl);
                      services["syslogd"] = start_service("syslogd", log, adsl);
                      services["klogd"] = start_service("klogd", log, adsl);

                      auto t0 = Clock::now();
                      EXPECT_EQ(TerminateAllLinks(1), 1);
                      EXPECT_GE(Clock::now() - t0, std::chrono::seconds(2));

                      EXPECT_TRUE(still_running(services).empty());
                      std::string signals = testsupport::read_all(log);
                      for (const char *name : kServices)
                          EXPECT_NE(signals.find(std::string(name) + " eth0=up adsl=\n"), std::string::npos)
                              << name << " is stopped first\n"
                              << signals;
                      for (const char *name : {"syslogd", "klogd"})
                          EXPECT_NE(signals.find(std::string(name) + " eth0=down adsl=wan adsl close\n"),
                                    std::string::npos)
                              << name << " is stopped last\n"
                              << signals;
                      EXPECT_FALSE(is_up("eth0"));
                      EXPECT_FALSE(is_up("br0"));
                      EXPECT_EQ(store.writes, (std::vector<std::string>{"WAN_NAME@2=", "WAN_NAME@5=", "ADSL_AUTOSCAN=0"}));
                      EXPECT_EQ(testsupport::read_all(root + "/calls"), "wan change adsl 255\n");
                      EXPECT_EQ(testsupport::read_all(adsl), "wan adsl close");
                      EXPECT_EQ(testsupport::read_all(root + "/dev/ttyS0"), "") << "both interfaces taken down";
                  }),
                  "full teardown");
}

TEST_F(Teardown, AdslStepsOnlyForExactlyAdsl)
{
    // The rows run side by side: each pauses 2 seconds.
    struct Row {
        const char *what;
        const char *port; // null: no WAN_PORT
    };
    const Row rows[] = {{"lower case", "adsl"}, {"more behind it", "ADSL2"}, {"empty", ""}, {"missing", nullptr}};
    std::vector<std::pair<pid_t, const char *>> running;
    for (const Row &r : rows) {
        std::string root = dir_.path() + "/" + std::to_string(running.size());
        running.emplace_back(spawn([&] {
                                 device(root, true);
                                 testsupport::FakeStore store;
                                 if (r.port != nullptr)
                                     store.put("WAN_PORT", r.port);
                                 store.put("WAN_NAME@2", "pppoe_0");
                                 // LAN_IF missing: ifconfig of "" fails and the teardown goes on.
                                 EXPECT_EQ(TerminateAllLinks(0), 1);
                                 EXPECT_TRUE(store.writes.empty());
                                 EXPECT_EQ(store.value("WAN_NAME@2"), "pppoe_0");
                                 struct stat st;
                                 EXPECT_NE(::stat((root + "/calls").c_str(), &st), 0) << "sysapply not run";
                                 EXPECT_NE(::stat((root + "/proc/tc3162/adsl_cmd").c_str(), &st), 0);
                                 EXPECT_FALSE(is_up("eth0"));
                                 EXPECT_TRUE(is_up("br0"));
                                 EXPECT_EQ(testsupport::read_all(root + "/dev/ttyS0"),
                                           std::string(": ") + std::strerror(ENODEV) + "\n");
                             }),
                             r.what);
    }
    for (const auto &[pid, what] : running)
        expect_passed(pid, what);
}

TEST_F(Teardown, EarlyExitLeavesTeardownUndone)
{
    std::string root = dir_.path();
    expect_passed(spawn([&] {
                      device(root, false); // no ADSL command file
                      testsupport::FakeStore store;
                      store.put("LAN_IF", "br0");
                      store.put("WAN_PORT", "ADSL");
                      std::map<std::string, pid_t> logger{{"syslogd", start_service("syslogd", root + "/signals", "")}};
                      int err = ::open((root + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                      int saved = ::dup(2);
                      ::dup2(err, 2);
                      int r = TerminateAllLinks(0);
                      ::dup2(saved, 2);
                      EXPECT_NE(r, 1);
                      EXPECT_EQ(testsupport::read_all(root + "/stderr"), "adsl_cmd file open fail ..\n");
                      EXPECT_EQ(KillProcessByName("syslogd", 0), 1) << "the loggers keep running";
                      EXPECT_EQ(testsupport::read_all(root + "/calls"), "wan change adsl 255\n");

                      std::size_t before = count(init_log(), "SIGTERM\n");
                      ::dup2(err, 2);
                      EXPECT_EQ(RebootSystem(), 0);
                      ::dup2(saved, 2);
                      EXPECT_EQ(testsupport::read_all(root + "/calls"), "wan change adsl 255\nwan change adsl 255\n")
                          << "the teardown runs again";
                      EXPECT_TRUE(init_got_sigterm(before)) << init_log();
                      EXPECT_EQ(KillProcessByName("syslogd", SIGKILL), 1);
                      EXPECT_EQ(still_running(logger), std::vector<std::string>{});
                  }),
                  "early exit");
}

TEST_F(Teardown, RebootAfterTeardownOnlySignalsInit)
{
    std::string root = dir_.path();
    expect_passed(spawn([&] {
                      device(root, true);
                      testsupport::FakeStore store;
                      store.put("LAN_IF", "br0");
                      store.put("WAN_PORT", "ADSL");
                      EXPECT_EQ(TerminateAllLinks(0), 1);
                      // A service started after the teardown is not stopped by a reboot.
                      std::map<std::string, pid_t> late{{"watchdog", start_service("watchdog", root + "/signals", "")}};
                      std::size_t before = count(init_log(), "SIGTERM\n");
                      auto t0 = Clock::now();
                      EXPECT_EQ(RebootSystem(), 0);
                      EXPECT_EQ(RebootSystem(), 0);
                      EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1)) << "no second 2-second pause";
                      EXPECT_TRUE(init_got_sigterm(before)) << init_log();
                      EXPECT_EQ(testsupport::read_all(root + "/calls"), "wan change adsl 255\n");
                      EXPECT_EQ(KillProcessByName("watchdog", SIGKILL), 1) << "still running";
                      EXPECT_EQ(still_running(late), std::vector<std::string>{});
                  }),
                  "reboot after teardown");
}

class RetryFile : public testsupport::DeviceRoot {};

TEST_F(RetryFile, AnyEntryCounts)
{
    make_dirs("/etc");
    EXPECT_EQ(RetryFileExists(), 0);
    write_file("/etc/retry", "");
    EXPECT_EQ(RetryFileExists(), 1);
    ::unlink(at("/etc/retry").c_str());
    make_dirs("/etc/retry");
    EXPECT_EQ(RetryFileExists(), 1);
}

} // namespace
