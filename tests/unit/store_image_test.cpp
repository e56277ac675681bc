// The store image behind a regular-file "/dev/nvram": the driver's records and
// results, values that stay put, the dump, filling up and recovering, several
// processes at once, and damaged files.
// readdir of a 32-bit build fails on the host's 64-bit directory offsets without it.
#define _FILE_OFFSET_BITS 64
#include "devlib.h"
#include "platform/store_driver.h"
#include "store/image_format.h"
#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace img = devlib::store::image;
using namespace std::string_literals;

class Image : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        make_dirs("/flash");
        write_file("/dev/nvram", "");
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            drv().close(fd_);
        DeviceRoot::TearDown();
    }
    static const devlib::store::Driver &drv() { return devlib::store::driver(); }
    // The driver's calls themselves, on a descriptor of our own.
    int fd()
    {
        if (fd_ < 0) {
            fd_ = drv().open(at("/dev/nvram").c_str());
            map_ = static_cast<const char *>(drv().map(fd_, devlib::store::kMapSize));
        }
        return fd_;
    }
    ssize_t put(const std::string &record) { return drv().write(fd(), record.data(), record.size()); }
    // The value's offset, or -1 when the lookup does not return 4.
    long offset_of(const std::string &name)
    {
        std::string buf = name + '\0';
        buf.resize(std::max<std::size_t>(buf.size(), 4));
        if (drv().read(fd(), buf.data(), name.size() + 1) != 4)
            return -1;
        std::uint32_t off;
        std::memcpy(&off, buf.data(), 4);
        return off;
    }
    const char *value_of(const std::string &name)
    {
        long off = offset_of(name);
        return off < 0 ? nullptr : map_ + off;
    }
    std::string image() const { return read_file("/dev/nvram"); }
    int fd_ = -1;
    const char *map_ = nullptr;
};

std::uint32_t le32(const std::string &b, std::size_t at)
{
    const auto *u = reinterpret_cast<const unsigned char *>(b.data() + at);
    return u[0] | u[1] << 8 | u[2] << 16 | static_cast<std::uint32_t>(u[3]) << 24;
}
void put_le32(std::string &b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = static_cast<char>(v >> (8 * i));
}

