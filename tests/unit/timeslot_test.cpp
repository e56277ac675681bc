#include "devlib.h"
#include "fake_store.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using Keys = std::map<std::string, std::string>;

// Each test, and each reset, starts from an empty in-memory store.
class TimeSlotTest : public ::testing::Test {
protected:
    void SetUp() override { store_.emplace(); }
    void TearDown() override { store_.reset(); }
    void load(const std::map<std::string, std::string> &keys)
    {
        store_.emplace();
        for (const auto &[k, v] : keys)
            store_->put(k, v);
    }
    void put(const std::string &k, const std::string &v) { store_->put(k, v); }
    std::vector<std::string> &writes() { return store_->writes; }
    std::optional<testsupport::FakeStore> store_;
};

// Store keys of one slot: times and the seven TS_Dn flags (TS_D7 is Sunday).
Keys slot_keys(int slot, const char *hs, const char *ms, const char *he, const char *me, const char *days)
{
    Keys k;
    std::string at = "@" + std::to_string(slot);
    if (hs != nullptr) {
        k["TS_H_S" + at] = hs;
        k["TS_M_S" + at] = ms;
        k["TS_H_E" + at] = he;
        k["TS_M_E" + at] = me;
    }
    // days: seven flag texts for Sun..Sat, "." for an absent key
    static const char *key[7] = {"TS_D7", "TS_D1", "TS_D2", "TS_D3", "TS_D4", "TS_D5", "TS_D6"};
    std::string d = days;
    std::size_t pos = 0;
    for (int i = 0; i < 7; ++i) {
        std::size_t end = d.find(' ', pos);
        std::string f = d.substr(pos, end - pos);
        if (f != ".")
            k[key[i] + at] = f;
        pos = end + 1;
    }
    return k;
}

struct MatchCase {
    const char *what;
    Keys keys;
    int slot;
    const char *text;
};

