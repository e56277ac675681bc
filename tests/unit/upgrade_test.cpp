// Firmware upgrade: the verification and flash layout everywhere; the whole
// upgrade, which tears down and signals init, only inside the sandbox.
#include "devlib.h"
#include "fw_images.h"
#include "persist/fwheader.h"
#include "platform/store_driver.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fw = devlib::fw;
using namespace fwtest;

namespace {

std::vector<std::string> g_log;
void record(int, const char *text) { g_log.emplace_back(text); }

const Image kRouter = {'F', "ROUTER1", "ACME", {0, 64, 300, 20}};

using Write = std::tuple<std::string, std::uint32_t, std::size_t, std::size_t>; // partition, offset, from, length

struct LayoutRow {
    const char *what;
    Image image;
    std::optional<Image> flash; // the flash header's image; none: an all-zero flash header
    std::uint32_t flash_len3;   // overrides the flash header's section 3 length when not 0
    int result;
    std::vector<Write> writes;
    std::size_t header_at;
    int header_write;
};

const LayoutRow kLayoutRows[] = {
    {"K: header and section 3 from offset 0 of mtd5 only", {'K', "ROUTER1", "ACME", {0, 0, 300, 0}}, kRouter, 0, 0,
     {{"/dev/mtd5", 0, 0, 428}}, 0, 0},
    {"F: header moved over the end of a 16-byte section 2; section 4 two blocks in",
     {'F', "ROUTER1", "ACME", {0, 16, 0x10000 - 128, 100}}, kRouter, 0, 0,
     {{"/dev/mtd2", 0, 128, 16}, {"/dev/mtd5", 0, 16, 0x10000}, {"/dev/mtd5", 0x20000, 144 + 0x10000 - 128, 100}},
     16, 1},
    {"F: section 4 one block in when header and section 3 leave room",
     {'F', "ROUTER1", "ACME", {0, 16, 0x10000 - 129, 100}}, kRouter, 0, 0,
     {{"/dev/mtd2", 0, 128, 16}, {"/dev/mtd5", 0, 16, 0x10000 - 1}, {"/dev/mtd5", 0x10000, 144 + 0x10000 - 129, 100}},
     16, 1},
    {"S: section 1 split at 8192, header in front of section 3", {'S', "ROUTER1", "ACME", {10000, 200, 300, 5}},
     kRouter, 0, 0,
     {{"/dev/mtd0", 0, 128, 8192},
      {"/dev/mtd4", 0, 128 + 8192, 1808},
      {"/dev/mtd2", 0, 10128, 200},
      {"/dev/mtd5", 0, 10200, 428},
      {"/dev/mtd5", 0x10000, 10628, 5}},
     10200, 3},
    {"B: section 1 shorter than 8192 is written as it is", {'B', "", "", {100, 0, 0, 0}}, kRouter, 0, 0,
     {{"/dev/mtd0", 0, 128, 100}}, 0, -1},
    {"B: section 1 of exactly 8192 leaves mtd4 alone", {'B', "", "", {8192, 0, 0, 0}}, kRouter, 0, 0,
     {{"/dev/mtd0", 0, 128, 8192}}, 0, -1},
    {"B: one byte past 8192 goes to mtd4", {'B', "", "", {8193, 0, 0, 0}}, kRouter, 0, 0,
     {{"/dev/mtd0", 0, 128, 8192}, {"/dev/mtd4", 0, 128 + 8192, 1}}, 0, -1},
    {"A: section 4 behind the section 3 in flash", {'A', "ROUTER1", "ACME", {0, 64, 0, 20}},
     Image{'F', "ROUTER1", "ACME", {0, 1, 0x30000, 1}}, 0, 0,
     {{"/dev/mtd2", 0, 128, 64}, {"/dev/mtd5", 0x40000, 192, 20}}, 0, -1},
    {"A: no section 3 in flash either", {'A', "", "", {0, 64, 0, 20}}, std::nullopt, 0, 0,
     {{"/dev/mtd2", 0, 128, 64}, {"/dev/mtd5", 0x10000, 192, 20}}, 0, -1},
    {"A: a flash section 3 length beyond any offset", {'A', "ROUTER1", "ACME", {0, 64, 0, 20}}, kRouter, 0xFFFFFFF0,
     -2, {}, 0, -1},
};

Bytes flash_header(const std::optional<Image> &im, std::uint32_t len3)
{
    Bytes f(120, 0);
    if (im) {
        f = build(*im);
        f.resize(120);
    }
    if (len3 != 0)
        set_be32(f, 76, len3);
    return f;
}

TEST(UpgradeLayout, Table)
{
    fw::set_log_sink(record);
    for (const LayoutRow &r : kLayoutRows) {
        SCOPED_TRACE(r.what);
        g_log.clear();
        Bytes image = build(r.image);
        Bytes flash = flash_header(r.flash, r.flash_len3);
        fw::Layout l{};
        ASSERT_EQ(fw::verify_image(image.data(), image.size(), flash.data(), &l), r.result);
        EXPECT_TRUE(g_log.empty());
        if (r.result != 0)
            continue;
        std::vector<Write> got;
        for (int i = 0; i < l.count; i++)
            got.emplace_back(l.writes[i].partition, l.writes[i].offset, l.writes[i].start, l.writes[i].length);
        EXPECT_EQ(got, r.writes);
        EXPECT_EQ(l.header_write, r.header_write);
        if (r.header_write >= 0)
            EXPECT_EQ(l.header_at, r.header_at);
        for (const Write &w : got)
            EXPECT_LE(std::get<2>(w) + std::get<3>(w), image.size()) << "never beyond the image";
    }
    fw::set_log_sink(nullptr);
}

// A device tree with flash partitions full of a pattern, the store, the LED
// and stand-ins for the tools; everything an upgrade touches.
class Device : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        g_log.clear();
        fw::set_log_sink(record);
        for (const char *p : {"/dev/mtd0", "/dev/mtd2", "/dev/mtd4", "/dev/mtd7"})
            write_file(p, std::string(0x10000, '\x55'));
        Bytes mtd5(0x30000, 0xEE);
        Bytes header = build(kRouter);
        std::copy(header.begin(), header.begin() + 128, mtd5.begin());
        write_bytes("/dev/mtd5", mtd5);
        write_file("/dev/nvram", "");
        write_file("/proc/GPIOUSER/sysokled", "1");
        make_dirs("/flash");
        make_dirs("/proc/tc3162");
        for (const char *tool : {"/bin/profile", "/bin/sysapply"}) {
            write_file(tool, "#!/bin/sh\necho \"${0##*/} $*\" >> " + at("/calls") + "\n");
            ::chmod(at(tool).c_str(), 0755);
        }
        ASSERT_EQ(nvram_set("KIVO_SW", "1"), 0);
        devlib::store::reset_client();
        before_ = snapshot();
    }
    void TearDown() override
    {
        fw::set_log_sink(nullptr);
        DeviceRoot::TearDown();
    }
    void write_bytes(const std::string &p, const Bytes &b) const { write_file(p, std::string(b.begin(), b.end())); }
    Bytes bytes(const std::string &p) const
    {
        std::string s = read_file(p);
        return Bytes(s.begin(), s.end());
    }
    std::map<std::string, std::string> snapshot() const
    {
        std::map<std::string, std::string> s;
        for (const char *p : {"/dev/mtd0", "/dev/mtd2", "/dev/mtd4", "/dev/mtd5", "/dev/mtd7", "/dev/nvram",
                              "/proc/GPIOUSER/sysokled", "/calls", "/flash/config"})
            s[p] = read_file(p);
        return s;
    }
    std::map<std::string, std::string> before_;
};