TEST_F(Image, DriverRecordsAndResults)
{
    ASSERT_GE(fd(), 0);
    struct stat st;
    ASSERT_EQ(stat(at("/dev/nvram").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0x40000) << "an empty file is formatted to the mapped size";

    EXPECT_EQ(put("A=1\0"s), 4);
    EXPECT_EQ(put("E=\0"s), 3);
    ASSERT_NE(value_of("A"), nullptr);
    EXPECT_STREQ(value_of("A"), "1");
    EXPECT_STREQ(value_of("E"), "");
    EXPECT_LT(offset_of("A"), 0x40000);

    std::string buf = "NOPE\0"s;
    errno = 0;
    EXPECT_EQ(drv().read(fd(), buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(buf, "NOPE\0"s) << "an absent name leaves the buffer alone";

    EXPECT_EQ(put("A\0"s), 2);
    EXPECT_EQ(value_of("A"), nullptr);
    EXPECT_EQ(put("A\0"s), 2) << "removing an absent name is no error";

    EXPECT_EQ(drv().ioctl(fd(), 16, nullptr), 0);
    std::string dump = at("/flash/out");
    EXPECT_EQ(drv().ioctl(fd(), 32, dump.data()), 0);
    EXPECT_EQ(testsupport::read_all(dump), "E=\"\"\n");
    errno = 0;
    EXPECT_EQ(drv().ioctl(fd(), 99, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);

    for (const std::string &bad : {"A=1"s, "A=1\0x\0"s, ""s}) {
        errno = 0;
        EXPECT_EQ(put(bad), -1) << "record not ended by its only NUL";
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST_F(Image, FieldsAreLittleEndianOnEveryProcessor)
{
    fd();
    std::string b = image();
    EXPECT_EQ(b.substr(0, 8), "NVRAMIMG");
    EXPECT_EQ(b.substr(8, 8), "\x01\0\0\0\0\0\x04\0"s) << "version 1, size 0x40000";
    EXPECT_EQ(le32(b, 16), img::kBuckets);
}

TEST_F(Image, RefusesWhatNoDumpLineCouldCarry)
{
    ASSERT_EQ(put("K=kept\0"s), 7);
    struct Case {
        const char *what;
        std::string record;
        bool ok;
    } cases[] = {
        {"line feed in value", "K=a\nb", false},
        {"carriage return in value", "K=a\rb", false},
        {"quote after leading blank", "K= a\"b", false},
        {"leading quote", "K=\"a", false},
        {"empty name", "=v", false},
        {"blank in name", "K K=v", false},
        {"tab in name", "K\tK=v", false},
        {"line feed in name", "K\nK=v", false},
        {"comment sign first", "#K=v", false},
        {"quote inside value", "Q1=a\"b\"", true},
        {"leading blanks, no quote", "Q2=  lead", true},
        {"trailing blanks", "Q3=trail  ", true},
        {"comment sign in value", "Q4=# not a comment", true},
        {"comment sign inside name", "Q#5=v", true},
        {"quote inside name", "Q\"6=v", true},
        {"equals in value", "Q7==x=", true},
        {"high bytes", "Q8=\xC3\xA9\xFF", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        std::string rec = c.record + '\0';
        if (c.ok) {
            EXPECT_EQ(put(rec), static_cast<ssize_t>(rec.size()));
        } else {
            EXPECT_EQ(put(rec), -1);
            EXPECT_EQ(errno, EINVAL);
        }
    }
    EXPECT_STREQ(value_of("K"), "kept");
}

TEST_F(Image, DumpReadsBackToTheSameValues)
{
    const std::map<std::string, std::string> pairs = {
        {"PLAIN", "value"},      {"EMPTY", ""},           {"BLANKS", "  lead and trail  "},
        {"QUOTE", "say \"hi\""}, {"HASH", "# not a comment"}, {"EQ", "=a=b"},
        {"Q\"N", "quote in name"}, {"A#B", "x"},           {"HIGH", "\xC3\xA9\xFF"},
        {"LONG", std::string(1000, 'l')},
    };
    for (const auto &[n, v] : pairs)
        ASSERT_EQ(nvram_set(n.c_str(), v.c_str()), 0) << n;
    ASSERT_EQ(nvram2file("/flash/config"), 0);
    std::string text = read_file("/flash/config");
    EXPECT_NE(text.find("QUOTE=say \"hi\"\n"), std::string::npos) << "a value with a quote goes unquoted";
    EXPECT_NE(text.find("BLANKS=\"  lead and trail  \"\n"), std::string::npos);
    EXPECT_EQ(text.substr(0, 8), "A#B=\"x\"\n") << "sorted by name";

    std::map<std::string, std::string> back;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos + 1);
        pos = end + 1;
        char *name;
        char *value;
        ASSERT_EQ(ParseNameValue(line.data(), &name, &value), 0) << line;
        back[name] = value;
    }
    EXPECT_EQ(back, pairs);
}

TEST_F(Image, FailedDumpLeavesTheOldFile)
{
    ASSERT_EQ(nvram_set("BIG", std::string(4000, 'b').c_str()), 0);
    write_file("/flash/config", "OLD=\"1\"\n");
    // A child whose files may not grow past 100 bytes: the dump's write fails.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {100, 100};
        setrlimit(RLIMIT_FSIZE, &rl);
        std::string path = at("/flash/config");
        _exit(drv().ioctl(fd(), 32, path.data()) == -1 && errno == EFBIG ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "the dump reported its failure";
    EXPECT_EQ(read_file("/flash/config"), "OLD=\"1\"\n");

    std::string missing = at("/nodir/config");
    EXPECT_EQ(drv().ioctl(fd(), 32, missing.data()), -1);

    DIR *d = opendir(at("/flash").c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    EXPECT_EQ(names, std::vector<std::string>{"config"}) << "no temporary file left behind";
}

TEST_F(Image, PointersStayValidAndUnchanged)
{
    ASSERT_EQ(nvram_set("A", "old"), 0);
    const char *p_old = nvram_get("A");
    ASSERT_EQ(nvram_set("A", "new"), 0);
    const char *p_new = nvram_get("A");
    EXPECT_STREQ(p_old, "old") << "a value is never overwritten in place";
    EXPECT_STREQ(p_new, "new");
    EXPECT_NE(p_old, p_new);
    EXPECT_EQ(nvram_set("A", "new"), 0);
    EXPECT_EQ(nvram_get("A"), p_new) << "setting the same text keeps the record";
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(nvram_set_index_int("OTHER", i, i), 0);
    EXPECT_EQ(nvram_free(), 0);
    EXPECT_EQ(nvram_get("A"), p_new) << "live values do not move in a free";
    EXPECT_STREQ(p_new, "new");
}

TEST_F(Image, FillingUpRecoversAndKeepsEveryValue)
{
    // Values of many lengths, some longer than a 255-character line, rewritten
    // until the image is full several times over: each refusal runs the
    // client's recovery, whose free reclaims the replaced values.
    std::map<std::string, std::string> want;
    for (int i = 0; i < 5; i++) { // never changed: they stay at the start of the data
        want["STILL" + std::to_string(i)] = std::string(300, 's');
        ASSERT_EQ(nvram_set(("STILL" + std::to_string(i)).c_str(), want["STILL" + std::to_string(i)].c_str()), 0);
    }
    unsigned seed = 1;
    int refused = 0;
    for (int i = 0; i < 3000; i++) {
        seed = seed * 1103515245u + 12345u;
        std::string name = "K" + std::to_string(seed % 40);
        std::string value(1 + (seed >> 8) % 700, static_cast<char>('a' + i % 26));
        value += std::to_string(i);
        if (nvram_set(name.c_str(), value.c_str()) < 0)
            refused++;
        want[name] = value;
        for (const auto &[n, v] : want)
            ASSERT_STREQ(nvram_get(n.c_str()), v.c_str()) << n << " after set " << i;
    }
    EXPECT_GE(refused, 2);
}

TEST_F(Image, FullOfLiveValuesRefusesAndLosesNothing)
{
    const std::string big(10000, 'x');
    int stored = 0;
    testing::internal::CaptureStderr();
    while (nvram_set_index("BIG", stored, big.c_str()) == 0)
        stored++;
    testing::internal::GetCapturedStderr();
    EXPECT_GT(stored, 20);
    EXPECT_EQ(nvram_get_index("BIG", stored), nullptr) << "the refused record is not there";
    for (int i = 0; i < stored; i++)
        ASSERT_STREQ(nvram_get_index("BIG", i), big.c_str()) << i;
    // Room made by a removal is found by the recovery's free.
    ASSERT_EQ(nvram_unset("BIG@0"), 0);
    const std::string back(10000, 'y');
    EXPECT_LT(nvram_set("BIG@0", back.c_str()), 0) << "refused at first";
    EXPECT_STREQ(nvram_get("BIG@0"), back.c_str());
}

TEST_F(Image, ProcessesAtOnceLoseNoUpdate)
{
    constexpr int kProcs = 4, kNames = 500;
    ASSERT_EQ(nvram_set("OPEN", "1"), 0); // children inherit an open client...
    int start[2];
    ASSERT_EQ(pipe(start), 0); // all children begin when it closes
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; p++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char c;
            close(start[1]);
            (void)!::read(start[0], &c, 1);
            if (p % 2 == 1)
                devlib::store::reset_client(); // ...or open their own
            bool ok = true;
            for (int i = 0; i < kNames && ok; i++) {
                for (const char *round : {"first", "second"}) {
                    std::string v = std::string(round) + "-" + std::to_string(p) + "-" + std::to_string(i);
                    ok = ok && nvram_set_index(("P" + std::to_string(p)).c_str(), i, v.c_str()) == 0;
                    const char *got = nvram_get_index(("P" + std::to_string(p)).c_str(), i);
                    ok = ok && got != nullptr && got == v;
                }
                if (p == 0 && i % 25 == 0)
                    nvram_free(); // reclaims while the others look names up
            }
            _exit(ok ? 0 : 1);
        }
        kids.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : kids) {
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }
    devlib::store::reset_client(); // a fresh attach checks every chain
    for (int p = 0; p < kProcs; p++)
        for (int i = 0; i < kNames; i++) {
            std::string v = "second-" + std::to_string(p) + "-" + std::to_string(i);
            ASSERT_STREQ(nvram_get_index(("P" + std::to_string(p)).c_str(), i), v.c_str());
        }
}

TEST_F(Image, DamagedImagesAreRefused)
{
    // A small valid image, and where its record for A lies.
    ASSERT_EQ(put("A=1\0"s), 4);
    ASSERT_EQ(put("B=two\0"s), 6);
    const std::uint32_t rec = static_cast<std::uint32_t>(offset_of("A")) - sizeof(img::RecordHead) - 2;
    drv().close(fd_);
    fd_ = -1;
    const std::string good = image();
    std::size_t head = 0; // the bucket slot that points at A
    for (std::size_t b = img::kBucketOffset; b < img::kBitmapOffset; b += 4)
        if (le32(good, b) == rec)
            head = b;
    ASSERT_NE(head, 0u);

    struct Case {
        const char *what;
        std::function<void(std::string &)> damage;
    } cases[] = {
        {"bad magic", [](std::string &b) { b[0] = 'X'; }},
        {"bad version", [](std::string &b) { put_le32(b, 8, 2); }},
        {"other image size", [](std::string &b) { put_le32(b, 12, 0x80000); }},
        {"other bucket count", [](std::string &b) { put_le32(b, 16, 4096); }},
        {"other data offset", [](std::string &b) { put_le32(b, 28, 64); }},
        {"truncated header", [](std::string &b) { b.resize(40); }},
        {"truncated short of the map", [](std::string &b) { b.resize(0x40000 - 1); }},
        {"formatted but all zero", [](std::string &b) { b.assign(0x40000, '\0'); }},
        {"head past the end", [&](std::string &b) { put_le32(b, head, 0x40000); }},
        {"head far past the end", [&](std::string &b) { put_le32(b, head, 0xFFFFFFF8); }},
        {"head into the header", [&](std::string &b) { put_le32(b, head, 8); }},
        {"head into the bitmap", [&](std::string &b) { put_le32(b, head, img::kBitmapOffset); }},
        {"head not aligned", [&](std::string &b) { put_le32(b, head, rec + 4); }},
        {"head at the last bytes", [&](std::string &b) { put_le32(b, head, img::kDataEnd - 8); }},
        {"next past the end", [&](std::string &b) { put_le32(b, rec, 0x7FFFFFF8); }},
        {"chain loops", [&](std::string &b) { put_le32(b, rec, rec); }},
        {"name length past the end", [&](std::string &b) { put_le32(b, rec + 4, 0xFFFFFFF0); }},
        {"value length past the end", [&](std::string &b) { put_le32(b, rec + 8, img::kDataEnd); }},
        {"lengths that wrap", [&](std::string &b) { put_le32(b, rec + 4, 0x80000000), put_le32(b, rec + 8, 0x7FFFFFFF); }},
        {"value not terminated", [&](std::string &b) { b[rec + 12 + 3] = 'x'; }},
        {"record in another name's chain", [&](std::string &b) { b[rec + 12] = 'Z'; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = good;
        c.damage(bad);
        testsupport::write_all(at("/dev/nvram"), bad);
        devlib::store::reset_client();
        testing::internal::CaptureStderr();
        EXPECT_EQ(nvram_get("A"), nullptr);
        EXPECT_EQ(nvram_set("A", "2"), EUCLEAN);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "/dev/nvram: Structure needs cleaning\n"
                                                          "/dev/nvram: Structure needs cleaning\n");
        EXPECT_EQ(image(), bad) << "a refused image is left as it was";
    }
    testsupport::write_all(at("/dev/nvram"), good);
    devlib::store::reset_client();
    EXPECT_STREQ(nvram_get("A"), "1");
    EXPECT_STREQ(nvram_get("B"), "two");
}

} // namespace
