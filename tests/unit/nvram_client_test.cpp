// The store client against a recording driver: the exact records it sends,
// what it makes of the answers, and the recovery from a refused write.
#include "devlib.h"
#include "platform/store_driver.h"
#include "support.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace {

using devlib::store::Driver;
using namespace std::string_literals;

struct Call {
    std::string op; // open, read, write, free, dump, close
    std::string bytes;
    int fd;
};

struct Recorder {
    std::vector<Call> calls;
    int open_errno = 0;
    int next_fd = 7;
    ssize_t read_result = 4;
    std::map<std::string, std::uint32_t> offsets;
    std::function<ssize_t(const std::string &)> on_write;
    std::function<int(const char *)> on_dump;

    std::vector<std::string> writes() const
    {
        std::vector<std::string> w;
        for (const Call &c : calls)
            if (c.op == "write")
                w.push_back(c.bytes);
        return w;
    }
    std::vector<std::string> ops() const
    {
        std::vector<std::string> o;
        for (const Call &c : calls)
            o.push_back(c.op);
        return o;
    }
};

Recorder *g_rec;
alignas(4096) char g_map[devlib::store::kMapSize];

int rec_open(const char *path)
{
    g_rec->calls.push_back({"open", path, -1});
    if (g_rec->open_errno != 0) {
        errno = g_rec->open_errno;
        return -1;
    }
    return g_rec->next_fd++;
}
void *rec_map(int, std::size_t len) { return len == sizeof g_map ? g_map : MAP_FAILED; }
ssize_t rec_read(int fd, void *buf, std::size_t n)
{
    std::string name(static_cast<char *>(buf), n);
    g_rec->calls.push_back({"read", name, fd});
    auto it = g_rec->offsets.find(name.substr(0, name.find('\0')));
    if (it == g_rec->offsets.end()) {
        errno = ENOENT;
        return -1;
    }
    std::memcpy(buf, &it->second, 4);
    return g_rec->read_result;
}
ssize_t rec_write(int fd, const void *buf, std::size_t n)
{
    std::string bytes(static_cast<const char *>(buf), n);
    g_rec->calls.push_back({"write", bytes, fd});
    return g_rec->on_write ? g_rec->on_write(bytes) : static_cast<ssize_t>(n);
}
int rec_ioctl(int fd, unsigned long req, void *arg)
{
    if (req == devlib::store::kReqDump) {
        g_rec->calls.push_back({"dump", static_cast<const char *>(arg), fd});
        return g_rec->on_dump ? g_rec->on_dump(static_cast<const char *>(arg)) : 0;
    }
    g_rec->calls.push_back({req == devlib::store::kReqFree ? "free" : "ioctl?", "", fd});
    return 0;
}
int rec_close(int fd)
{
    g_rec->calls.push_back({"close", "", fd});
    return 0;
}
constexpr Driver kRecording = {rec_open, rec_map, rec_read, rec_write, rec_ioctl, rec_close};

class Client : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        g_rec = &rec_;
        devlib::store::set_driver(&kRecording);
    }
    void TearDown() override
    {
        DeviceRoot::TearDown();
        g_rec = nullptr;
    }
    Recorder rec_;
};