TEST_F(TimeSlotTest, MatchText)
{
    const MatchCase cases[] = {
        {"weekday office hours", slot_keys(3, "8", "0", "17", "30", "0 1 1 1 1 1 0"), 3,
         " -m time --timestart 8:0 --timestop 17:30  --days Mon,Tue,Wed,Thu,Fri "},
        {"slot 0 refused", slot_keys(0, "8", "0", "17", "30", "1 1 1 1 1 1 1"), 0, " "},
        {"slot 17 refused", slot_keys(17, "8", "0", "17", "30", "1 1 1 1 1 1 1"), 17, " "},
        {"no-schedule value 127", slot_keys(127, "8", "0", "17", "30", "1 1 1 1 1 1 1"), 127, " "},
        {"slot 16 usable", slot_keys(16, "1", "2", "3", "4", "1 1 1 1 1 1 1"), 16,
         " -m time --timestart 1:2 --timestop 3:4 "},
        {"negative slot addresses its own keys", slot_keys(-4, "1", "2", "3", "4", "1 1 1 1 1 1 1"), -4,
         " -m time --timestart 1:2 --timestop 3:4 "},
        {"no days, whatever the times", slot_keys(5, "8", "0", "17", "30", "0 0 0 0 0 0 0"), 5, " "},
        {"no day keys at all", slot_keys(5, "8", "0", "17", "30", ". . . . . . ."), 5, " "},
        {"every day: no day list", slot_keys(5, "0", "5", "23", "59", "1 1 1 1 1 1 1"), 5,
         " -m time --timestart 0:5 --timestop 23:59 "},
        {"six days and a 2: all listed", slot_keys(5, "8", "0", "9", "0", "1 1 1 2 1 1 1"), 5,
         " -m time --timestart 8:0 --timestop 9:0  --days Sun,Mon,Tue,Wed,Thu,Fri,Sat "},
        {"Sunday only", slot_keys(5, "8", "0", "9", "0", "1 0 0 0 0 0 0"), 5,
         " -m time --timestart 8:0 --timestop 9:0  --days Sun "},
        {"Saturday by a negative flag", slot_keys(5, "8", "0", "9", "0", "0 0 0 0 0 0 -1"), 5,
         " -m time --timestart 8:0 --timestop 9:0  --days Sat "},
        {"absent times give 0:0", slot_keys(5, nullptr, nullptr, nullptr, nullptr, "0 0 1 . . . ."), 5,
         " -m time --timestart 0:0 --timestop 0:0  --days Tue "},
        {"leading digits count", slot_keys(5, " 8h", "05", "x", "-1", "1x 1 1 1 1 1 1"), 5,
         " -m time --timestart 8:5 --timestop 0:-1 "},
    };
    for (const MatchCase &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.keys);
        char buf[128];
        std::memset(buf, 'x', sizeof buf);
        get_timeslot_match(buf, c.slot);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST_F(TimeSlotTest, LongestMatchFitsItsSize)
{
    // Every field at its widest: 116 characters, into a heap block of exactly
    // TS_MATCH_SIZE so the sanitizer sees a byte too many.
    auto k = slot_keys(2, "-2147483648", "-2147483648", "-2147483648", "-2147483648", "1 1 1 1 1 1 2");
    load(k);
    std::vector<char> buf(TS_MATCH_SIZE);
    get_timeslot_match(buf.data(), 2);
    EXPECT_EQ(std::strlen(buf.data()), 116u);
    EXPECT_STREQ(buf.data(), " -m time --timestart -2147483648:-2147483648 --timestop -2147483648:-2147483648 "
                             " --days Sun,Mon,Tue,Wed,Thu,Fri,Sat ");
}

TEST_F(TimeSlotTest, SetWritesTimesThenDayMask)
{
    struct Case {
        const char *what;
        TimeSlot ts;
        int slot;
        std::vector<std::string> writes;
    };
    const Case cases[] = {
        {"Sunday and Saturday", {8, 17, 5, 30, {1, 0, 0, 0, 0, 0, 1}}, 4,
         {"TS_H_S@4=8", "TS_H_E@4=17", "TS_M_S@4=5", "TS_M_E@4=30", "TS_DAY@4=65"}},
        {"no days", {1, 2, 3, 4, {0, 0, 0, 0, 0, 0, 0}}, 16,
         {"TS_H_S@16=1", "TS_H_E@16=2", "TS_M_S@16=3", "TS_M_E@16=4", "TS_DAY@16=0"}},
        {"any non-zero flag counts", {0, 0, 0, 0, {0, 2, -1, 0, 0, 0, 0}}, 1,
         {"TS_H_S@1=0", "TS_H_E@1=0", "TS_M_S@1=0", "TS_M_E@1=0", "TS_DAY@1=6"}},
        {"negative slot", {-1, INT_MIN, 0, 0, {1, 1, 1, 1, 1, 1, 1}}, -2,
         {"TS_H_S@-2=-1", "TS_H_E@-2=-2147483648", "TS_M_S@-2=0", "TS_M_E@-2=0", "TS_DAY@-2=127"}},
        {"slot 0", {8, 17, 5, 30, {1, 1, 1, 1, 1, 1, 1}}, 0, {}},
        {"slot 17", {8, 17, 5, 30, {1, 1, 1, 1, 1, 1, 1}}, 17, {}},
        {"slot 127", {8, 17, 5, 30, {1, 1, 1, 1, 1, 1, 1}}, 127, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writes().clear();
        EXPECT_EQ(set_time_slot(&c.ts, c.slot), 1);
        EXPECT_EQ(writes(), c.writes);
    }
}

TEST_F(TimeSlotTest, ReadBackTakesDaysFromTheFlagKeys)
{
    TimeSlot in = {8, 17, 0, 30, {1, 1, 1, 1, 1, 1, 1}};
    set_time_slot(&in, 6);
    put("TS_D3@6", "1");  // Wednesday
    put("TS_D7@6", "5");  // Sunday, as stored
    TimeSlot out;
    std::memset(&out, 0x55, sizeof out);
    EXPECT_EQ(get_time_slot(&out, 6), 1);
    EXPECT_EQ(out.start_hour, 8);
    EXPECT_EQ(out.end_hour, 17);
    EXPECT_EQ(out.start_min, 0);
    EXPECT_EQ(out.end_min, 30);
    const int days[7] = {5, 0, 0, 1, 0, 0, 0};
    for (int d = 0; d < 7; ++d)
        EXPECT_EQ(out.day[d], days[d]) << "day " << d;
}

TEST_F(TimeSlotTest, RefusedReadLeavesRecord)
{
    for (int slot : {0, 17, 127, INT_MAX}) {
        SCOPED_TRACE(slot);
        TimeSlot ts = {1, 2, 3, 4, {5, 6, 7, 8, 9, 10, 11}};
        EXPECT_EQ(get_time_slot(&ts, slot), 1);
        EXPECT_EQ(ts.start_hour, 1);
        EXPECT_EQ(ts.day[6], 11);
    }
}

} // namespace
