// An in-memory store driver: names and values in a table, each value laid out
// once in a value area of the real size, as the driver's mapping would hold it.
#pragma once

#include "platform/store_driver.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class FakeStore {
public:
    // Installs an empty store for the calling test; DeviceRoot's TearDown removes it.
    static void install()
    {
        table().clear();
        area().assign(devlib::store::kMapSize, '\0');
        used() = 1;
        devlib::store::reset_client();
        devlib::store::set_driver(&kDriver);
    }
    static std::optional<std::string> value(const std::string &name)
    {
        auto it = table().find(name);
        if (it == table().end())
            return std::nullopt;
        return std::string(area().data() + it->second);
    }
    // Every name and value, for checks that nothing changed.
    static std::map<std::string, std::string> all()
    {
        std::map<std::string, std::string> m;
        for (const auto &[n, off] : table())
            m[n] = area().data() + off;
        return m;
    }

private:
    static std::map<std::string, std::uint32_t> &table()
    {
        static std::map<std::string, std::uint32_t> t;
        return t;
    }
    static std::vector<char> &area()
    {
        static std::vector<char> a;
        return a;
    }
    static std::size_t &used()
    {
        static std::size_t u;
        return u;
    }
    static int open(const char *) { return 900; }
    static void *map(int, std::size_t) { return area().data(); }
    static ssize_t read(int, void *buf, std::size_t n)
    {
        std::string name(static_cast<const char *>(buf), strnlen(static_cast<const char *>(buf), n));
        auto it = table().find(name);
        if (it == table().end())
            return -1;
        std::memcpy(buf, &it->second, 4);
        return 4;
    }
    static ssize_t write(int, const void *buf, std::size_t n)
    {
        std::string rec(static_cast<const char *>(buf), strnlen(static_cast<const char *>(buf), n));
        std::size_t eq = rec.find('=');
        if (eq == std::string::npos) {
            table().erase(rec);
            return static_cast<ssize_t>(n);
        }
        std::string v = rec.substr(eq + 1);
        if (used() + v.size() + 1 > area().size())
            return -1;
        std::memcpy(area().data() + used(), v.c_str(), v.size() + 1);
        table()[rec.substr(0, eq)] = static_cast<std::uint32_t>(used());
        used() += v.size() + 1;
        return static_cast<ssize_t>(n);
    }
    static int ioctl(int, unsigned long, void *) { return 0; }
    static int close(int) { return 0; }
    static constexpr devlib::store::Driver kDriver = {open, map, read, write, ioctl, close};
};

} // namespace testsupport
