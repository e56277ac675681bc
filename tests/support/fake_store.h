// An in-memory store driver for tests of code above the store client: values
// are appended to a private value area (never overwritten, as the driver
// promises), and every record the client writes is kept in order.
#pragma once

#include "platform/store_driver.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace testsupport {

class FakeStore {
public:
    FakeStore()
    {
        current() = this;
        devlib::store::reset_client();
        devlib::store::set_driver(&kDriver);
    }
    ~FakeStore()
    {
        devlib::store::reset_client();
        devlib::store::set_driver(nullptr);
        current() = nullptr;
    }
    FakeStore(const FakeStore &) = delete;
    FakeStore &operator=(const FakeStore &) = delete;

    void put(const std::string &name, const std::string &value) { offsets_[name] = append(value); }
    void erase(const std::string &name) { offsets_.erase(name); }
    std::optional<std::string> value(const std::string &name) const
    {
        auto it = offsets_.find(name);
        if (it == offsets_.end())
            return std::nullopt;
        return std::string(area_.data() + it->second);
    }

    // Records ("name=value" or "name") written by the client, in order.
    std::vector<std::string> writes;
    // Called with the name before each lookup is answered.
    std::function<void(const std::string &)> on_read;
    // When false, open fails with ENOENT as for a missing device.
    bool present = true;

private:
    static FakeStore *&current()
    {
        static FakeStore *s = nullptr;
        return s;
    }
    std::size_t append(const std::string &v)
    {
        if (used_ + v.size() + 1 > area_.size())
            std::abort();
        std::size_t off = used_;
        std::memcpy(area_.data() + off, v.c_str(), v.size() + 1);
        used_ += v.size() + 1;
        return off;
    }

    static int d_open(const char *)
    {
        if (!current()->present) {
            errno = ENOENT;
            return -1;
        }
        return 1000;
    }
    static void *d_map(int, std::size_t) { return current()->area_.data(); }
    static ssize_t d_read(int, void *buf, std::size_t n)
    {
        FakeStore *s = current();
        std::string name(static_cast<const char *>(buf), strnlen(static_cast<const char *>(buf), n));
        if (s->on_read)
            s->on_read(name);
        auto it = s->offsets_.find(name);
        if (it == s->offsets_.end())
            return -1;
        std::uint32_t off = static_cast<std::uint32_t>(it->second);
        std::memcpy(buf, &off, sizeof off);
        return 4;
    }
    static ssize_t d_write(int, const void *buf, std::size_t n)
    {
        FakeStore *s = current();
        std::string rec(static_cast<const char *>(buf), strnlen(static_cast<const char *>(buf), n));
        s->writes.push_back(rec);
        std::size_t eq = rec.find('=');
        if (eq == std::string::npos)
            s->erase(rec);
        else
            s->put(rec.substr(0, eq), rec.substr(eq + 1));
        return static_cast<ssize_t>(n);
    }
    static int d_ioctl(int, unsigned long, void *) { return 0; }
    static int d_close(int) { return 0; }

    static constexpr devlib::store::Driver kDriver = {d_open, d_map, d_read, d_write, d_ioctl, d_close};

    std::vector<char> area_ = std::vector<char>(devlib::store::kMapSize);
    std::size_t used_ = 1; // offset 0 stays unused
    std::map<std::string, std::size_t> offsets_;
};

} // namespace testsupport
