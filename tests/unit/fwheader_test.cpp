// Firmware header check against the flash header, on images made by the image tool's builder.
#include "devlib.h"
#include "fw_images.h"
#include "persist/fwheader.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace fw = devlib::fw;
using namespace fwtest;

namespace {

// What the sink of the firmware messages received.
std::vector<std::pair<int, std::string>> g_log;
void record(int priority, const char *text) { g_log.emplace_back(priority, text); }

class FwHeader : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        make_dirs("/dev");
        g_log.clear();
        fw::set_log_sink(record);
    }
    void TearDown() override
    {
        fw::set_log_sink(nullptr);
        DeviceRoot::TearDown();
    }
    // The flash header, as the last image with a section 3 left it.
    void flash(const Bytes &bytes) const { testsupport::write_all(at("/dev/mtd5"), std::string(bytes.begin(), bytes.end())); }
};

constexpr std::uint32_t k1 = 0x12000;
constexpr std::uint32_t k2 = 0x4000;

const Image kRouter = {'F', "ROUTER1", "ACME", {0, 64, 300, 20}};

struct Row {
    const char *what;
    Image image;
    std::function<void(Bytes &)> patch; // applied after building; resums unless it says otherwise
    bool resum_after;
    // The flash header: the first bytes of the header of this image; none: /dev/mtd5 missing.
    bool flash_present;
    Image flash_image;
    std::size_t flash_bytes;
    int result;
    const char *message; // null: nothing logged
    std::function<void(Bytes &)> flash_patch = nullptr;
};

