#include "schedule.h"

#include "devlib.h"
#include "fake_store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using arbd::time_matches;

TEST(ArbdSchedule, MatchRule)
{
    struct Case {
        long long t;
        std::vector<int> matching; // every other minute of the day does not match
    };
    const Case cases[] = {
        {0, {0, 1, 1439}},
        {1, {0, 1, 2}},
        {210, {209, 210, 211}},
        {720, {719, 720, 721}},
        {1438, {1437, 1438, 1439}},
        {1439, {0, 1438, 1439}},
        {1440, {1439}},
        {-1, {0}},
        {1441, {}},
        {-2, {}},
        {LLONG_MAX, {}},
        {LLONG_MIN + 1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("T = " + std::to_string(c.t));
        std::vector<int> got;
        for (int n = 0; n < arbd::kMinutesPerDay; n++)
            if (time_matches(c.t, n))
                got.push_back(n);
        EXPECT_EQ(got, c.matching);
    }
}

TEST(ArbdSchedule, StartupDelay)
{
    struct Case {
        long uptime;
        unsigned delay;
    };
    const Case cases[] = {{0, 3600}, {100, 3500}, {3599, 1}, {3600, 0}, {86400, 0}, {-5, 3600}};
    for (const Case &c : cases)
        EXPECT_EQ(arbd::startup_delay(c.uptime), c.delay) << "uptime " << c.uptime;
}

TEST(ArbdSchedule, RebootMinute)
{
    struct Case {
        const char *hour;
        const char *minute;
        long long t;
    };
    const Case cases[] = {
        {"3", "30", 210},
        {"", "", 0},
        {"0", "0", 0},
        {"23", "59", 1439},
        {" 12", "x", 720},
        {"1 ", "+5", 65},
        {"\t2", "-1", 119},
        {"-0", "0", 0},
        {"24", "0", 1440},
        {"0x10", "1", 1},
        {"99999999999999", "0", static_cast<long long>(INT_MAX) * 60},
        {"-99999999999999", "-99999999999999", static_cast<long long>(INT_MIN) * 61},
    };
    for (const Case &c : cases)
        EXPECT_EQ(arbd::reboot_minute(c.hour, c.minute), c.t) << '"' << c.hour << "\" \"" << c.minute << '"';
}

// ---- the loop, with a clock and a store of the test's own ----------------

struct Fake {
    long uptime = 4000;
    int minute = 600;
    std::vector<unsigned> sleeps;
    int reboots = 0;
    // Runs at each sleep (the k-th, from 0); lets a test change the store.
    void (*on_sleep)(std::size_t k) = nullptr;
    std::size_t max_sleeps = 10;
};
Fake *g_fake;

const arbd::System kFakeSystem = {
    [] { return g_fake->uptime; },
    [] { return g_fake->minute; },
    [](unsigned s) {
        g_fake->sleeps.push_back(s);
        if (g_fake->on_sleep)
            g_fake->on_sleep(g_fake->sleeps.size() - 1);
        if (g_fake->sleeps.size() >= g_fake->max_sleeps)
            nvram_set("ARB_EN", "0"); // end a loop that would run for ever
    },
    [] { g_fake->reboots++; },
};

class ArbdLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fake = &fake;
        store.put("ARB_EN", "1");
        store.put("ARB_H", "3");
        store.put("ARB_M", "30");
    }
    testsupport::FakeStore store;
    Fake fake;
};

