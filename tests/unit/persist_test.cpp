#include "devlib.h"

#include "persist/mtd.h"
#include "platform/store_driver.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// ---- mtd_write ----------------------------------------------------------

std::vector<std::size_t> g_pieces;
ssize_t g_limit; // the most one write takes; 0: no progress; -1: error

ssize_t recording_write(int fd, const void *buf, std::size_t n)
{
    g_pieces.push_back(n);
    if (g_limit < 0) {
        errno = EIO;
        return -1;
    }
    return ::write(fd, buf, n < static_cast<std::size_t>(g_limit) ? n : static_cast<std::size_t>(g_limit));
}

class MtdWrite : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        write_file("/dev/mtd5", blank);
        g_pieces.clear();
        for (std::size_t i = 0; i < data.size(); i++)
            data[i] = static_cast<char>(i * 7 + i / 251);
    }
    void write(int offset, ssize_t limit, int length)
    {
        g_limit = limit;
        devlib::persist::mtd_write_with(recording_write, "/dev/mtd5", offset, data.data(), length);
    }
    const std::string blank = std::string(160000, '\xff');
    std::string data = std::string(150000, '\0');
};

TEST_F(MtdWrite, PiecesOfAtMost64KiBAtTheOffset)
{
    write(100, 1 << 20, 150000);
    EXPECT_EQ(g_pieces, (std::vector<std::size_t>{65536, 65536, 18928}));
    std::string expect = blank;
    expect.replace(100, data.size(), data);
    EXPECT_EQ(read_file("/dev/mtd5"), expect) << "placed at the offset, nothing else touched";
}

TEST_F(MtdWrite, ShortWritesGoOn)
{
    write(0, 50000, 150000);
    EXPECT_EQ(g_pieces, (std::vector<std::size_t>{65536, 65536, 50000}));
    EXPECT_EQ(read_file("/dev/mtd5").substr(0, data.size()), data);
}

TEST_F(MtdWrite, StopsWithoutWriting)
{
    struct Case {
        const char *what;
        int offset;
        ssize_t limit;
        int length;
        std::size_t calls;
    };
    const Case cases[] = {
        {"no progress ends the writing", 0, 0, 1000, 1},
        {"an error ends the writing", 0, -1, 1000, 1},
        {"negative offset writes nothing", -1, 1 << 20, 1000, 0},
        {"nothing to write", 0, 1 << 20, 0, 0},
        {"negative length", 0, 1 << 20, -5, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        g_pieces.clear();
        write(c.offset, c.limit, c.length);
        EXPECT_EQ(g_pieces.size(), c.calls);
        EXPECT_EQ(read_file("/dev/mtd5"), blank);
    }
}

TEST_F(MtdWrite, MissingDeviceIsNotCreated)
{
    mtd_write("/dev/mtd2", 0, "abc", 3);
    struct stat st;
    EXPECT_NE(stat(at("/dev/mtd2").c_str(), &st), 0);
}

TEST_F(MtdWrite, ClearConfigZeroesTenBytes)
{
    write_file("/dev/mtd7", std::string(100, 'x'));
    clearConfig();
    EXPECT_EQ(read_file("/dev/mtd7"), std::string(10, '\0') + std::string(90, 'x'));
}

// ---- commit, restore ---------------------------------------------------

// The store image under the device root, with the driver requests counted.
const devlib::store::Driver *g_system;
std::vector<unsigned long> g_requests;
int counting_ioctl(int fd, unsigned long req, void *arg)
{
    g_requests.push_back(req);
    return g_system->ioctl(fd, req, arg);
}

class Commit : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        write_file("/dev/nvram", "");
        make_dirs("/flash");
        g_system = &devlib::store::driver();
        counting = *g_system;
        counting.ioctl = counting_ioctl;
        devlib::store::set_driver(&counting);
        g_requests.clear();
        // profile shows what "/flash/config" held when it ran.
        write_file("/bin/profile", "#!/bin/sh\nsleep ${PROFILE_DELAY:-0}\nprintf 'profile %s %s\\n' \"$*\" \"$(cat " +
                                       at("/flash/config") + ")\" >> " + at("/calls") + "\n");
        chmod(at("/bin/profile").c_str(), 0755);
    }
    void TearDown() override
    {
        unsetenv("PROFILE_DELAY");
        DeviceRoot::TearDown();
    }
    std::string calls(bool wait = false) const
    {
        for (int i = 0; wait && i < 300 && read_file("/calls").empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return read_file("/calls");
    }
    std::string profile_saw(std::string config) const
    {
        while (!config.empty() && config.back() == '\n')
            config.pop_back(); // as the shell's $(...) gives it
        return "profile put " + at("/flash") + " " + config + "\n";
    }
    devlib::store::Driver counting{};
};

