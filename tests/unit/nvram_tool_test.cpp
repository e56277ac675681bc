// The nvram program, run as people and scripts run it, on a store image.
// readdir of a 32-bit build fails on the host's 64-bit directory offsets without it.
#define _FILE_OFFSET_BITS 64
#include "devlib.h"
#include "platform/store_driver.h"
#include "support.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kUsage = "usage: nvram get NAME | set NAME=VALUE | unset NAME | show | dump FILE | load FILE\n";

struct Result {
    std::string out, err;
    int status; // exit status; 127 when the program could not be started
};

struct Step {
    std::vector<std::string> args;
    std::string out, err;
    int status;
};

class Tool : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        make_dirs("/tmp");
        make_dirs("/flash");
        write_file("/dev/nvram", "");
        // A cross build's program may not start from inside the emulator
        // (its binfmt handler wants QEMU_LD_PREFIX).
        Result help = run({"--help"});
        if (help.status != 0 || help.out != kUsage)
            GTEST_SKIP() << "cannot start " << kProgram << " here: " << help.err;
    }

    Result run(const std::vector<std::string> &args) const
    {
        std::string out = out_dir_ / "out", err = out_dir_ / "err";
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> argv{const_cast<char *>("nvram")};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(kProgram, argv.data());
            dprintf(2, "exec: %s", std::strerror(errno));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {testsupport::read_all(out), testsupport::read_all(err),
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
    }

    std::vector<std::string> files(const std::string &device_dir) const
    {
        std::vector<std::string> names;
        if (DIR *d = opendir(at(device_dir).c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }

    void steps(std::initializer_list<Step> list) const
    {
        for (const Step &s : list) {
            std::string line = "nvram";
            for (const std::string &a : s.args)
                line += " " + a;
            SCOPED_TRACE(line);
            Result r = run(s.args);
            EXPECT_EQ(r.out, s.out);
            EXPECT_EQ(r.err, s.err);
            EXPECT_EQ(r.status, s.status);
        }
    }

    static constexpr const char *kProgram = DEVLIB_BINARY_DIR "/tools/nvram";
    testsupport::TempDir out_dir_;
};

TEST_F(Tool, GetSetUnsetShow)
{
    steps({
        {{"get", "A"}, "", "", 1},
        {{"set", "A=1"}, "", "", 0},
        {{"get", "A"}, "1\n", "", 0},
        {{"set", "B= x=y z "}, "", "", 0},
        {{"get", "B"}, " x=y z \n", "", 0},
        {{"set", "E="}, "", "", 0},
        {{"get", "E"}, "\n", "", 0},
        {{"set", "Q=say \"hi\""}, "", "", 0},
        {{"show"}, "A=1\nB= x=y z \nE=\nQ=say \"hi\"\n", "", 0},
    });
    EXPECT_EQ(files("/tmp"), std::vector<std::string>{}) << "show leaves no file behind";
    steps({
        {{"unset", "A"}, "", "", 0},
        {{"get", "A"}, "", "", 1},
        {{"unset", "NEVER"}, "", "", 0},
        {{"set", "L=line\nfeed"}, "", "nvram: the store refused to set L\n", 1},
        {{"get", "L"}, "", "", 1},
    });
}

TEST_F(Tool, DumpAndLoad)
{
    steps({
        {{"set", "B=two words"}, "", "", 0},
        {{"set", "A=1"}, "", "", 0},
        {{"dump", "/flash/saved"}, "", "", 0},
    });
    EXPECT_EQ(read_file("/flash/saved"), "A=\"1\"\nB=\"two words\"\n");
    EXPECT_EQ(files("/flash"), std::vector<std::string>{"saved"}) << "no temporary file left behind";

    write_file("/etc/cfg", "# saved\nC = \"three\"\nA=again\n");
    steps({
        {{"load", "/etc/cfg"}, "", "", 0},
        {{"get", "C"}, "three\n", "", 0},
        {{"get", "A"}, "again\n", "", 0},
        {{"load", "/etc/none"}, "", "file: /etc/none does not exist ..\n", 1},
        {{"dump", "/nodir/saved"}, "", "nvram: cannot dump the store to /nodir/saved\n", 1},
    });
}

TEST_F(Tool, UsageErrors)
{
    steps({
        {{}, "", kUsage, 2},
        {{"bogus"}, "", kUsage, 2},
        {{"get"}, "", kUsage, 2},
        {{"get", "A", "B"}, "", kUsage, 2},
        {{"set", "NOEQUALS"}, "", kUsage, 2},
        {{"show", "x"}, "", kUsage, 2},
        {{"dump"}, "", kUsage, 2},
        {{"--help"}, kUsage, "", 0},
    });
}

TEST_F(Tool, MissingDevice)
{
    unlink(at("/dev/nvram").c_str());
    const std::string e = "/dev/nvram: No such file or directory\n";
    steps({
        {{"get", "A"}, "", e, 1},
        {{"set", "A=1"}, "", e, 1},
        {{"unset", "A"}, "", e, 1},
        {{"show"}, "", e, 1},
    });
}

TEST_F(Tool, SetThatTheRecoveryStoresSucceeds)
{
    // Fill the image with replaced values, past the client's recovery.
    const devlib::store::Driver &d = devlib::store::driver();
    int fd = d.open(at("/dev/nvram").c_str());
    ASSERT_GE(fd, 0);
    for (int i = 0;; i++) {
        std::string rec = "FILL=" + std::string(5000, static_cast<char>('a' + i % 26)) + std::to_string(i);
        if (d.write(fd, rec.c_str(), rec.size() + 1) < 0)
            break;
    }
    d.close(fd);
    const std::string big(5000, 'b');
    Result r = run({"set", "BIG=" + big});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(read_file("/flash/config").find("FILL="), std::string::npos) << "the recovery ran";
    EXPECT_EQ(run({"get", "BIG"}).out, big + "\n");
}

} // namespace