TEST_F(ArbdLoop, NotEnabledExitsAtOnce)
{
    for (const char *v : {"0", "", "yes", "1 ", " 1", "11", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(v != nullptr ? v : "(missing)");
        if (v != nullptr)
            store.put("ARB_EN", v);
        else
            store.erase("ARB_EN");
        fake.uptime = 100;
        fake.sleeps.clear();
        EXPECT_EQ(arbd::run(kFakeSystem), 0);
        EXPECT_TRUE(fake.sleeps.empty()) << "no waiting";
        EXPECT_EQ(fake.reboots, 0);
    }
}

TEST_F(ArbdLoop, WaitsForAnHourOfUptimeThenChecksEveryMinute)
{
    fake.uptime = 100;
    fake.minute = 212; // 03:32, just outside the window
    fake.max_sleeps = 4;
    EXPECT_EQ(arbd::run(kFakeSystem), 0);
    EXPECT_EQ(fake.sleeps, (std::vector<unsigned>{3500, 60, 60, 60}));
    EXPECT_EQ(fake.reboots, 0);
}

TEST_F(ArbdLoop, NoDelayOnceSettled)
{
    fake.uptime = 3600;
    fake.minute = 211;
    EXPECT_EQ(arbd::run(kFakeSystem), 0);
    EXPECT_EQ(fake.reboots, 1);
    EXPECT_TRUE(fake.sleeps.empty());
}

TEST_F(ArbdLoop, SettingsAreReadAfreshEachCheck)
{
    fake.minute = 600;
    fake.on_sleep = [](std::size_t k) {
        if (k == 1) {
            nvram_set("ARB_H", "10");
            nvram_set("ARB_M", "1");
        }
    };
    EXPECT_EQ(arbd::run(kFakeSystem), 0);
    EXPECT_EQ(fake.reboots, 1);
    EXPECT_EQ(fake.sleeps.size(), 2u) << "the third check sees the new time";
}

TEST_F(ArbdLoop, SwitchedOffWhileRunning)
{
    fake.on_sleep = [](std::size_t k) {
        if (k == 2)
            nvram_set("ARB_EN", "0");
    };
    EXPECT_EQ(arbd::run(kFakeSystem), 0);
    EXPECT_EQ(fake.sleeps.size(), 3u);
    EXPECT_EQ(fake.reboots, 0);
}

TEST_F(ArbdLoop, SecondTimeNeedsBothKeys)
{
    struct Case {
        const char *what;
        const char *h2;
        const char *m2;
        int minute;
        int reboots;
    };
    const Case cases[] = {
        {"minute missing: only the first time", "12", nullptr, 720, 0},
        {"minute empty: only the first time", "12", "", 720, 0},
        {"hour empty: only the first time", "", "0", 720, 0},
        {"both set: noon too", "12", "0", 719, 1},
        {"both set, past the window", "12", "0", 722, 0},
        {"first time still used", "12", "0", 209, 1},
        {"both missing: the first time alone", nullptr, nullptr, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        store.erase("ARB_H2");
        store.erase("ARB_M2");
        if (c.h2 != nullptr)
            store.put("ARB_H2", c.h2);
        if (c.m2 != nullptr)
            store.put("ARB_M2", c.m2);
        nvram_set("ARB_EN", "1");
        fake.minute = c.minute;
        fake.reboots = 0;
        fake.sleeps.clear();
        fake.max_sleeps = 1;
        arbd::run(kFakeSystem);
        EXPECT_EQ(fake.reboots, c.reboots);
    }
}

TEST_F(ArbdLoop, MidnightWhenNothingIsSet)
{
    store.erase("ARB_H");
    store.erase("ARB_M");
    for (int minute : {1439, 0, 1, 2}) {
        nvram_set("ARB_EN", "1");
        fake.minute = minute;
        fake.reboots = 0;
        fake.sleeps.clear();
        fake.max_sleeps = 1;
        arbd::run(kFakeSystem);
        EXPECT_EQ(fake.reboots, minute == 2 ? 0 : 1) << "minute " << minute;
    }
}

TEST_F(ArbdLoop, UnknownTimeNeverMatches)
{
    store.put("ARB_H", "0");
    store.put("ARB_M", "-1"); // T = -1 matches minute 0, never "minute -1"
    fake.minute = -1;
    fake.max_sleeps = 2;
    arbd::run(kFakeSystem);
    EXPECT_EQ(fake.reboots, 0);
}

// ---- the program in a device tree of its own ----------------------------

class ArbdProgram : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        write_file("/dev/nvram", "");
        make_dirs("/flash");
        // The stand-ins take a while, then log their arguments; profile keeps
        // the "/flash/config" it saw.
        write_file("/bin/profile", "#!/bin/sh\nsleep 0.2\ncp " + at("/flash/config") + " " + at("/seen") +
                                       "\necho \"profile $*\" >> " + at("/calls") + "\n");
        write_file("/bin/sysapply", "#!/bin/sh\nsleep 0.2\necho \"sysapply $*\" >> " + at("/calls") + "\n");
        chmod(at("/bin/profile").c_str(), 0755);
        chmod(at("/bin/sysapply").c_str(), 0755);
    }

    // Runs arbd, under a boot-time offset when given; its exit status, or
    // -1 when it had to be stopped after the limit.
    int run_arbd(long boottime_offset, std::chrono::seconds limit = std::chrono::seconds(10))
    {
        std::string program = std::string(DEVLIB_BINARY_DIR) + "/arbd/arbd";
        std::string offset = std::to_string(boottime_offset);
        pid_t pid = fork();
        if (pid < 0)
            return -2;
        if (pid == 0) {
            if (boottime_offset != 0)
                execlp("unshare", "unshare", "--time", "--boottime", offset.c_str(), "--fork", "--kill-child",
                       program.c_str(), static_cast<char *>(nullptr));
            else
                execl(program.c_str(), "arbd", static_cast<char *>(nullptr));
            _exit(127);
        }
        auto end = std::chrono::steady_clock::now() + limit;
        int st = 0;
        while (waitpid(pid, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : -3;
    }

    static long uptime()
    {
        struct sysinfo si;
        return sysinfo(&si) == 0 ? si.uptime : 0;
    }
    static bool time_namespaces()
    {
        return std::system("unshare --time --boottime 1 --fork true >/dev/null 2>&1") == 0;
    }
};

TEST_F(ArbdProgram, NotEnabledExitsAtOnce)
{
    for (const char *v : {"0", "", "yes", "1 "}) {
        SCOPED_TRACE(v);
        ASSERT_EQ(nvram_set("ARB_EN", v), 0);
        EXPECT_EQ(run_arbd(0, std::chrono::seconds(5)), 0);
    }
    EXPECT_EQ(read_file("/calls"), "");
}

TEST_F(ArbdProgram, CommitsThenRestartsAtTheConfiguredMinute)
{
    if (!time_namespaces())
        GTEST_SKIP() << "needs time namespaces (unshare --time) to start with an hour of uptime";
    std::time_t now = std::time(nullptr);
    std::tm tm;
    localtime_r(&now, &tm);
    ASSERT_EQ(nvram_set("ARB_EN", "1"), 0);
    ASSERT_EQ(nvram_set("ARB_H", std::to_string(tm.tm_hour).c_str()), 0);
    ASSERT_EQ(nvram_set("ARB_M", std::to_string(tm.tm_min).c_str()), 0);
    ASSERT_EQ(nvram_set("KIVO_SW", "1"), 0);

    EXPECT_EQ(run_arbd(3600), 0);
    EXPECT_EQ(read_file("/calls"), "profile put " + at("/flash") + "\nsysapply restart\n")
        << "profile, then sysapply, each waited for";
    char v[254];
    EXPECT_STREQ(get_file_value("/seen", "KIVO_SW", v), "0") << "dumped before profile ran";
    EXPECT_STREQ(get_file_value("/seen", "ARB_EN", v), "1");
    EXPECT_STREQ(nvram_get("KIVO_SW"), "0");
}

TEST_F(ArbdProgram, NoCheckBeforeAnHourOfUptime)
{
    if (!time_namespaces())
        GTEST_SKIP() << "needs time namespaces (unshare --time) to set the uptime";
    std::time_t now = std::time(nullptr);
    std::tm tm;
    localtime_r(&now, &tm);
    ASSERT_EQ(nvram_set("ARB_EN", "1"), 0);
    ASSERT_EQ(nvram_set("ARB_H", std::to_string(tm.tm_hour).c_str()), 0);
    ASSERT_EQ(nvram_set("ARB_M", std::to_string(tm.tm_min).c_str()), 0);

    EXPECT_EQ(run_arbd(100 - uptime(), std::chrono::seconds(1)), -1) << "still waiting after a second";
    EXPECT_EQ(read_file("/calls"), "");
}

} // namespace
