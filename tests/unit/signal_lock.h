// Tests that signal processes by name or signal init share the sandbox's
// process table with every other test running at the same time: they take
// this lock, so that one at a time stops the services it started.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace testsupport {

class SignalLock {
public:
    SignalLock()
    {
        const char *root = std::getenv("DEVSIM_ROOT");
        std::string dir = root != nullptr && root[0] != '\0' ? std::string(root) + "/var/run" : "/tmp";
        fd_ = ::open((dir + "/devlib-signal-tests.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~SignalLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SignalLock(const SignalLock &) = delete;
    SignalLock &operator=(const SignalLock &) = delete;

private:
    int fd_ = -1;
};

} // namespace testsupport
