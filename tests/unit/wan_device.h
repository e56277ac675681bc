// A simulated device for the WAN event tests: the stand-ins of the device's
// programs laid out under the test's root, a store in memory, and every case
// run in a process of its own inside fresh network, PID, mount and UTS
// namespaces, so that daemons started, signalled by name or left behind by
// one case are never seen by another (tests of the suite may run at once).
#pragma once

#include "devlib.h"

#include "mem_store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace wantest {

inline std::string output(const std::string &cmd)
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

inline void sh(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

// Lines of text that contain what.
inline std::vector<std::string> lines_with(const std::string &text, const std::string &what)
{
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.find(what) != std::string::npos)
            out.push_back(line);
        pos = end + 1;
    }
    return out;
}

class Device : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        SKIP_UNLESS_SANDBOX();
        testsupport::FakeStore::install();
        for (const char *d : {"/tmp", "/var/etc", "/var/log", "/var/tmp", "/dev", "/etc", "/proc/GPIOUSER",
                              "/proc/sys/net/ipv4/route", "/usr/lib/devsim"})
            make_dirs(d);
        install("/bin", {"brctl", "ez-ipupdate"});
        install("/usr/sbin", {"tc", "ipt", "qos", "IGMPProxy", "miniupnpd", "zebra", "smtpclient"});
        ASSERT_EQ(symlink("/bin/sh", at("/bin/sh").c_str()), 0);
    }

    // Runs body as the first process after PID 1 of fresh namespaces, with lo
    // up; PID 1 reaps the daemons' orphans as an init would.
    void in_device(const std::function<void()> &body)
    {
        std::fflush(nullptr);
        pid_t outer = fork();
        ASSERT_GE(outer, 0);
        if (outer == 0) {
            if (unshare(CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWUTS) != 0) {
                std::perror("unshare");
                _exit(1);
            }
            pid_t init = fork();
            if (init == 0) {
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
                mount("proc", "/proc", "proc", 0, nullptr);
                prctl(PR_SET_NAME, "wan-init");
                pid_t worker = fork();
                if (worker == 0) {
                    // An escaping exception would let this copy run the other tests.
                    try {
                        sh("ip link set lo up");
                        body();
                    } catch (...) {
                        ADD_FAILURE() << "exception in the device";
                    }
                    std::fflush(nullptr);
                    _exit(::testing::Test::HasFailure() ? 1 : 0);
                }
                int st = 0;
                for (;;) {
                    pid_t p = wait(&st);
                    if (p == worker)
                        break;
                    if (p < 0 && errno != EINTR)
                        _exit(1);
                }
                // Leaving ends every process of the namespace.
                _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
            }
            int st = 0;
            waitpid(init, &st, 0);
            _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
        }
        int st = 0;
        ASSERT_EQ(waitpid(outer, &st, 0), outer);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the device's checks failed (above)";
    }

    void set(const char *name, const std::string &value) const { nvram_set(name, value.c_str()); }
    static std::string get(const char *name) { return testsupport::FakeStore::value(name).value_or("<unset>"); }

    // The call log since the last look.
    std::string calls()
    {
        std::string all = read_file("/var/log/calls");
        std::string fresh = all.substr(seen_ < all.size() ? seen_ : all.size());
        seen_ = all.size();
        return fresh;
    }
    std::string leds() const
    {
        return read_file("/proc/GPIOUSER/ipokled") + "/" + read_file("/proc/GPIOUSER/ipngled");
    }
    // Waits a moment for a background program to show in the log or the process table.
    static void settle() { usleep(200 * 1000); }
    static int running(const char *name) { return KillProcessByName(name, 0); }

    // Replaces a stand-in by a script of the test's own.
    void replace(const std::string &device_path, const std::string &script) const
    {
        write_file(device_path, script);
        chmod(at(device_path).c_str(), 0755);
    }

private:
    void install(const char *dir, std::initializer_list<const char *> progs) const
    {
        make_dirs(dir);
        const std::string src = std::string(DEVLIB_SOURCE_DIR) + "/sim/stand-ins/";
        write_file(std::string(dir) + "/.stand-in.sh", testsupport::read_all(src + "stand-in.sh"));
        for (const char *p : progs) {
            replace(std::string(dir) + "/" + p, testsupport::read_all(src + p));
            // The daemons' sleeper, named after the program.
            std::string link = at("/usr/lib/devsim/") + p;
            symlink("/usr/bin/sleep", link.c_str());
        }
    }
    std::size_t seen_ = 0;
};

} // namespace wantest
