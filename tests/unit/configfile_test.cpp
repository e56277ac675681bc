#include "devlib.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

class ConfigFile : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        make_dirs("/var/tmp");
        make_dirs("/var/etc");
    }
    bool exists(const std::string &device_path) const
    {
        struct stat st;
        return lstat(at(device_path).c_str(), &st) == 0;
    }
    std::string get(const char *name) const
    {
        char result[254];
        std::memset(result, 'X', sizeof result);
        char *r = get_file_value("/var/etc/status", name, result);
        EXPECT_EQ(r, result);
        EXPECT_NE(std::memchr(result, '\0', sizeof result), nullptr);
        return r;
    }
};

const std::string kLong300(300, 'x');

struct Case {
    const char *what;
    const char *content; // null: no file
    std::string text;    // the file's content when not null
    const char *name;
    std::string before;  // get_file_value before the edit
    const char *value;
    std::string after;   // the file after save_globe_config
};

const Case kCases[] = {
    {"missing file", nullptr, "", "N", "", "v", "N=\"v\"\n"},
    {"empty file", "", "", "N", "", "v", "N=\"v\"\n"},
    {"other names kept, line appended", "", "A=1\nB=\"2\"\n", "N", "", "v", "A=1\nB=\"2\"\nN=\"v\"\n"},
    {"unquoted becomes quoted", "", "A=1\nN=old\nB=2\n", "N", "old", "new", "A=1\nN=\"new\"\nB=2\n"},
    {"quoted value read without quotes", "", "N=\"a b\" # c\n", "N", "a b", "v", "N=\"v\"\n"},
    {"names compare case-sensitively", "", "n=1\n", "N", "", "v", "n=1\nN=\"v\"\n"},
    {"comments, blanks and junk byte for byte", "", "# c  \n\n   \t\njunk line\r\n  N = x # y\n", "N", "x # y", "v",
     "# c  \n\n   \t\njunk line\r\nN=\"v\"\n"},
    {"NUL bytes copied through", "", "# a\0b\nN=1\n"s, "N", "1", "v", "# a\0b\nN=\"v\"\n"s},
    {"first of two wins, both replaced", "", "N=1\nA=0\nN=2\n", "N", "1", "v", "N=\"v\"\nA=0\nN=\"v\"\n"},
    {"value with a quote written unchanged", "", "N=1\n", "N", "1", "a\"b", "N=\"a\"b\"\n"},
    {"last line without end keeps it", "", "A=1", "N", "", "v", "A=1\nN=\"v\"\n"},
    {"replaced last line gets its end", "", "A=0\nN=1", "N", "1", "v", "A=0\nN=\"v\"\n"},
    {"empty value", "", "N=1\n", "N", "1", "", "N=\"\"\n"},
    {"long line kept whole", "", "L=" + kLong300 + "\nN=1\n", "N", "1", "v", "L=" + kLong300 + "\nN=\"v\"\n"},
    {"long line read to what one piece holds", "", "N=" + kLong300 + "\n", "N", std::string(252, 'x'), "v",
     "N=\"v\"\n"},
    {"tail of a long line is not a line", "", "C=" + std::string(252, 'y') + "N=tail\n", "N", "", "v",
     "C=" + std::string(252, 'y') + "N=tail\nN=\"v\"\n"},
    {"line end alone past a full piece", "", "N=" + std::string(252, 'z') + "\nA=1\n", "N", std::string(252, 'z'),
     "v", "N=\"v\"\nA=1\n"},
    {"long line replaced whole", "", "N=" + kLong300 + "\nB=2\n", "N", std::string(252, 'x'), "v",
     "N=\"v\"\nB=2\n"},
};

TEST_F(ConfigFile, LookupAndEdit)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        unlink(at("/var/etc/status").c_str());
        if (c.content != nullptr)
            write_file("/var/etc/status", c.text);
        EXPECT_EQ(get(c.name), c.before);
        EXPECT_EQ(save_globe_config("/var/etc/status", c.name, c.value), 1);
        EXPECT_EQ(read_file("/var/etc/status"), c.after);
        EXPECT_FALSE(exists("/var/tmp/tmpfile"));
    }
}

TEST_F(ConfigFile, ValueWithQuoteReadsBackToTheQuote)
{
    save_globe_config("/var/etc/status", "N", "a\"b");
    EXPECT_EQ(get("N"), "a");
}

TEST_F(ConfigFile, FileKeptWhenTheNewContentCannotBeWritten)
{
    const std::string old = "A=1\nN=2\n";
    write_file("/var/etc/status", old);

    // The temporary file cannot be created.
    rmdir(at("/var/tmp").c_str());
    EXPECT_EQ(save_globe_config("/var/etc/status", "N", "v"), 1);
    EXPECT_EQ(read_file("/var/etc/status"), old);

    // It can be created, but /var/tmp is full.
    make_dirs("/var/tmp");
    ASSERT_EQ(symlink("/dev/full", at("/var/tmp/tmpfile").c_str()), 0);
    EXPECT_EQ(save_globe_config("/var/etc/status", "N", "v"), 1);
    EXPECT_EQ(read_file("/var/etc/status"), old) << "a cut copy must not replace the file";
    EXPECT_FALSE(exists("/var/tmp/tmpfile"));

    // The file itself cannot be opened.
    EXPECT_EQ(save_globe_config("/missing/status", "N", "v"), 1);
    EXPECT_FALSE(exists("/missing"));
}

} // namespace
