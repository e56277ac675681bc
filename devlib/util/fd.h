// Move-only owners of a descriptor and of a stdio stream. Closing keeps errno.
#pragma once

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace devlib {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    [[nodiscard]] int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FILE *f) : f_(f) {}
    UniqueFile(UniqueFile &&o) noexcept : f_(o.release()) {}
    UniqueFile &operator=(UniqueFile &&o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueFile(const UniqueFile &) = delete;
    UniqueFile &operator=(const UniqueFile &) = delete;
    ~UniqueFile() { reset(); }

    FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    [[nodiscard]] FILE *release()
    {
        FILE *f = f_;
        f_ = nullptr;
        return f;
    }
    void reset(FILE *f = nullptr)
    {
        if (f_ != nullptr) {
            int saved = errno;
            std::fclose(f_);
            errno = saved;
        }
        f_ = f;
    }
    // Closes now and returns fclose's result (for callers that report it).
    int close()
    {
        int r = f_ != nullptr ? std::fclose(f_) : 0;
        f_ = nullptr;
        return r;
    }

private:
    FILE *f_ = nullptr;
};

} // namespace devlib
