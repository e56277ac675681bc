#include "devlib.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>
#endif

namespace {

using testsupport::read_all;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

// The shell's own argument list, one per line, as the kernel holds it.
constexpr const char *kDumpArgs = "tr '\\000' '\\n' < /proc/$$/cmdline > \"$LOG\"";

bool wait_for_file(const std::string &path, std::chrono::milliseconds limit = std::chrono::seconds(3))
{
    auto end = Clock::now() + limit;
    struct stat st;
    while (stat(path.c_str(), &st) != 0) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool no_child_left()
{
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

class RunTask : public ::testing::Test {
protected:
    void SetUp() override { setenv("LOG", log.c_str(), 1); }
    void TearDown() override { unsetenv("LOG"); }
    TempDir dir;
    std::string log = dir / "log";
};

TEST_F(RunTask, ArgumentsAsTheProgramGetsThem)
{
    struct Case {
        const char *what;
        std::vector<const char *> extra; // after "zeroth", "-c", script
        const char *received;            // after "zeroth\n-c\n<script>\n"
    };
    const Case cases[] = {
        {"empty argument kept", {"", "a b"}, "\na b\n"},
        {"&& last is passed on", {"&&"}, "&&\n"},
        {"& not last is passed on", {"&", "/var/defrt"}, "&\n/var/defrt\n"},
        {"& inside a word", {"a&"}, "a&\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(log.c_str());
        int r;
        switch (c.extra.size()) {
        case 1: r = run_task("/bin/sh", "zeroth", "-c", kDumpArgs, c.extra[0], nullptr); break;
        case 2: r = run_task("/bin/sh", "zeroth", "-c", kDumpArgs, c.extra[0], c.extra[1], nullptr); break;
        default: FAIL();
        }
        EXPECT_GT(r, 0);
        // Foreground: the file is complete when the call returns.
        EXPECT_EQ(read_all(log), std::string("zeroth\n-c\n") + kDumpArgs + "\n" + c.received);
        EXPECT_TRUE(no_child_left());
    }
}

TEST_F(RunTask, ForegroundWaitsForTheProgram)
{
    auto start = Clock::now();
    run_task("/bin/sh", "sh", "-c", "sleep 0.3; echo done > \"$LOG\"", nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(read_all(log), "done\n");
    EXPECT_TRUE(no_child_left());
}

TEST_F(RunTask, BackgroundReturnsAtOnceAndLeavesNoChild)
{
    std::string script = std::string("sleep 0.4; ") + kDumpArgs;
    auto start = Clock::now();
    EXPECT_GT(run_task("/bin/sh", "sh", "-c", script.c_str(), "&", nullptr), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(300));
    struct stat st;
    EXPECT_NE(stat(log.c_str(), &st), 0) << "returned only after the program ended";
    EXPECT_TRUE(no_child_left()) << "the program must not be the caller's child";
    ASSERT_TRUE(wait_for_file(log));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let tr finish the file
    EXPECT_EQ(read_all(log), "sh\n-c\n" + script + "\n") << "\"&\" is not passed on";
}

TEST_F(RunTask, MissingProgramReturnsNormally)
{
    for (const char *last : {static_cast<const char *>(nullptr), "&"}) {
        EXPECT_GT(run_task("/nonexistent/prog", "prog", last, nullptr), 0);
        EXPECT_TRUE(no_child_left());
    }
    EXPECT_GT(run_task("no-such-program-in-path", "x", nullptr), 0);
}

TEST_F(RunTask, AbsoluteProgramPathIsTakenUnderTheDeviceRoot)
{
    mkdir((dir / "bin").c_str(), 0755);
    testsupport::write_all(dir / "bin/tool", "#!/bin/sh\necho \"$@\" > \"$LOG\"\n");
    chmod((dir / "bin/tool").c_str(), 0755);
    setenv("DEVLIB_ROOT", dir.path().c_str(), 1);
    run_task("/bin/tool", "tool", "x", nullptr);
    unsetenv("DEVLIB_ROOT");
    EXPECT_EQ(read_all(log), "x\n");
}

// Calls run_task with the first N entries of v as its argument list.
template <std::size_t... I> int run_with(const char *const *v, std::index_sequence<I...>)
{
    return run_task("/bin/sh", v[I]..., static_cast<const char *>(nullptr));
}

TEST_F(RunTask, ArgumentCountLimit)
{
    // "sh" "-c" script, then fillers; the script counts what it got.
    const char *v[41];
    v[0] = "sh";
    v[1] = "-c";
    v[2] = "echo $# > \"$LOG\"";
    v[3] = "zero"; // $0
    for (int i = 4; i < 41; i++)
        v[i] = "a";

    struct Case {
        const char *what;
        int result; // -1: refused
        const char *count;
    };
    auto run = [&](auto seq, const char *last) {
        unlink(log.c_str());
        if (last != nullptr)
            v[seq.size() - 1] = last;
        int r = run_with(v, seq);
        if (last != nullptr)
            v[seq.size() - 1] = "a";
        return r;
    };

    // 39 arguments: the script sees 35 after $0.
    EXPECT_GT(run(std::make_index_sequence<39>(), nullptr), 0);
    EXPECT_EQ(read_all(log), "35\n");

    // 39 and a last "&" fill all 40 slots: background with 39.
    EXPECT_GT(run(std::make_index_sequence<40>(), "&"), 0);
    ASSERT_TRUE(wait_for_file(log));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(read_all(log), "35\n");

    // 40 without "&" would leave no room for the terminating null.
    errno = 0;
    EXPECT_EQ(run(std::make_index_sequence<40>(), nullptr), -1);
    EXPECT_EQ(errno, E2BIG);
    // "&" as the 40th is not last when a 41st follows.
    errno = 0;
    v[39] = "&";
    EXPECT_EQ(run(std::make_index_sequence<41>(), nullptr), -1);
    v[39] = "a";
    EXPECT_EQ(errno, E2BIG);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    struct stat st;
    EXPECT_NE(stat(log.c_str(), &st), 0) << "a refused call must start nothing";
}

TEST_F(RunTask, NoArgv0IsRefused)
{
    errno = 0;
    EXPECT_EQ(run_task("/bin/true", nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(run_task("/bin/true", "&", nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

// When no process can be created, run_task must not collect some other child
// of the caller. Process creation (vfork, clone) is made to fail with a
// seccomp filter in a child.
TEST_F(RunTask, ProcessCreationFailureWaitsForNoOtherChild)
{
#if defined(__x86_64__)
    pid_t tester = fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        pid_t other = fork();
        if (other == 0)
            _exit(7);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_vfork, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 1, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            _exit(77);
        errno = 0;
        int r = run_task("/bin/true", "true", nullptr);
        int e = errno;
        int st = 0;
        pid_t w = waitpid(other, &st, 0);
        if (r != -1 || e != EAGAIN)
            _exit(1);
        _exit(w == other && WIFEXITED(st) && WEXITSTATUS(st) == 7 ? 0 : 2);
    }
    int st = 0;
    ASSERT_EQ(waitpid(tester, &st, 0), tester);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 77)
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(WEXITSTATUS(st), 0) << "1: failure not reported as -1/EAGAIN; 2: another child was collected";
#else
    GTEST_SKIP() << "the failure is injected with an x86-64 seccomp filter";
#endif
}

} // namespace