TEST_F(Client, SetAndUnsetRecords)
{
    const std::string v97(97, 'v');
    struct Case {
        const char *what;
        std::function<int()> op;
        std::string record;
    } cases[] = {
        {"set", [] { return nvram_set("A", "1"); }, "A=1\0"s},
        {"empty value is a set, not a removal", [] { return nvram_set("A", ""); }, "A=\0"s},
        {"unset is the name alone", [] { return nvram_unset("A"); }, "A\0"s},
        {"null value unsets", [] { return nvram_set("A", nullptr); }, "A\0"s},
        {"indexed", [] { return nvram_set_index("WAN_NAME", 3, "x"); }, "WAN_NAME@3=x\0"s},
        {"indexed number", [] { return nvram_set_index_int("_wan_uptime", 0, -5); }, "_wan_uptime@0=-5\0"s},
        {"100 bytes, local buffer", [&] { return nvram_set("N", v97.c_str()); }, "N=" + v97 + '\0'},
        {"101 bytes, heap block", [&] { return nvram_set("NN", v97.c_str()); }, "NN=" + v97 + '\0'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rec_.calls.clear();
        EXPECT_EQ(c.op(), 0);
        ASSERT_EQ(rec_.writes(), std::vector<std::string>{c.record});
    }
    EXPECT_EQ(cases[6].record.size(), 100u);
    EXPECT_EQ(cases[7].record.size(), 101u);
}

TEST_F(Client, IndexedNameOfMoreThan49CharactersIsNotSent)
{
    std::string p47(47, 'p'), p48(48, 'p');
    EXPECT_EQ(nvram_set_index(p47.c_str(), 3, "x"), 0); // 49 characters
    EXPECT_EQ(nvram_set_index(p48.c_str(), 3, "x"), -ENAMETOOLONG);
    EXPECT_EQ(nvram_get_index(p48.c_str(), 3), nullptr);
    EXPECT_EQ(rec_.writes(), std::vector<std::string>{p47 + "@3=x\0"s});
    for (const Call &c : rec_.calls)
        EXPECT_NE(c.op, "read");
}

TEST_F(Client, Lookups)
{
    const std::string n49(49, 'a'), n50(50, 'b');
    std::memcpy(g_map + 0x100, "one", sizeof "one");
    std::memcpy(g_map + 0x3FFF0, "last", sizeof "last");
    rec_.offsets = {{"A", 0x100}, {n49, 0x100}, {n50, 0x3FFF0}, {"WAN_NAME@3", 0x100}, {"FAR", 0x40000}};
    struct Case {
        const char *what;
        std::string name;
        ssize_t read_result;
        const char *value; // null: absent
    } cases[] = {
        {"present", "A", 4, "one"},
        {"49 characters", n49, 4, "one"},
        {"50 characters", n50, 4, "last"},
        {"never set", "NOPE", 4, nullptr},
        {"read of 3 means absent", "A", 3, nullptr},
        {"read of 5 means absent", "A", 5, nullptr},
        {"offset past the map", "FAR", 4, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rec_.calls.clear();
        rec_.read_result = c.read_result;
        char *v = nvram_get(c.name.c_str());
        if (c.value == nullptr) {
            EXPECT_EQ(v, nullptr);
        } else {
            ASSERT_NE(v, nullptr);
            EXPECT_STREQ(v, c.value);
            EXPECT_GE(v, g_map);
            EXPECT_LT(v, g_map + sizeof g_map);
        }
        ASSERT_EQ(rec_.calls.back().op, "read");
        EXPECT_EQ(rec_.calls.back().bytes, c.name + '\0'); // count is strlen + 1
    }
    rec_.read_result = 4;
    rec_.calls.clear();
    EXPECT_STREQ(nvram_get_index("WAN_NAME", 3), "one");
    EXPECT_EQ(nvram_get_index("WAN_NAME", 4), nullptr);
    EXPECT_EQ(rec_.calls[0].bytes, "WAN_NAME@3\0"s);
    EXPECT_EQ(rec_.calls[1].bytes, "WAN_NAME@4\0"s);
}

TEST_F(Client, OpensOnFirstUseOnly)
{
    nvram_get("A");
    nvram_set("A", "1");
    nvram_free();
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "read", "write", "free"}));
    EXPECT_EQ(rec_.calls[0].bytes, at("/dev/nvram"));
}

TEST_F(Client, AfterCloseTheDeviceIsOpenedAgain)
{
    nvram_get("A");
    EXPECT_EQ(nvram_close(), 0);
    nvram_get("A");
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "read", "close", "open", "read"}));
    EXPECT_EQ(rec_.calls[2].fd, 7);
    EXPECT_EQ(rec_.calls[4].fd, 8);
}

TEST_F(Client, OpenRefusedIsReportedAtEveryAttempt)
{
    rec_.open_errno = EACCES;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nvram_get("A"), nullptr);
    EXPECT_EQ(nvram_set("A", "1"), EACCES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "/dev/nvram: Permission denied\n"
                                                      "/dev/nvram: Permission denied\n");
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "open"}));
}

