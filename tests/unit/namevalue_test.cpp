#include "devlib.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char *what;
    std::string line;
    int result;
    const char *name;
    const char *value;
};

const Case kCases[] = {
    {"plain", "NAME=value\n", 0, "NAME", "value"},
    {"crlf", "NAME=value\r\n", 0, "NAME", "value"},
    {"blanks around, trailing kept", "   NAME  =   value with blanks  \n", 0, "NAME", "value with blanks  "},
    {"tab blanks", "\tNAME\t=\tv\n", 0, "NAME", "v"},
    {"quoted then comment", "NAME=\"a b\" # note\n", 0, "NAME", "a b"},
    {"quote not closed", "NAME=\"open\n", 0, "NAME", "open"},
    {"quoted empty", "NAME=\"\"\n", 0, "NAME", ""},
    {"empty", "NAME=\n", 0, "NAME", ""},
    {"empty at end of string", "NAME=", 0, "NAME", ""},
    {"second equals is value", "NAME==x", 0, "NAME", "=x"},
    {"hash inside name", "A#B=1", 0, "A#B", "1"},
    {"quote inside name", "A\"B=1", 0, "A\"B", "1"},
    {"unquoted keeps hash and quote", "N=a # \"b\"\n", 0, "N", "a # \"b\""},
    {"empty name", "=value", 0, "", "value"},
    {"high bytes are ordinary", "N\xC3\xA9=\xFF\xFE\n", 0, "N\xC3\xA9", "\xFF\xFE"},
    {"value ends at CR", "N=a\rb", 0, "N", "a"},
    {"comment", "# comment", -1, nullptr, nullptr},
    {"indented comment", "   # comment", -1, nullptr, nullptr},
    {"empty string", "", -1, nullptr, nullptr},
    {"lf only", "\n", -1, nullptr, nullptr},
    {"crlf only", "\r\n", -1, nullptr, nullptr},
    {"blanks only", "  \t ", -1, nullptr, nullptr},
    {"no equals", "NAME value", -1, nullptr, nullptr},
    {"name only", "NAME", -1, nullptr, nullptr},
    {"name and tab", "NAME\t", -1, nullptr, nullptr},
    {"equals after line end", "NAME\n=x", -1, nullptr, nullptr},
};

TEST(ParseNameValue, Table)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        std::string buf = c.line;
        buf.push_back('\0');
        std::string before = buf;
        char *name = nullptr;
        char *value = nullptr;
        ASSERT_EQ(ParseNameValue(buf.data(), &name, &value), c.result);
        if (c.result == 0) {
            EXPECT_STREQ(name, c.name);
            EXPECT_STREQ(value, c.value);
            EXPECT_GE(name, buf.data());
            EXPECT_LT(value, buf.data() + buf.size());
        } else {
            EXPECT_EQ(buf, before) << "a line without a pair is left untouched";
            EXPECT_EQ(value, nullptr);
        }
    }
}

} // namespace
