// An in-memory store driver for tests that must see every record written.
#pragma once

#include "platform/store_driver.h"
#include "support.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace fakestore {

struct State {
    std::map<std::string, std::string> values;
    std::vector<std::string> writes; // every set/unset record, in order
    std::vector<char> area = std::vector<char>(devlib::store::kMapSize);
    std::size_t used = 1; // offset 0 is never handed out
};

inline State &state()
{
    static State s;
    return s;
}

// Values are appended, never overwritten, as the client relies on.
inline std::size_t place(const std::string &v)
{
    State &s = state();
    if (s.used + v.size() + 1 > s.area.size())
        s.used = 1;
    std::size_t off = s.used;
    std::memcpy(s.area.data() + off, v.c_str(), v.size() + 1);
    s.used += v.size() + 1;
    return off;
}

inline int d_open(const char *) { return 1000; }
inline void *d_map(int, std::size_t) { return state().area.data(); }
inline ssize_t d_read(int, void *buf, std::size_t n)
{
    std::string name(static_cast<const char *>(buf), strnlen(static_cast<const char *>(buf), n));
    auto it = state().values.find(name);
    if (it == state().values.end())
        return -1;
    auto off = static_cast<std::uint32_t>(place(it->second));
    std::memcpy(buf, &off, 4);
    return 4;
}
inline ssize_t d_write(int, const void *buf, std::size_t n)
{
    std::string rec(static_cast<const char *>(buf), strnlen(static_cast<const char *>(buf), n));
    state().writes.push_back(rec);
    std::size_t eq = rec.find('=');
    if (eq == std::string::npos)
        state().values.erase(rec);
    else
        state().values[rec.substr(0, eq)] = rec.substr(eq + 1);
    return static_cast<ssize_t>(n);
}
inline int d_ioctl(int, unsigned long, void *) { return 0; }
inline int d_close(int) { return 0; }

inline constexpr devlib::store::Driver kDriver = {d_open, d_map, d_read, d_write, d_ioctl, d_close};

// A device root with the fake store installed and emptied.
class Fixture : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        state() = State{};
        devlib::store::set_driver(&kDriver);
    }
    static void put(const std::string &k, const std::string &v) { state().values[k] = v; }
    static bool has(const std::string &k) { return state().values.count(k) != 0; }
    static std::string value(const std::string &k) { return state().values.at(k); }
    static std::vector<std::string> &writes() { return state().writes; }
};

} // namespace fakestore
