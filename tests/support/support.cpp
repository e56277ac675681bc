#include "support.h"

#include "platform/store_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
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

int run_command(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string devsim_path() { return std::string(DEVLIB_SOURCE_DIR) + "/sim/devsim"; }

std::string sandbox_root()
{
    const char *r = std::getenv("DEVSIM_ROOT");
    return r != nullptr ? r : "";
}

void SimDevice::SetUp()
{
    DeviceRoot::SetUp();
    // The store image is loaded by the nvram tool of this build, under the
    // emulator in a cross build, so the image is the one this build reads.
    std::vector<std::string> argv = {"bash", devsim_path(), "build"};
    std::string nvram = std::string(DEVLIB_BINARY_DIR) + "/tools/nvram";
    if (access(nvram.c_str(), X_OK) == 0) {
        std::string emulator = DEVLIB_TEST_EMULATOR;
        argv.push_back("--nvram");
        argv.push_back(emulator.empty() ? nvram : emulator + " " + nvram);
    }
    argv.push_back(dir_.path());
    ASSERT_EQ(run_command(argv), 0) << "sim/devsim build " << dir_.path();
}

std::vector<std::string> SimDevice::calls() const
{
    std::vector<std::string> lines;
    std::istringstream in(read_file("/var/log/calls"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void SimDevice::clear_calls() const { write_file("/var/log/calls", ""); }

} // namespace testsupport
