// The real dialgate binary over TCP on 127.0.0.1:10080. Each test makes its
// own network namespace (so parallel tests and the machine's own port never
// meet) and its own mount namespace, where a receiver of its own stands at
// /dev/log and collects what the service logs.
#include "devlib.h"
#include "support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kErr = LOG_DAEMON | LOG_ERR;
constexpr int kInfo = LOG_DAEMON | LOG_INFO;
constexpr int kDebug = LOG_DAEMON | LOG_DEBUG;

struct LogLine {
    int priority;
    std::string text;
};

// Connects to the service; -1 when nothing listens.
int connect_service()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(10080);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the service sends until it closes, within the time given.
std::string read_to_close(int fd, std::chrono::milliseconds limit = 4000ms)
{
    std::string got;
    auto end = Clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            ADD_FAILURE() << "the service did not close the connection in time";
            return got;
        }
        char b[4096];
        ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            return got;
        got.append(b, static_cast<std::size_t>(n));
    }
}

// One request, the whole answer ("" for none).
std::string exchange(const std::string &request)
{
    int fd = connect_service();
    if (fd < 0) {
        ADD_FAILURE() << "cannot connect: " << std::strerror(errno);
        return "";
    }
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (request.empty())
        shutdown(fd, SHUT_WR); // a read that returns nothing
    std::string got = read_to_close(fd);
    close(fd);
    return got;
}

std::string redirect(const std::string &lan, const std::string &port, int handle, const std::string &url)
{
    std::string addr = port.empty() ? lan : lan + ":" + port;
    return "HTTP/1.1 302 Redirect\r\nLocation: http://" + addr + "/kivo.asp?_qr_hdl=" + std::to_string(handle) +
           "&kv_url=" + url + "&kv_ip=http://" + addr +
           "/\r\nConnection: close\r\nContent-Type: text/html\r\nPragma: no-cache\r\nCache-control: "
           "no-cache\r\n\r\n<html>\r\n<head><title>302 Redirect</title></head><body>\r\nThe document has moved "
           "<a hred=\"http://" + lan + "/kivo.asp\">here</a></body></html>\r\n";
}

int handle_of(const std::string &response)
{
    std::size_t at = response.find("?_qr_hdl=");
    return at == std::string::npos ? -1 : std::atoi(response.c_str() + at + 9);
}

const std::string kGet = "GET /some/page HTTP/1.1\r\nHost: example.com\r\n\r\n";

class Service : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network and mount namespace of its own";
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            GTEST_SKIP() << "cannot make its own namespaces: " << std::strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
        bring_up_loopback();
        ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755,size=64k"), 0) << std::strerror(errno);
        log_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", "/dev/log");
        ASSERT_EQ(bind(log_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << std::strerror(errno);

        write_file("/dev/nvram", "");
        if (nvram_set("LAN_IP", "192.168.1.1") != 0)
            GTEST_SKIP() << "no store image to run the service on";
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (log_ >= 0)
            close(log_);
        DeviceRoot::TearDown();
    }

    static void bring_up_loopback()
    {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr = {};
        std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", "lo");
        ASSERT_EQ(ioctl(s, SIOCGIFFLAGS, &ifr), 0);
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &ifr), 0);
        close(s);
    }

    // Starts the program; waits until it serves, unless told not to.
    void start(bool wait_ready = true, rlim_t max_files = 0)
    {
        // In a cross build the program runs under the emulator, as the tests do.
        std::vector<std::string> words;
        std::istringstream emulator(DEVLIB_TEST_EMULATOR);
        for (std::string w; emulator >> w;)
            words.push_back(w);
        words.push_back(std::string(DEVLIB_BINARY_DIR) + "/dialgate/dialgate");
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            close_range(3, ~0U, 0); // only the standard streams, whatever the test runner left open
            if (max_files != 0) {
                rlimit r = {max_files, max_files};
                setrlimit(RLIMIT_NOFILE, &r);
                setenv("ASAN_OPTIONS", "detect_leaks=0", 1); // the leak check needs descriptors of its own
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (wait_ready)
            ASSERT_TRUE(wait_log("begin service loop")) << "the service did not start";
    }

    // Drains the log receiver into lines_.
    void collect()
    {
        char b[2048];
        ssize_t n;
        while ((n = recv(log_, b, sizeof b, 0)) > 0) {
            std::string m(b, static_cast<std::size_t>(n));
            LogLine l = {-1, m};
            std::size_t close_at = m.find('>');
            std::size_t ident = m.find(" DIALGATE: ");
            if (m[0] == '<' && close_at != std::string::npos && ident != std::string::npos) {
                l.priority = std::atoi(m.c_str() + 1);
                l.text = m.substr(ident + 11);
            }
            lines_.push_back(l);
        }
    }

    bool wait_log(const std::string &text, std::chrono::milliseconds limit = 3000ms)
    {
        auto end = Clock::now() + limit;
        do {
            collect();
            for (const LogLine &l : lines_)
                if (l.text == text)
                    return true;
            std::this_thread::sleep_for(5ms);
        } while (Clock::now() < end);
        return false;
    }

    int priority_of(const std::string &text)
    {
        collect();
        for (const LogLine &l : lines_)
            if (l.text == text)
                return l.priority;
        return -1;
    }

    // The exit status, or -1 when the program is still running after the limit.
    int wait_exit(std::chrono::milliseconds limit)
    {
        auto end = Clock::now() + limit;
        do {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            collect(); // a full log queue would hold the program in syslog
            std::this_thread::sleep_for(2ms);
        } while (Clock::now() < end);
        return -1;
    }

    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    pid_t pid_ = -1;
    int log_ = -1;
    std::vector<LogLine> lines_;
};