// The real driver with no device file at all.
class MissingDevice : public testsupport::DeviceRoot {};

TEST_F(MissingDevice, EveryOperationFailsAndSaysSo)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(nvram_get("A"), nullptr);
    EXPECT_EQ(nvram_get_index("WAN_NAME", 3), nullptr);
    EXPECT_EQ(nvram_set("A", "1"), ENOENT);
    EXPECT_EQ(nvram_unset("A"), ENOENT);
    EXPECT_EQ(nvram_free(), ENOENT);
    EXPECT_EQ(nvram2file("/flash/config"), ENOENT);
    std::string line = "/dev/nvram: No such file or directory\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line + line + line + line + line);
}

class Recovery : public Client {
protected:
    void SetUp() override
    {
        Client::SetUp();
        make_dirs("/flash");
        rec_.on_write = [this](const std::string &r) -> ssize_t {
            if (refuse_.count(r) && refuse_[r]-- > 0) {
                errno = ENOSPC;
                return -1;
            }
            return static_cast<ssize_t>(r.size());
        };
        rec_.on_dump = [this](const char *path) {
            testsupport::write_all(path, saved_);
            return 0;
        };
    }
    std::map<std::string, int> refuse_; // record -> times to refuse it
    std::string saved_;
};

TEST_F(Recovery, DumpsFreesReloadsAndWritesAgain)
{
    const std::string long_value(300, 'L');
    saved_ = "# saved\nA=1\nLONG=\"" + long_value + "\"\n\nB = two words\n";
    refuse_["X=new\0"s] = 1;
    EXPECT_EQ(nvram_set("X", "new"), -1); // the first write's result, though the second took
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "write", "dump", "free", "write", "write", "write",
                                                    "write"}));
    EXPECT_EQ(rec_.calls[2].bytes, at("/flash/config"));
    // Lines longer than 255 characters come back whole, not in pieces.
    EXPECT_EQ(rec_.writes(), (std::vector<std::string>{"X=new\0"s, "A=1\0"s, "LONG=" + long_value + '\0',
                                                       "B=two words\0"s, "X=new\0"s}));
}

TEST_F(Recovery, RefusalDuringTheReloadStartsNoSecondRecovery)
{
    saved_ = "A=1\nB=2\n";
    refuse_["X=new\0"s] = 2;
    refuse_["A=1\0"s] = 1;
    EXPECT_EQ(nvram_set("X", "new"), -1);
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "write", "dump", "free", "write", "write", "write"}));
}

TEST_F(Recovery, FailedDumpFreesNothingAndReloadsNothing)
{
    // An older saved store is there; reloading it would revert settings.
    write_file("/flash/config", "X=old\nA=0\n");
    rec_.on_dump = [](const char *) {
        errno = EIO;
        return -1;
    };
    refuse_["X=new\0"s] = 1;
    EXPECT_EQ(nvram_set("X", "new"), -1);
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "write", "dump"}));
}

TEST_F(Recovery, ShortWriteIsReturnedWithoutRecovery)
{
    rec_.on_write = [](const std::string &) -> ssize_t { return 2; };
    EXPECT_EQ(nvram_set("A", "1"), 2);
    EXPECT_EQ(rec_.ops(), (std::vector<std::string>{"open", "write"}));
}

TEST_F(Client, File2nvramLoadsPairsInFileOrder)
{
    write_file("/etc/cfg", "# comment\n"
                           "\n"
                           "   \t\n"
                           "A=1\n"
                           "B=\"quoted value\" # note\n"
                           "  C =  plain value  \r\n"
                           "no pair here\n"
                           "A=2\n"
                           "E=");
    EXPECT_EQ(file2nvram("/etc/cfg"), 0);
    EXPECT_EQ(rec_.writes(), (std::vector<std::string>{"A=1\0"s, "B=quoted value\0"s, "C=plain value  \0"s,
                                                       "A=2\0"s, "E=\0"s}));
}

TEST_F(Client, File2nvramOfAMissingFile)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(file2nvram("/etc/none"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "file: /etc/none does not exist ..\n");
    EXPECT_TRUE(rec_.calls.empty());
}

} // namespace