struct RefusedRow {
    const char *what;
    Image image;
    int extra;          // bytes added to (or, negative, taken from) the image
    std::size_t flip;   // offset of a byte flipped, 0 for none
    bool no_flash;      // "/dev/mtd5" missing
    int result;
    const char *message; // logged, or null
};

const RefusedRow kRefused[] = {
    {"one byte too long", kRouter, 1, 0, false, -2, nullptr},
    {"one byte too short", kRouter, -1, 0, false, -2, nullptr},
    {"a byte of section 4 damaged", kRouter, 0, 128 + 64 + 300 + 19, false, -2, nullptr},
    {"a byte of section 1 damaged", {'S', "ROUTER1", "ACME", {10, 2, 3, 4}}, 0, 128, false, -2, nullptr},
    {"header refused first", {'F', "ROUTER2", "ACME", {0, 64, 300, 20}}, 1, 0, false, -1, "product error ..\n"},
    {"flash header missing", kRouter, 0, 0, true, -2, "/dev/mtd5 can not open ..\n"},
};

Bytes refused_image(const RefusedRow &r)
{
    Bytes image = build(r.image);
    if (r.extra > 0)
        image.insert(image.end(), static_cast<std::size_t>(r.extra), 0);
    else
        image.resize(image.size() - static_cast<std::size_t>(-r.extra));
    if (r.flip != 0)
        image[r.flip] ^= 0x01;
    return image;
}