TEST_F(Service, AnswersByteForByteAndStoresTheHandle)
{
    ASSERT_EQ(nvram_set("HTTPD_PORT", "8080"), 0);
    start();
    // Two requests within one second share the handle.
    for (int attempt = 0; attempt < 3; attempt++) {
        std::time_t before = std::time(nullptr);
        std::string first = exchange(kGet);
        std::string second = exchange("GET /other HTTP/1.1\r\nHost: example.org\r\n\r\n");
        std::time_t after = std::time(nullptr);
        int id = handle_of(first);
        EXPECT_GE(id, 1);
        EXPECT_LE(id, 12345677);
        EXPECT_EQ(first, redirect("192.168.1.1", "8080", id, "example.com/some/page"));
        EXPECT_EQ(second, redirect("192.168.1.1", "8080", handle_of(second), "example.org/other"));
        const char *stored = nvram_get("_kivo_id");
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(std::string(stored), std::to_string(handle_of(second)));
        if (before == after) {
            EXPECT_EQ(handle_of(second), id) << "same second, same handle";
            break;
        }
    }
    // Settings are read at each request.
    ASSERT_EQ(nvram_set("HTTPD_PORT", "80"), 0);
    std::string r = exchange(kGet);
    EXPECT_EQ(r, redirect("192.168.1.1", "", handle_of(r), "example.com/some/page"));
}

TEST_F(Service, RefusedRequestsGetNoResponse)
{
    start();
    const char *refused[] = {
        "POST /form HTTP/1.1\r\nHost: h\r\n\r\n",
        "POST /form HTTP/1.1\r\nHost: h\r\nX: GET /a\r\n\r\n",
        "GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n",
        "GET /a HTTP/1.1\r\nHost h\r\n\r\n",
        "GET /a HTTP/1.1\nHost: h\n\n",
        "",
    };
    for (const char *req : refused) {
        SCOPED_TRACE(req);
        EXPECT_EQ(exchange(req), "");
    }
    ASSERT_EQ(nvram_unset("LAN_IP"), 0);
    EXPECT_EQ(exchange(kGet), "");
    ASSERT_EQ(nvram_set("LAN_IP", "10.1.1.1"), 0);
    EXPECT_NE(exchange(kGet), "");
}

TEST_F(Service, LogsItsLifeAndStopsOnTermAndInt)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        lines_.clear();
        start();
        EXPECT_EQ(priority_of("bind service port"), kDebug);
        EXPECT_EQ(priority_of("proxy service :10080 ready"), kInfo);
        EXPECT_EQ(priority_of("begin service loop"), kDebug);
        ASSERT_EQ(lines_.size(), 3u) << "nothing else at start-up";
        std::this_thread::sleep_for(50ms); // into its wait
        auto sent = Clock::now();
        kill(pid_, sig);
        EXPECT_EQ(wait_exit(2000ms), 0);
        EXPECT_LT(Clock::now() - sent, 1000ms) << "stops within the turn, not at the next time-out";
        EXPECT_TRUE(wait_log("shutdown", 500ms));
        EXPECT_EQ(priority_of("shutdown"), kInfo);
        EXPECT_EQ(connect_service(), -1);
    }
}

