/* devsim-init: process 1 of the simulated device's namespaces.
 *
 *   DEVLIB_ROOT=DIR devsim-init [--loopback] -- CMD [ARG...]
 *
 * Runs CMD, reaps every orphan, and records the signals that ask init to
 * restart or halt (SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGPWR) as one line each
 * in DIR/var/log/init instead of acting on them. It is also the system log:
 * datagrams sent to /dev/log are appended to DIR/var/log/messages with their
 * facility and priority spelled out. When CMD ends, the rest of the sandbox
 * gets SIGTERM and two seconds to finish, and init exits with CMD's status.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define LOG_SOCKET "/dev/log"
#define GRACE_MS 2000

static char messages_path[4096];
static char init_log_path[4096];
static int messages_fd = -1;

static void warn(const char *what) { fprintf(stderr, "devsim-init: %s: %s\n", what, strerror(errno)); }

static void append_line(const char *path, const char *line, size_t len)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    /* One write per line: a reader never sees half a record. */
    if (write(fd, line, len) < 0)
        warn(path);
    close(fd);
}

static int loopback_up(void)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", sizeof ifr.ifr_name - 1);
    int r = ioctl(s, SIOCGIFFLAGS, &ifr);
    if (r == 0) {
        ifr.ifr_flags |= IFF_UP;
        r = ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    close(s);
    return r;
}

static int open_log_socket(void)
{
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, LOG_SOCKET, sizeof sa.sun_path - 1);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return -1;
    unlink(LOG_SOCKET);
    if (bind(s, (struct sockaddr *)&sa, sizeof sa) != 0) {
        close(s);
        return -1;
    }
    chmod(LOG_SOCKET, 0666);
    return s;
}

static const char *const facilities[24] = {
    "kern", "user", "mail", "daemon", "auth", "syslog", "lpr", "news", "uucp", "cron", "authpriv", "ftp",
    "ntp", "security", "console", "solaris-cron",
    "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7",
};
static const char *const severities[8] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

/* "Mmm dd hh:mm:ss " as syslog(3) puts it after the priority. */
static int has_timestamp(const char *p, size_t n)
{
    return n >= 16 && p[3] == ' ' && p[6] == ' ' && p[9] == ':' && p[12] == ':' && p[15] == ' ';
}

/* One datagram "<PRI>Mmm dd hh:mm:ss TAG[pid]: text" becomes the line
 * "Mmm dd hh:mm:ss facility.priority TAG[pid]: text". */
static void log_datagram(const char *msg, size_t n)
{
    int pri = 13; /* user.notice when the sender gave none */
    size_t i = 0;
    if (n > 2 && msg[0] == '<') {
        int v = 0;
        size_t j = 1;
        while (j < n && j < 5 && msg[j] >= '0' && msg[j] <= '9')
            v = v * 10 + (msg[j++] - '0');
        if (j > 1 && j < n && msg[j] == '>' && v < 24 * 8) {
            pri = v;
            i = j + 1;
        }
    }
    while (n > i && (msg[n - 1] == '\n' || msg[n - 1] == '\r' || msg[n - 1] == '\0'))
        n--;

    char line[8192 + 256];
    size_t len = 0;
    if (has_timestamp(msg + i, n - i)) {
        memcpy(line, msg + i, 15);
        len = 15;
        i += 16;
    } else {
        time_t now = time(NULL);
        struct tm tm;
        localtime_r(&now, &tm);
        len = strftime(line, 32, "%b %e %T", &tm);
    }
    len += (size_t)snprintf(line + len, 64, " %s.%s ", facilities[pri >> 3], severities[pri & 7]);
    for (; i < n && len < sizeof line - 3; i++) {
        unsigned char c = (unsigned char)msg[i];
        if (c < 0x20 && c != '\t') { /* keep one message on one line */
            line[len++] = '^';
            line[len++] = (char)(c + '@');
        } else {
            line[len++] = (char)c;
        }
    }
    line[len++] = '\n';
    if (messages_fd >= 0 && write(messages_fd, line, len) < 0)
        warn(messages_path);
}

static void drain_log(int s)
{
    char buf[8192];
    for (;;) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n < 0)
            return;
        log_datagram(buf, (size_t)n);
    }
}