TEST_F(Device, VerificationRefusesAndChangesNothing)
{
    for (const RefusedRow &r : kRefused) {
        SCOPED_TRACE(r.what);
        g_log.clear();
        if (r.no_flash)
            std::rename(at("/dev/mtd5").c_str(), at("/dev/mtd5.away").c_str());
        Bytes image = refused_image(r);
        Bytes copy = image;
        fw::Layout l;
        EXPECT_EQ(fw::verify_upgrade(image.data(), image.size(), &l), r.result);
        if (r.no_flash)
            std::rename(at("/dev/mtd5.away").c_str(), at("/dev/mtd5").c_str());
        EXPECT_EQ(image, copy);
        if (r.message == nullptr)
            EXPECT_TRUE(g_log.empty());
        else
            EXPECT_EQ(g_log, std::vector<std::string>{r.message});
    }
    EXPECT_EQ(snapshot(), before_);
}

TEST_F(Device, ShorterThanAHeaderIsNotRead)
{
    // Exactly sized, so that a read past the end shows under ASan.
    for (std::size_t n : {0, 1, 127}) {
        std::vector<unsigned char> image(n, 'x');
        EXPECT_EQ(fw::verify_upgrade(image.data(), n, nullptr), -2) << n;
    }
    EXPECT_TRUE(g_log.empty());
}

// --- the whole upgrade, in the sandbox ---------------------------------------

std::size_t init_sigterms()
{
    const char *root = std::getenv("DEVSIM_ROOT");
    std::string log = root != nullptr ? testsupport::read_all(std::string(root) + "/var/log/init") : "";
    std::size_t n = 0;
    for (std::size_t at = log.find("SIGTERM\n"); at != std::string::npos; at = log.find("SIGTERM\n", at + 1))
        n++;
    return n;
}

class Upgrade : public Device {
protected:
    void SetUp() override
    {
        Device::SetUp();
        SKIP_UNLESS_SANDBOX();
    }
    // Runs UpgradeFirmware in a child with a network of its own. Returns the
    // child's exit code when it returned, or -1 when it went on to signal
    // init (and was then stopped).
    int upgrade(Bytes image, int erase, std::chrono::milliseconds limit)
    {
        std::size_t before = init_sigterms();
        std::fflush(nullptr);
        pid_t pid = ::fork();
        if (pid == 0) {
            if (::unshare(CLONE_NEWNET) != 0)
                ::_exit(100);
            int r = UpgradeFirmware(reinterpret_cast<char *>(image.data()), static_cast<int>(image.size()), erase);
            ::_exit(r < 0 ? -r : 99);
        }
        auto until = std::chrono::steady_clock::now() + limit;
        int st = 0;
        while (std::chrono::steady_clock::now() < until) {
            if (::waitpid(pid, &st, WNOHANG) == pid)
                return WIFEXITED(st) ? WEXITSTATUS(st) : 200;
            if (init_sigterms() > before) {
                // Writing is done; the child waits for the restart that never comes.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                EXPECT_EQ(::waitpid(pid, &st, WNOHANG), 0) << "UpgradeFirmware returned after signalling init";
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &st, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
        ADD_FAILURE() << "UpgradeFirmware neither returned nor signalled init in time";
        return 300;
    }
    void expect_region(const Bytes &part, std::size_t off, const Bytes &want, const char *what) const
    {
        ASSERT_GE(part.size(), off + want.size()) << what;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), part.begin() + static_cast<long>(off))) << what;
    }
    void expect_fill(const Bytes &part, std::size_t from, std::size_t to, unsigned char c, const char *what) const
    {
        ASSERT_GE(part.size(), to) << what;
        for (std::size_t i = from; i < to; i++)
            if (part[i] != c) {
                ADD_FAILURE() << what << ": byte " << i << " was written";
                return;
            }
    }
};

