#include "service.h"

#include "redirect.h"

#include "devlib/util/fd.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

namespace dialgate {
namespace {

constexpr int kWaitMs = 3000;
// Longest a client may hold up the service: to send its request and take the answer.
constexpr int kClientMs = 2000;
// Clients beyond the queue would wait for a SYN retry (a second or more).
constexpr int kBacklog = 32;
// A connection that cannot be accepted (no descriptor or memory left) stays
// queued and wakes the wait at once: pause so as not to spin and flood the log.
constexpr int kAcceptPauseMs = 100;

struct Service {
    int fd;
    int port;
};

volatile std::sig_atomic_t stop_requested = 0;
constinit Service proxy_service = {-1, kPort};
constinit Redirector redirector = {};
char buf[kRequestMax];
char response[kResponseMax];

void on_sighup(int) {}
void on_terminate(int) { stop_requested = 1; }

bool install(int sig, void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    return sigaction(sig, &sa, nullptr) == 0;
}

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Waits for events on fd until the deadline; false on time-out, error or a stop request.
bool wait_for(int fd, short events, long deadline)
{
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd p = {fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR || stop_requested)
            return false;
    }
}

// The one read of a request, the first wait bounded. 0 or -1 for nothing.
ssize_t read_request(int fd, long deadline)
{
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        return n;
    if (!wait_for(fd, POLLIN, deadline))
        return -1;
    return recv(fd, buf, sizeof buf, MSG_DONTWAIT);
}

// The whole response unless the client stops taking it before the deadline.
// No SIGPIPE for a client that has gone.
void send_response(int fd, std::size_t len, long deadline)
{
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, response + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !wait_for(fd, POLLOUT, deadline))
            return;
    }
}

void handle_connection()
{
    sockaddr_in client_addr;
    socklen_t client_addr_len = sizeof client_addr;
    int client_sd = accept4(proxy_service.fd, reinterpret_cast<sockaddr *>(&client_addr), &client_addr_len,
                            SOCK_CLOEXEC);
    if (client_sd < 0) {
        syslog(LOG_ERR, "accept for %d, reason: %m", proxy_service.port);
        (void)poll(nullptr, 0, kAcceptPauseMs); // a signal cuts it short
        return;
    }
    devlib::UniqueFd client(client_sd);
    long deadline = now_ms() + kClientMs;
    ssize_t n = read_request(client_sd, deadline);
    std::size_t len = respond(redirector, buf, n > 0 ? static_cast<std::size_t>(n) : 0, response, sizeof response);
    if (len > 0)
        send_response(client_sd, len, deadline);
}

// The listening socket, or -1 after logging why there is none: a service that
// cannot listen says so and ends instead of waiting on nothing.
int open_listener()
{
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sd < 0) {
        syslog(LOG_ERR, "socket: %m");
        return -1;
    }
    devlib::UniqueFd owner(sd);
    int optval = 1;
    (void)setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof optval);
    sockaddr_in service_addr = {};
    service_addr.sin_family = AF_INET;
    service_addr.sin_port = htons(static_cast<std::uint16_t>(proxy_service.port));
    service_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sd, reinterpret_cast<sockaddr *>(&service_addr), sizeof service_addr) < 0) {
        syslog(LOG_ERR, "bind: %m");
        return -1;
    }
    if (listen(sd, kBacklog) < 0) {
        syslog(LOG_ERR, "listen: %m");
        return -1;
    }
    return owner.release();
}

} // namespace

int run()
{
    openlog("DIALGATE", LOG_CONS | LOG_NDELAY, LOG_DAEMON);
    setlogmask(LOG_UPTO(LOG_DEBUG));
    proxy_service = {-1, kPort};

    if (!install(SIGHUP, on_sighup) || !install(SIGTERM, on_terminate) || !install(SIGINT, on_terminate)) {
        syslog(LOG_ERR, "signal: %m");
        return 1;
    }

    syslog(LOG_DEBUG, "bind service port");
    int sd = open_listener();
    if (sd < 0)
        return 1;
    proxy_service.fd = sd;
    syslog(LOG_INFO, "proxy service :%d ready", proxy_service.port);

    pollfd poll_fds[1] = {{proxy_service.fd, POLLIN, 0}};
    nfds_t poll_nfds = 1;
    syslog(LOG_DEBUG, "begin service loop");
    while (!stop_requested) {
        int poll_ret = poll(poll_fds, poll_nfds, kWaitMs);
        if (poll_ret < 0) {
            if (errno == EINTR)
                continue;
            syslog(LOG_ERR, "poll: %m");
            break;
        }
        if (poll_ret == 0)
            continue;
        if (poll_fds[0].revents & POLLHUP) {
            syslog(LOG_ERR, ": rec.POLLHUP ");
            continue;
        }
        handle_connection();
    }
    syslog(LOG_INFO, "shutdown");
    return 0;
}

} // namespace dialgate
