#include "devlib.h"

#include "support.h"
#include "util/proc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Children of the test that carry a chosen process name until the end.
class Named {
public:
    ~Named()
    {
        // Only children still running and unreaped: a reaped id may be reused.
        for (pid_t p : pids_) {
            if (waitpid(p, nullptr, WNOHANG) == 0) {
                kill(p, SIGKILL);
                waitpid(p, nullptr, 0);
            }
        }
    }
    pid_t start(const std::string &name)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return -1;
        pid_t c = fork();
        if (c == 0) {
            prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
            char x = 'x';
            (void)!write(ready[1], &x, 1);
            for (;;)
                pause();
        }
        char x;
        (void)!read(ready[0], &x, 1);
        close(ready[0]);
        close(ready[1]);
        pids_.push_back(c);
        return c;
    }
    const std::vector<pid_t> &pids() const { return pids_; }

private:
    std::vector<pid_t> pids_;
};

// A name no other process on the machine carries: the test's pid, padded.
std::string unique_name(std::size_t length, char pad)
{
    std::string s = "t" + std::to_string(getpid());
    s.resize(length, pad);
    return s;
}

std::vector<int> take_list(int *list)
{
    std::vector<int> v;
    if (list == nullptr)
        return v;
    for (int *p = list; *p != 0; p++)
        v.push_back(*p);
    std::free(list);
    return v;
}

std::vector<int> sorted(std::vector<int> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

TEST(FindPidByName, TwoMatchesAndNone)
{
    Named n;
    std::string name = unique_name(12, 'a');
    pid_t a = n.start(name);
    pid_t b = n.start(name);
    n.start(unique_name(12, 'b'));
    int *list = find_pid_by_name(name.c_str());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[2], 0) << "two ids, then the 0";
    EXPECT_EQ(sorted(take_list(list)), sorted({a, b}));
    EXPECT_EQ(find_pid_by_name(unique_name(12, 'c').c_str()), nullptr);
}

TEST(FindPidByName, FifteenCharacterComparison)
{
    Named n;
    std::string fifteen = unique_name(15, 'q');
    pid_t exact = n.start(fifteen);
    pid_t cut = n.start(unique_name(20, 'q')); // the kernel keeps its first 15
    struct Case {
        const char *what;
        std::string name;
        bool matches;
    };
    const Case cases[] = {
        {"15 characters match exactly", fifteen, true},
        {"16 or more compare on the first 15", fifteen + "zzz", true},
        {"a prefix is not the name", fifteen.substr(0, 14), false},
        {"differs in the 15th", fifteen.substr(0, 14) + "r", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<int> got = sorted(take_list(find_pid_by_name(c.name.c_str())));
        EXPECT_EQ(got, c.matches ? sorted({exact, cut}) : std::vector<int>());
    }
}

// The list is grown one id at a time; when that fails, the ids found so far
// come back, terminated.
int g_grows_allowed;
void *limited_realloc(void *p, std::size_t n)
{
    if (g_grows_allowed-- <= 0)
        return nullptr;
    return std::realloc(p, n);
}

TEST(FindPidByName, MemoryExhaustedKeepsWhatWasFound)
{
    Named n;
    std::string name = unique_name(13, 'm');
    for (int i = 0; i < 3; i++)
        n.start(name);
    devlib::proc::set_list_realloc(limited_realloc);
    g_grows_allowed = 1;
    errno = 0;
    std::vector<int> one = take_list(find_pid_by_name(name.c_str()));
    int e1 = errno;
    g_grows_allowed = 0;
    errno = 0;
    int *none = find_pid_by_name(name.c_str());
    int e0 = errno;
    devlib::proc::set_list_realloc(nullptr);

    ASSERT_EQ(one.size(), 1u);
    EXPECT_NE(std::find(n.pids().begin(), n.pids().end(), one[0]), n.pids().end());
    EXPECT_EQ(e1, ENOMEM);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(e0, ENOMEM);
}

TEST(KillProcessByName, CountsAndSignals)
{
    SKIP_UNLESS_SANDBOX();
    Named n;
    std::string name = unique_name(15, 'k');
    pid_t a = n.start(name);
    pid_t b = n.start(name);

    EXPECT_EQ(KillProcessByName(name.c_str(), 0), 2);
    EXPECT_EQ(waitpid(a, nullptr, WNOHANG), 0) << "signal 0 only counts";
    EXPECT_EQ(waitpid(b, nullptr, WNOHANG), 0);

    EXPECT_EQ(KillProcessByName((name + "-longer").c_str(), SIGTERM), 2);
    for (pid_t p : {a, b}) {
        int st = 0;
        ASSERT_EQ(waitpid(p, &st, 0), p);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    }
    EXPECT_EQ(KillProcessByName(name.c_str(), 0), 0);
}

} // namespace
