#include "devlib.h"

#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Files : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        make_dirs("/dev");
        ASSERT_EQ(symlink("/dev/full", at("/dev/full").c_str()), 0);
    }
    bool exists(const std::string &device_path) const
    {
        struct stat st;
        return stat(at(device_path).c_str(), &st) == 0;
    }
};

TEST_F(Files, FileToBuf)
{
    struct Case {
        const char *what;
        const char *content; // null: no file
        int len;
        int result;
        std::string buf; // then zeros up to len
    };
    const Case cases[] = {
        {"missing file", nullptr, 8, 0, ""},
        {"empty file", "", 8, 1, ""},
        {"first line with its end", "abc\ndef\n", 8, 1, "abc\n"},
        {"line cut to len - 1", "abcdefghij\n", 5, 1, "abcd"},
        {"line end does not fit", "abcd\n", 5, 1, "abcd"},
        {"room for the NUL only", "abc", 1, 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(at("/var/f").c_str());
        if (c.content != nullptr)
            write_file("/var/f", c.content);
        char buf[16];
        std::memset(buf, 0xAA, sizeof buf);
        EXPECT_EQ(file_to_buf("/var/f", buf, c.len), c.result);
        std::string expect = c.buf;
        expect.resize(c.len, '\0');
        EXPECT_EQ(std::string(buf, c.len), expect);
        EXPECT_EQ(static_cast<unsigned char>(buf[c.len]), 0xAA) << "wrote past len";
    }
}

TEST_F(Files, ReadIntFile)
{
    struct Case {
        const char *what;
        const char *content;
        int value;
    };
    const Case cases[] = {
        {"missing", nullptr, 0},
        {"number and line end", "42\n", 42},
        {"not a number", "x", 0},
        {"empty", "", 0},
        {"leading white space and lines", " \n\t-7\n", -7},
        {"plus sign", "+5", 5},
        {"sign alone", "-", 0},
        {"sign then blank", "- 3", 0},
        {"digits then text", "12abc", 12},
        {"largest int", "2147483647", INT_MAX},
        {"smallest int", "-2147483648", INT_MIN},
        {"too large saturates", "99999999999999999999", INT_MAX},
        {"too small saturates", "-99999999999999999999", INT_MIN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(at("/var/n").c_str());
        if (c.content != nullptr)
            write_file("/var/n", c.content);
        EXPECT_EQ(read_int_file("/var/n"), c.value);
    }
}

TEST_F(Files, WritersReportWhetherTheTextArrived)
{
    write_file("/var/t", "old and longer text");
    EXPECT_EQ(buf_to_file("/var/t", "new"), 1);
    EXPECT_EQ(read_file("/var/t"), "new") << "truncated, no line end added";
    EXPECT_EQ(write_int_file("/var/t", -5), 1);
    EXPECT_EQ(read_file("/var/t"), "-5\n");
    EXPECT_EQ(read_int_file("/var/t"), -5);

    EXPECT_EQ(buf_to_file("/missing/dir/t", "x"), 0);
    EXPECT_EQ(write_int_file("/missing/dir/t", 1), 0);
    // Opens, but the write fails.
    EXPECT_EQ(buf_to_file("/dev/full", "x"), 0);
    EXPECT_EQ(write_int_file("/dev/full", 1), 0);
}

TEST_F(Files, CopyFile)
{
    std::string big;
    for (int i = 0; i < 1000; i++)
        big.push_back(static_cast<char>(i % 251)); // NUL bytes included, several buffers' worth
    write_file("/flash/src", big);

    write_file("/flash/dst", std::string(3000, 'z'));
    EXPECT_EQ(CopyFile("/flash/src", "/flash/dst"), 0);
    EXPECT_EQ(read_file("/flash/dst"), big) << "replaced, not merged";

    EXPECT_EQ(CopyFile("/flash/src", "/flash/new"), 0);
    EXPECT_EQ(read_file("/flash/new"), big);

    write_file("/flash/dst", "kept");
    EXPECT_EQ(CopyFile("/flash/none", "/flash/dst"), 0);
    EXPECT_EQ(read_file("/flash/dst"), "kept") << "unreadable source leaves the destination";

    EXPECT_EQ(CopyFile("/flash/src", "/missing/dir/dst"), 0);
    EXPECT_FALSE(exists("/missing"));

    EXPECT_EQ(CopyFile("/flash/src", "/flash/src"), 0);
    EXPECT_EQ(read_file("/flash/src"), big) << "copying onto itself must not empty it";
    ASSERT_EQ(symlink(at("/flash/src").c_str(), at("/flash/link").c_str()), 0);
    EXPECT_EQ(CopyFile("/flash/link", "/flash/src"), 0);
    EXPECT_EQ(read_file("/flash/src"), big);
}

} // namespace