TEST_F(Commit, ForegroundSaveWaitsForProfile)
{
    nvram_set("KIVO_SW", "1");
    nvram_set("A", "x y");
    setenv("PROFILE_DELAY", "0.3", 1);
    auto start = Clock::now();
    saveConfig(0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_STREQ(nvram_get("KIVO_SW"), "0");
    char v[254];
    EXPECT_STREQ(get_file_value("/flash/config", "KIVO_SW", v), "0");
    EXPECT_STREQ(get_file_value("/flash/config", "A", v), "x y");
    std::string config = read_file("/flash/config");
    EXPECT_EQ(calls(), profile_saw(config)) << "dumped before profile ran, waited for it";
    EXPECT_EQ(g_requests, (std::vector<unsigned long>{32}));
}

TEST_F(Commit, BackgroundSaveDoesNotWait)
{
    nvram_set("KIVO_SW", "1");
    setenv("PROFILE_DELAY", "0.3", 1);
    auto start = Clock::now();
    saveConfig(1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(calls(), "");
    char v[254];
    EXPECT_STREQ(get_file_value("/flash/config", "KIVO_SW", v), "0");
    EXPECT_EQ(calls(true), profile_saw(read_file("/flash/config")));
}

TEST_F(Commit, Config2FileFreesOnlyWithAFlag)
{
    EXPECT_EQ(Config2File(0), 0);
    EXPECT_EQ(g_requests, (std::vector<unsigned long>{32}));
    g_requests.clear();
    EXPECT_EQ(Config2File(1), 0);
    EXPECT_EQ(g_requests, (std::vector<unsigned long>{32, 16}));
}

TEST_F(Commit, Config2FileReportsAMissingStore)
{
    unlink(at("/dev/nvram").c_str());
    EXPECT_EQ(Config2File(0), ENOENT);
    EXPECT_EQ(Config2File(1), ENOENT);
}

TEST_F(Commit, RestoreConfigLeavesTheStore)
{
    nvram_set("A", "running");
    write_file("/tmp/upload", "A=restored\n");
    RestoreConfig("/tmp/upload");
    EXPECT_EQ(read_file("/flash/config"), "A=restored\n");
    EXPECT_EQ(calls(), profile_saw("A=restored"));
    EXPECT_STREQ(nvram_get("A"), "running");
}

TEST_F(Commit, RestoreDefaultConfig)
{
    struct Case {
        const char *what;
        const char *dat;     // "/flash/config.dat", null: absent
        const char *factory; // "/factory/config", null: absent
        const char *config;  // "/flash/config" afterwards
    };
    const Case cases[] = {
        {"config.dat first", "D=1", "F=1", "D=1"},
        {"factory without config.dat", nullptr, "F=1", "F=1"},
        {"neither: kept as it was", nullptr, nullptr, "OLD=1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(at("/calls").c_str());
        unlink(at("/flash/config.dat").c_str());
        unlink(at("/factory/config").c_str());
        write_file("/flash/config", "OLD=1");
        if (c.dat != nullptr)
            write_file("/flash/config.dat", c.dat);
        if (c.factory != nullptr)
            write_file("/factory/config", c.factory);
        RestoreDefaultConfig();
        EXPECT_EQ(read_file("/flash/config"), c.config);
        EXPECT_EQ(calls(), profile_saw(c.config)) << "profile runs in every case";
    }
}

} // namespace
