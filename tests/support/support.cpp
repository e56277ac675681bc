#include "support.h"

#include "platform/store_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

bool in_sandbox()
{
    // The sandbox sets the marker and its own init runs as PID 1.
    const char *m = std::getenv("DEVSIM_SANDBOX");
    if (m == nullptr || std::strcmp(m, "1") != 0)
        return false;
    std::ifstream comm("/proc/1/comm");
    std::string name;
    std::getline(comm, name);
    return name == "devsim-init";
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/devlib-test-XXXXXX";
    const char *p = mkdtemp(tmpl);
    if (p == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = p;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_all(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

void DeviceRoot::SetUp()
{
    setenv("DEVLIB_ROOT", dir_.path().c_str(), 1);
    devlib::store::reset_client();
}

void DeviceRoot::TearDown()
{
    devlib::store::reset_client();
    devlib::store::set_driver(nullptr);
    unsetenv("DEVLIB_ROOT");
}

void DeviceRoot::make_dirs(const std::string &device_path) const
{
    std::string p = dir_.path();
    std::size_t pos = 1;
    while (pos <= device_path.size()) {
        std::size_t next = device_path.find('/', pos);
        if (next == std::string::npos)
            next = device_path.size();
        p = dir_.path() + device_path.substr(0, next);
        mkdir(p.c_str(), 0755);
        pos = next + 1;
    }
}

void DeviceRoot::write_file(const std::string &device_path, const std::string &text) const
{
    std::size_t slash = device_path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        make_dirs(device_path.substr(0, slash));
    write_all(at(device_path), text);
}

std::string DeviceRoot::read_file(const std::string &device_path) const { return read_all(at(device_path)); }

} // namespace testsupport
