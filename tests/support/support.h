// Shared test fixtures.
#pragma once

#include <gtest/gtest.h>

#include <string>

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

std::string read_all(const std::string &path);
void write_all(const std::string &path, const std::string &text);

} // namespace testsupport

#define SKIP_UNLESS_SANDBOX()                                                                          \
    do {                                                                                               \
        if (!testsupport::in_sandbox())                                                                \
            GTEST_SKIP() << "changes the network, host name or signals processes: runs only inside "  \
                            "the simulated device's namespaces (sim/devsim run)";                     \
    } while (0)
