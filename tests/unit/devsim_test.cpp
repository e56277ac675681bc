// The simulated device itself: the sandbox, its init and system log, and the
// stand-ins for the device's programs.
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::read_all;
using testsupport::run_command;

namespace {

std::string first_line(const std::string &path)
{
    std::string text = read_all(path);
    return text.substr(0, text.find('\n'));
}

// The process name that find_pid_by_name compares: the Name field of status.
std::string status_name(pid_t pid)
{
    std::string status = read_all("/proc/" + std::to_string(pid) + "/status");
    std::string line = status.substr(0, status.find('\n'));
    return line.rfind("Name:\t", 0) == 0 ? line.substr(6) : "";
}

TEST(Sandbox, InSandboxUnderDevsimRun)
{
    const char *marker = std::getenv("DEVSIM_SANDBOX");
    if (marker == nullptr || std::string(marker) != "1")
        GTEST_SKIP() << "shows what tests see under sim/devsim run";
    EXPECT_TRUE(testsupport::in_sandbox());
    EXPECT_EQ(first_line("/proc/1/comm"), "devsim-init");
    // A network of its own: the loopback and nothing else.
    std::string dev = read_all("/proc/net/dev");
    EXPECT_NE(dev.find(" lo:"), std::string::npos) << dev;
    EXPECT_EQ(dev.find("eth"), std::string::npos) << dev;
    EXPECT_EQ(access((testsupport::sandbox_root() + "/var/log/init").c_str(), F_OK), 0);
}

TEST(Sandbox, MarkerAloneDoesNotMakeASandbox)
{
    if (first_line("/proc/1/comm") == "devsim-init")
        GTEST_SKIP() << "process 1 is devsim-init here";
    const char *old = std::getenv("DEVSIM_SANDBOX");
    std::string saved = old != nullptr ? old : "";
    setenv("DEVSIM_SANDBOX", "1", 1);
    EXPECT_FALSE(testsupport::in_sandbox());
    if (old != nullptr)
        setenv("DEVSIM_SANDBOX", saved.c_str(), 1);
    else
        unsetenv("DEVSIM_SANDBOX");
}

class StandIn : public testsupport::SimDevice {};

TEST_F(StandIn, LogsEachCallAndAcceptsOnlyTheDevicesArgumentLists)
{
    const std::string root = dir_.path();
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        int status;
        std::string line;
    };
    const Case cases[] = {
        {"tool list", {root + "/usr/sbin/ipt", "update", "wanif", "0"}, 0, "ipt [update] [wanif] [0]"},
        {"five-word list", {root + "/bin/sysapply", "wan", "change", "adsl", "255"}, 0,
         "sysapply [wan] [change] [adsl] [255]"},
        {"flash under the root", {root + "/bin/profile", "put", root + "/flash"}, 0,
         "profile [put] [" + root + "/flash]"},
        {"script path", {root + "/usr/sbin/iptables_script", root + "/var/state/ipt_fwd.sh"}, 0,
         "iptables_script [" + root + "/var/state/ipt_fwd.sh]"},
        {"empty argument shows", {root + "/usr/sbin/tc", "qdisc", "del", "dev", "", "root"}, 0,
         "tc [qdisc] [del] [dev] [] [root]"},
        {"one-shot client", {root + "/usr/sbin/smtpclient", "-s", "WAN IP Change notice", "-S", "mail", "a@b"}, 0,
         "smtpclient [-s] [WAN IP Change notice] [-S] [mail] [a@b]"},
        {"newline kept on one line", {root + "/bin/brctl", "a\nb"}, 0, "brctl [a\\nb]"},
        {"wrong WAN index", {root + "/usr/sbin/ipt", "update", "wanif", "1"}, 2, "ipt [update] [wanif] [1] rejected"},
        {"extra argument", {root + "/usr/sbin/qos", "restore", ""}, 2, "qos [restore] [] rejected"},
        {"no arguments", {root + "/bin/sysapply"}, 2, "sysapply rejected"},
        {"two scripts", {root + "/usr/sbin/iptables_script", "a", "b"}, 2, "iptables_script [a] [b] rejected"},
    };
    for (const Case &c : cases) {
        clear_calls();
        EXPECT_EQ(run_command(c.argv), c.status) << c.what;
        EXPECT_EQ(calls(), std::vector<std::string>{c.line}) << c.what;
    }
}

TEST_F(StandIn, ServiceStaysUpUnderItsOwnNameUntilSigterm)
{
    const std::string root = dir_.path();
    const std::vector<std::string> services = {"/usr/sbin/IGMPProxy", "/usr/sbin/miniupnpd", "/bin/ez-ipupdate",
                                               "/usr/sbin/zebra"};
    for (const std::string &path : services) {
        const std::string name = path.substr(path.rfind('/') + 1);
        clear_calls();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string prog = root + path;
            execl(prog.c_str(), name.c_str(), "-f", "", static_cast<char *>(nullptr));
            _exit(127);
        }
        // Up, and still up a moment later, under the name it was started as.
        std::string logged = name + " [-f] []";
        for (int i = 0; i < 200 && calls() != std::vector<std::string>{logged}; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int st = 0;
        EXPECT_EQ(waitpid(pid, &st, WNOHANG), 0) << name << " ended by itself";
        EXPECT_EQ(status_name(pid), name);
        EXPECT_EQ(calls(), std::vector<std::string>{logged});
        kill(pid, SIGTERM);
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << name << " status " << st;
    }
}

class Devsim : public testsupport::SimDevice {};

TEST_F(Devsim, RunGivesAnInitThatRecordsSigtermAndASystemLog)
{
    // Signals process 1 of a sandbox of its own, so it runs only in one.
    SKIP_UNLESS_SANDBOX();
    const std::string root = dir_.path();
    const std::string script = "cat /proc/1/comm > " + root + "/tmp/comm; "
                               "ip -o link show lo > " + root + "/tmp/lo; "
                               "logger -p daemon.info -t DIALGATE 'proxy service :10080 ready'; "
                               "kill -TERM 1; sleep 0.2; exit 7";
    EXPECT_EQ(run_command({"bash", testsupport::devsim_path(), "run", root, "--", "sh", "-c", script}), 7);
    EXPECT_EQ(read_file("/tmp/comm"), "devsim-init\n");
    EXPECT_NE(read_file("/tmp/lo").find(",UP"), std::string::npos) << read_file("/tmp/lo");
    EXPECT_EQ(read_file("/var/log/init"), "SIGTERM\n");
    std::string messages = read_file("/var/log/messages");
    EXPECT_NE(messages.find(" daemon.info DIALGATE: proxy service :10080 ready\n"), std::string::npos) << messages;
}

} // namespace