TEST_F(Service, HangUpChangesNothing)
{
    start();
    kill(pid_, SIGHUP);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(running());
    EXPECT_NE(exchange(kGet), "");
    collect();
    EXPECT_EQ(lines_.size(), 3u);
}

TEST_F(Service, CannotListenLogsAndExits1)
{
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(10080);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    start(false);
    EXPECT_EQ(wait_exit(2000ms), 1);
    EXPECT_EQ(priority_of("bind: Address already in use"), kErr);
    EXPECT_EQ(priority_of("proxy service :10080 ready"), -1);
    close(taken);
}

TEST_F(Service, FailedAcceptIsLoggedAndTheLoopGoesOn)
{
    // Room for the standard streams, the log and the listening socket only.
    start(true, 5);
    int fd = connect_service();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(wait_log("accept for 10080, reason: Too many open files"));
    EXPECT_EQ(priority_of("accept for 10080, reason: Too many open files"), kErr);
    std::this_thread::sleep_for(300ms);
    collect();
    EXPECT_LE(lines_.size(), 3u + 5u) << "a failed accept is retried, not spun on";
    close(fd);
    kill(pid_, SIGTERM);
    EXPECT_EQ(wait_exit(2000ms), 0);
}

// Clients that reset the connection before the answer: the send must not kill
// the service. It is held stopped so that every reset lands before its send.
TEST_F(Service, ResetBeforeTheAnswer)
{
    start();
    kill(pid_, SIGSTOP);
    for (int i = 0; i < 5; i++) {
        int fd = connect_service();
        ASSERT_GE(fd, 0);
        send(fd, kGet.data(), kGet.size(), MSG_NOSIGNAL);
        linger l = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
    }
    kill(pid_, SIGCONT);
    std::string r = exchange(kGet);
    EXPECT_TRUE(running());
    EXPECT_EQ(r, redirect("192.168.1.1", "", handle_of(r), "example.com/some/page"));
}

// A client that sends nothing holds the service for the bounded wait only; one
// that trickles its request is read once and closed; one that never reads its
// answer does not hold it at all.
TEST_F(Service, SlowClientsAreBounded)
{
    start();
    int silent = connect_service();
    ASSERT_GE(silent, 0);
    std::this_thread::sleep_for(50ms); // taken up first
    auto t0 = Clock::now();
    std::string r = exchange(kGet);
    auto waited = Clock::now() - t0;
    EXPECT_NE(r, "");
    EXPECT_LT(waited, 3000ms);
    EXPECT_EQ(read_to_close(silent, 100ms), "") << "the silent client was let go";
    close(silent);

    int trickle = connect_service();
    ASSERT_GE(trickle, 0);
    send(trickle, "GET /a", 6, MSG_NOSIGNAL);
    std::this_thread::sleep_for(50ms);
    t0 = Clock::now();
    EXPECT_NE(exchange(kGet), "");
    EXPECT_LT(Clock::now() - t0, 500ms);
    close(trickle);

    std::vector<int> deaf;
    for (int i = 0; i < 8; i++) {
        int fd = connect_service();
        ASSERT_GE(fd, 0);
        int small = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        send(fd, kGet.data(), kGet.size(), MSG_NOSIGNAL);
        deaf.push_back(fd);
    }
    t0 = Clock::now();
    EXPECT_NE(exchange(kGet), "");
    EXPECT_LT(Clock::now() - t0, 500ms);
    for (int fd : deaf)
        close(fd);
}

// Input beyond every buffer is cut, never written past; the service lives on.
TEST_F(Service, OversizedInput)
{
    start();
    const std::string url = "/" + std::string(3000, 'u');
    const std::string host = std::string(3000, 'h');
    std::string r = exchange("GET " + url + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(r, redirect("192.168.1.1", "", handle_of(r), host.substr(0, 511) + url.substr(0, 512)));
    std::string flood(100000, 'A');
    int fd = connect_service();
    ASSERT_GE(fd, 0);
    send(fd, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    read_to_close(fd);
    close(fd);
    EXPECT_TRUE(running());
    EXPECT_NE(exchange(kGet), "");
}

} // namespace