const Row kRows[] = {
    {"accepted: same product and vendor", kRouter, nullptr, false, true, kRouter, 128, 0, nullptr},
    {"no flash partition refuses B", {'B', "", "", {100, 0, 0, 0}}, nullptr, false, false, {}, 0, -2,
     "/dev/mtd5 can not open ..\n"},
    {"no flash partition refuses R", {'R', "", "", {1, 2, 3, 4}}, nullptr, false, false, {}, 0, -2,
     "/dev/mtd5 can not open ..\n"},
    {"signature wrong in its last character, before the type",
     {'a', "ROUTER1", "ACME", {0, 64, 300, 20}}, [](Bytes &b) { b[55] = '1'; }, true, true, kRouter, 128, -1,
     "file signature error ..\n"},
    {"lower-case type", {'a', "ROUTER1", "ACME", {0, 64, 300, 20}}, nullptr, false, true, kRouter, 128, -1,
     "file type does not support ..\n"},
    {"type B ignores a foreign product and vendor", {'B', "OTHER", "XYZ", {100, 0, 0, 0}}, nullptr, false, true,
     kRouter, 128, 0, nullptr},
    {"type R ignores a foreign product and vendor", {'R', "OTHER", "XYZ", {1, 2, 3, 4}}, nullptr, false, true,
     kRouter, 128, 0, nullptr},
    {"empty image product skips product and vendor", {'F', "", "XYZ", {0, 64, 300, 20}}, nullptr, false, true,
     kRouter, 128, 0, nullptr},
    {"product differs", {'F', "ROUTER2", "ACME", {0, 64, 300, 20}}, nullptr, false, true, kRouter, 128, -1,
     "product error ..\n"},
    {"product compared case-sensitively", {'K', "router1", "ACME", {0, 0, 300, 0}}, nullptr, false, true, kRouter,
     128, -1, "product error ..\n"},
    {"vendor differs", {'A', "ROUTER1", "ACMF", {0, 64, 0, 20}}, nullptr, false, true, kRouter, 128, -1,
     "wrong vendor ..: ACMF : ACME"},
    {"S on empty flash product, vendors equal", {'S', "ROUTER1", "ACME", {1, 2, 3, 4}}, nullptr, false, true,
     {'F', "", "ACME", {0, 1, 1, 1}}, 128, 0, nullptr},
    {"S on empty flash product, vendors differ", {'S', "ROUTER1", "ACME", {1, 2, 3, 4}}, nullptr, false, true,
     {'F', "", "XY", {0, 1, 1, 1}}, 128, -1, "wrong vendor ..: ACME : XY"},
    {"short flash header: product skipped, vendor read as empty", kRouter, nullptr, false, true, kRouter, 40, -1,
     "wrong vendor ..: ACME : "},
    {"empty flash partition and empty image vendor", {'S', "ROUTER1", "", {1, 2, 3, 4}}, nullptr, false, true,
     kRouter, 0, 0, nullptr},
    {"image vendor text without NUL stops at the end of the header", kRouter,
     [](Bytes &b) {
         b[103] = 'F';
         std::memset(b.data() + 104, 'z', 24);
     },
     true, true, kRouter, 128, -1, "wrong vendor ..: ACMFzzzzzzzzzzzzzzzzzzzzzzzz : ACME"},
    {"flash vendor text without NUL stops at the 120 bytes read", {'F', "ROUTER1", "ACMF", {0, 64, 300, 20}},
     nullptr, false, true, kRouter, 120, -1, "wrong vendor ..: ACMF : ACMEyyyyyyyyyyyyyyyy",
     [](Bytes &f) { std::memset(f.data() + 104, 'y', 24); }},
    {"product names without NUL compared on their 16 bytes", kRouter,
     [](Bytes &b) { std::memset(b.data() + 24, 'P', 16); }, true, true, kRouter, 120, 0, nullptr,
     [](Bytes &f) {
         std::memset(f.data() + 24, 'P', 16);
         f[40] = 'Q'; // differs right behind the field
     }},
    {"section 1 at its limit", {'B', "", "", {k1, 0, 0, 0}}, nullptr, false, true, kRouter, 128, 0, nullptr},
    {"section 1 over its limit", {'B', "", "", {k1 + 1, 0, 0, 0}}, nullptr, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"section 2 at its limit", {'A', "", "", {0, k2, 0, 5}}, nullptr, false, true, kRouter, 128, 0, nullptr},
    {"section 2 over its limit", {'A', "", "", {0, k2 + 1, 0, 5}}, nullptr, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"K with a section 1", {'K', "ROUTER1", "ACME", {10, 0, 300, 0}}, nullptr, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"F without its section 4", {'F', "ROUTER1", "ACME", {0, 64, 300, 0}}, nullptr, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"absent section with checksum 1", kRouter, [](Bytes &b) { set_be32(b, 84, 1); }, true, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"total one more than the sections", kRouter, [](Bytes &b) { set_be32(b, 64, be32_at(b, 64) + 1); }, true,
     true, kRouter, 128, -2, "firmware error ..\n"},
    {"lengths that add up only modulo 2^32", kRouter,
     [](Bytes &b) {
         set_be32(b, 76, 0xFFFFFFF0);
         set_be32(b, 80, 0x20);
         set_be32(b, 64, 0x10 + 64);
     },
     true, true, kRouter, 128, -2, "firmware error ..\n"},
    {"header byte 0 changed, sum not", kRouter, [](Bytes &b) { b[0] ^= 1; }, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"header byte 127 changed, sum not", kRouter, [](Bytes &b) { b[127] ^= 0x80; }, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"header sum itself wrong", kRouter, [](Bytes &b) { b[63] ^= 1; }, false, true, kRouter, 128, -2,
     "firmware error ..\n"},
    {"damaged section with a sound header", kRouter, [](Bytes &b) { b[200] ^= 0xFF; }, false, true, kRouter, 128,
     0, nullptr},
};