static void record_signal(int sig)
{
    const char *name = sig == SIGTERM   ? "SIGTERM"
                       : sig == SIGHUP  ? "SIGHUP"
                       : sig == SIGUSR1 ? "SIGUSR1"
                       : sig == SIGUSR2 ? "SIGUSR2"
                                        : "SIGPWR";
    char line[32];
    int n = snprintf(line, sizeof line, "%s\n", name);
    append_line(init_log_path, line, (size_t)n);
}

static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int main(int argc, char **argv)
{
    int loopback = 0;
    int a = 1;
    for (; a < argc && strcmp(argv[a], "--") != 0; a++) {
        if (strcmp(argv[a], "--loopback") == 0)
            loopback = 1;
        else
            break;
    }
    if (a >= argc || strcmp(argv[a], "--") != 0 || a + 1 >= argc) {
        fprintf(stderr, "usage: DEVLIB_ROOT=DIR devsim-init [--loopback] -- CMD [ARG...]\n");
        return 2;
    }
    char **cmd = argv + a + 1;
    const char *root = getenv("DEVLIB_ROOT");
    if (root == NULL || root[0] == '\0') {
        fprintf(stderr, "devsim-init: DEVLIB_ROOT is not set\n");
        return 2;
    }
    if ((size_t)snprintf(messages_path, sizeof messages_path, "%s/var/log/messages", root) >= sizeof messages_path ||
        (size_t)snprintf(init_log_path, sizeof init_log_path, "%s/var/log/init", root) >= sizeof init_log_path) {
        fprintf(stderr, "devsim-init: DEVLIB_ROOT is too long\n");
        return 2;
    }
    messages_fd = open(messages_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (messages_fd < 0)
        warn(messages_path);

    if (loopback && loopback_up() != 0)
        warn("loopback");
    int log_sock = open_log_socket();
    if (log_sock < 0)
        warn(LOG_SOCKET);

    sigset_t set, old;
    sigemptyset(&set);
    int sigs[] = {SIGCHLD, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGPWR, SIGINT, SIGQUIT};
    for (size_t i = 0; i < sizeof sigs / sizeof sigs[0]; i++)
        sigaddset(&set, sigs[i]);
    sigprocmask(SIG_BLOCK, &set, &old);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        warn("signalfd");
        return 1;
    }

    pid_t child = fork();
    if (child < 0) {
        warn("fork");
        return 1;
    }
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &old, NULL);
        execvp(cmd[0], cmd);
        fprintf(stderr, "devsim-init: %s: %s\n", cmd[0], strerror(errno));
        _exit(127);
    }

    int status = 0;
    int cmd_done = 0;
    long long deadline = 0;
    for (;;) {
        struct pollfd fds[2] = {{sfd, POLLIN, 0}, {log_sock, POLLIN, 0}};
        int timeout = -1;
        if (cmd_done) {
            long long left = deadline - now_ms();
            timeout = left > 0 ? (int)left : 0;
        }
        int r = poll(fds, log_sock >= 0 ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR)
            break;
        if (log_sock >= 0 && (fds[1].revents & POLLIN))
            drain_log(log_sock);

        struct signalfd_siginfo si;
        while (read(sfd, &si, sizeof si) == (ssize_t)sizeof si) {
            int sig = (int)si.ssi_signo;
            if (sig == SIGTERM || sig == SIGHUP || sig == SIGUSR1 || sig == SIGUSR2 || sig == SIGPWR)
                record_signal(sig);
            /* SIGINT and SIGQUIT from the terminal reach CMD directly. */
        }

        int ws;
        pid_t p;
        int orphans_left = 1;
        while ((p = waitpid(-1, &ws, WNOHANG)) != 0) {
            if (p < 0) {
                orphans_left = 0; /* ECHILD: nobody left */
                break;
            }
            if (p == child) {
                status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
                cmd_done = 1;
                deadline = now_ms() + GRACE_MS;
                kill(-1, SIGTERM);
            }
        }
        if (cmd_done && !orphans_left)
            break;
        if (cmd_done && now_ms() >= deadline) {
            kill(-1, SIGKILL);
            break;
        }
    }
    if (log_sock >= 0)
        drain_log(log_sock);
    return status;
}
