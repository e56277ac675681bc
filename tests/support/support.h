// Shared test fixtures.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// True inside the simulated device's fresh namespaces (sim/devsim run), where
// tests may change interfaces, routes, iptables and the host name, and signal
// processes by name or PID 1.
bool in_sandbox();

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Sets DEVLIB_ROOT to a fresh directory for the test's life, with the store
// client reset before and after.
class DeviceRoot : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string at(const std::string &device_path) const { return dir_.path() + device_path; }
    void write_file(const std::string &device_path, const std::string &text) const;
    std::string read_file(const std::string &device_path) const;
    void make_dirs(const std::string &device_path) const;
    TempDir dir_;
};

// A DeviceRoot holding a whole simulated device (sim/devsim build): the store
// loaded from sim/config.sample by this build's nvram tool, flash partitions,
// LED, ADSL and proc files, the console, and stand-ins for the device's
// programs, which log every call in var/log/calls.
class SimDevice : public DeviceRoot {
protected:
    void SetUp() override;
    // The calls of the device's programs so far, one line each, e.g.
    // "ipt [update] [wanif] [0]" (every argument in brackets, empty ones too).
    std::vector<std::string> calls() const;
    void clear_calls() const;
};

std::string read_all(const std::string &path);
void write_all(const std::string &path, const std::string &text);

// Runs argv[0] (searched in PATH) with argv and waits: its exit status, or
// 128 + the signal that ended it, or 127 when it could not be started.
int run_command(const std::vector<std::string> &argv);

// The simulated device's tool, sim/devsim of the source tree.
std::string devsim_path();

// The device tree of the sandbox the tests run in (DEVSIM_ROOT), "" outside
// one. Its var/log/init records the signals sent to process 1.
std::string sandbox_root();

} // namespace testsupport

#define SKIP_UNLESS_SANDBOX()                                                                          \
    do {                                                                                               \
        if (!testsupport::in_sandbox())                                                                \
            GTEST_SKIP() << "changes the network, host name or signals processes: runs only inside "  \
                            "the simulated device's namespaces (sim/devsim run)";                     \
    } while (0)