TEST_F(Upgrade, RefusedImagesChangeNothing)
{
    for (const RefusedRow &r : kRefused) {
        if (r.no_flash)
            continue;
        SCOPED_TRACE(r.what);
        EXPECT_EQ(upgrade(refused_image(r), 0, std::chrono::milliseconds(1500)), -r.result);
    }
    EXPECT_EQ(snapshot(), before_) << "neither configuration nor flash touched";
}

TEST_F(Upgrade, KernelImageErasesConfigAndWritesOnlyMtd5)
{
    Bytes image = build({'K', "ROUTER1", "ACME", {0, 0, 5000, 0}});
    ASSERT_EQ(upgrade(image, 1, std::chrono::seconds(10)), -1);

    Bytes mtd7 = bytes("/dev/mtd7");
    expect_fill(mtd7, 0, 10, 0, "configuration erased");
    expect_fill(mtd7, 10, 0x10000, 0x55, "the rest of mtd7");
    for (const char *p : {"/dev/mtd0", "/dev/mtd2", "/dev/mtd4"})
        EXPECT_EQ(read_file(p), before_[p]) << p;
    Bytes mtd5 = bytes("/dev/mtd5");
    expect_region(mtd5, 0, image, "header and section 3 from offset 0");
    expect_fill(mtd5, image.size(), 0x30000, 0xEE, "behind section 3");
    EXPECT_EQ(read_file("/proc/GPIOUSER/sysokled"), "2");
    EXPECT_EQ(read_file("/calls"), "") << "no commit with the erase flag";
    EXPECT_EQ(read_file("/flash/config"), "");
}

TEST_F(Upgrade, FullImageCommitsConfigAndKeepsTheHeaderWhole)
{
    const std::uint32_t len3 = 0x10000 - 128;
    Bytes image = build({'F', "ROUTER1", "ACME", {0, 16, len3, 100}});
    Bytes header(image.begin(), image.begin() + 128);
    Bytes s2(image.begin() + 128, image.begin() + 144);
    Bytes s3(image.begin() + 144, image.begin() + 144 + len3);
    Bytes s4(image.end() - 100, image.end());
    ASSERT_EQ(upgrade(image, 0, std::chrono::seconds(10)), -1);

    devlib::store::reset_client();
    EXPECT_STREQ(nvram_get("KIVO_SW"), "0");
    EXPECT_NE(read_file("/flash/config").find("KIVO_SW="), std::string::npos) << "the store was dumped";
    EXPECT_EQ(read_file("/calls"), "profile put " + at("/flash") + "\n");
    EXPECT_EQ(read_file("/dev/mtd7"), before_["/dev/mtd7"]);
    EXPECT_EQ(read_file("/dev/mtd0"), before_["/dev/mtd0"]);
    EXPECT_EQ(read_file("/dev/mtd4"), before_["/dev/mtd4"]);
    Bytes mtd2 = bytes("/dev/mtd2");
    expect_region(mtd2, 0, s2, "section 2");
    expect_fill(mtd2, 16, 0x10000, 0x55, "behind section 2");
    Bytes mtd5 = bytes("/dev/mtd5");
    expect_region(mtd5, 0, header, "the image's own header");
    expect_region(mtd5, 128, s3, "section 3");
    expect_fill(mtd5, 0x10000, 0x20000, 0xEE, "the empty block");
    expect_region(mtd5, 0x20000, s4, "section 4 two blocks in");
    expect_fill(mtd5, 0x20000 + 100, 0x30000, 0xEE, "behind section 4");
    EXPECT_EQ(read_file("/proc/GPIOUSER/sysokled"), "2");
}

} // namespace