TEST_F(FwHeader, CheckTable)
{
    for (const Row &r : kRows) {
        SCOPED_TRACE(r.what);
        g_log.clear();
        Bytes image = build(r.image);
        if (r.patch) {
            r.patch(image);
            if (r.resum_after)
                resum(image);
        }
        ::unlink(at("/dev/mtd5").c_str());
        if (r.flash_present) {
            Bytes f = build(r.flash_image);
            f.resize(128);
            if (r.flash_patch)
                r.flash_patch(f);
            f.resize(r.flash_bytes);
            flash(f);
        }
        EXPECT_EQ(checkFWHeader(reinterpret_cast<const FWHeader *>(image.data())), r.result);
        if (r.message == nullptr) {
            EXPECT_TRUE(g_log.empty()) << g_log.front().second;
        } else {
            ASSERT_EQ(g_log.size(), 1u);
            EXPECT_EQ(g_log[0].first, 6);
            EXPECT_EQ(g_log[0].second, r.message);
        }
    }
}

TEST_F(FwHeader, CheckLeavesFlashAndImageAlone)
{
    Bytes image = build(kRouter);
    Bytes f(image.begin(), image.begin() + 128);
    flash(f);
    Bytes before = image;
    EXPECT_EQ(checkFWHeader(reinterpret_cast<const FWHeader *>(image.data())), 0);
    EXPECT_EQ(image, before);
    EXPECT_EQ(testsupport::read_all(at("/dev/mtd5")), std::string(f.begin(), f.end()));
}

TEST_F(FwHeader, Section2Sum)
{
    EXPECT_EQ(GetFWSection2Sum(), -2);
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].second, "/dev/mtd5 can not open ..\n");

    Bytes k = build({'K', "ROUTER1", "ACME", {0, 0, 300, 0}});
    k.resize(128);
    flash(k);
    EXPECT_EQ(GetFWSection2Sum(), 0);

    Bytes a = build({'F', "ROUTER1", "ACME", {0, 300, 300, 1}});
    std::uint32_t sum = 0;
    for (std::size_t i = 128; i < 428; i++)
        sum += a[i];
    a.resize(128);
    flash(a);
    EXPECT_EQ(GetFWSection2Sum(), static_cast<int>(sum));
    EXPECT_EQ(g_log.size(), 1u);
}

TEST(FwByteSum, MatchesPlainSumAtEveryAlignmentAndLength)
{
    // All 0xFF is the worst case for the lanes; random bytes for the rest.
    std::mt19937 rng(5);
    Bytes rnd(70000);
    for (auto &c : rnd)
        c = static_cast<unsigned char>(rng());
    Bytes ones(70000, 0xFF);
    for (const Bytes *buf : {&rnd, &ones}) {
        for (std::size_t off = 0; off < 16; off++) {
            for (std::size_t n : {0, 1, 7, 8, 9, 63, 2047, 2048, 2049, 4095, 4096, 4097, 65536, 69984}) {
                std::uint32_t plain = 0;
                for (std::size_t i = 0; i < n; i++)
                    plain += (*buf)[off + i];
                ASSERT_EQ(fw::byte_sum(buf->data() + off, n), plain) << "offset " << off << " length " << n;
            }
        }
    }
}

TEST(FwByteSum, WrapsModulo2To32)
{
    // 16843010 bytes of 0xFF sum to 2^32 + 254.
    Bytes big(16843010, 0xFF);
    EXPECT_EQ(fw::byte_sum(big.data(), big.size()), 254u);
}

TEST(FwHeaderLayout, RecordIsPinned)
{
    EXPECT_EQ(sizeof(FWHeader), 128u);
    Bytes image = build(kRouter);
    const auto *h = reinterpret_cast<const FWHeader *>(image.data());
    EXPECT_STREQ(h->product, "ROUTER1");
    EXPECT_EQ(h->type, 'F');
    EXPECT_EQ(std::memcmp(h->vendor, "ACME", 4), 0);
    EXPECT_EQ(h->section_len[2][3], 300 & 0xFF); // big-endian: low byte last
    EXPECT_EQ(h->section_len[2][2], 300 >> 8);
}

// The tool itself, as firmware builders run it.
class FwImageTool : public ::testing::Test {
protected:
    std::string tool() const { return std::string(DEVLIB_BINARY_DIR) + "/tools/fwimage"; }
    int run(const std::string &args, std::string *out = nullptr) const
    {
        std::string cmd = tool() + " " + args + " 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr)
            return -1;
        char buf[512];
        std::string text;
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            text.append(buf, n);
        int st = pclose(p);
        if (out != nullptr)
            *out = text;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    bool runs() const
    {
        int r = run("make");
        return r != 126 && r != 127;
    }
    testsupport::TempDir dir_;
};

#define SKIP_UNLESS_TOOL_RUNS()                                                                        \
    do {                                                                                               \
        if (!runs())                                                                                   \
            GTEST_SKIP() << "the image tool cannot be started from here (a cross build without binfmt)"; \
    } while (0)

TEST_F(FwImageTool, MakeShowCheck)
{
    SKIP_UNLESS_TOOL_RUNS();
    std::string d = dir_.path();
    testsupport::write_all(d + "/s2", std::string(16, 'b'));
    testsupport::write_all(d + "/s3", std::string(0x10000 - 128, 'c'));
    testsupport::write_all(d + "/s4", std::string(10, 'd'));
    ASSERT_EQ(run("make -t F -p ROUTER1 -v ACME -2 " + d + "/s2 -3 " + d + "/s3 -4 " + d + "/s4 -o " + d + "/img"), 0);

    Bytes image;
    {
        std::string s = testsupport::read_all(d + "/img");
        image.assign(s.begin(), s.end());
    }
    ASSERT_EQ(image.size(), 128u + 16 + 0x10000 - 128 + 10);
    EXPECT_EQ(be32_at(image, 64), 16u + 0x10000 - 128 + 10);
    EXPECT_EQ(be32_at(image, 72), 16u);
    EXPECT_EQ(be32_at(image, 88), 16u * 'b');
    EXPECT_EQ(be32_at(image, 96), 10u * 'd');
    testsupport::write_all(d + "/flash", std::string(image.begin(), image.begin() + 128));

    std::string out;
    EXPECT_EQ(run("show " + d + "/img", &out), 0);
    EXPECT_NE(out.find("product     \"ROUTER1\""), std::string::npos) << out;
    EXPECT_NE(out.find("header sum  0x"), std::string::npos) << out;
    EXPECT_NE(out.find("(matches)"), std::string::npos) << out;

    EXPECT_EQ(run("check -f " + d + "/flash " + d + "/img", &out), 0);
    EXPECT_EQ(out, "accepted\n"
                   "/dev/mtd2  offset 0x00000000 length 16\n"
                   "/dev/mtd5  offset 0x00000000 length 65536 (header and section 3)\n"
                   "/dev/mtd5  offset 0x00020000 length 10\n");

    testsupport::write_all(d + "/img", std::string(image.begin(), image.end()) + "x");
    EXPECT_EQ(run("check -f " + d + "/flash " + d + "/img", &out), 1);
    EXPECT_EQ(out, "refused -2\n");

    ASSERT_EQ(run("make -t F -p ROUTER2 -v ACME -2 " + d + "/s2 -3 " + d + "/s3 -4 " + d + "/s4 -o " + d + "/img2"), 0);
    EXPECT_EQ(run("check -f " + d + "/flash " + d + "/img2", &out), 1);
    EXPECT_EQ(out, "fwimage: product error ..\nrefused -1\n");
}

TEST_F(FwImageTool, UsageErrorsExit2)
{
    SKIP_UNLESS_TOOL_RUNS();
    for (const char *args : {"", "frobnicate", "make", "make -t F", "make -t FF -o x", "make -t F -o x -q y",
                             "make -t F -o x stray", "show", "show a b", "check", "check -f"}) {
        SCOPED_TRACE(args);
        std::string out;
        EXPECT_EQ(run(args, &out), 2);
        EXPECT_EQ(out.rfind("usage: fwimage", 0), 0u) << out;
    }
    std::string out;
    EXPECT_EQ(run("make -t F -p SIXTEENCHARSLONG -o " + dir_.path() + "/x", &out), 2);
    EXPECT_NE(out.find("product name longer than 15"), std::string::npos);
}

} // namespace
