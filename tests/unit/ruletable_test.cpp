#include "devlib.h"
#include "fake_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// Each test, and each reset, starts from an empty in-memory store.
class RuleTableTest : public ::testing::Test {
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

TEST_F(RuleTableTest, DefaultCapacity)
{
    const std::pair<const char *, int> cases[] = {
        {"PF", 64}, {"VS", 32}, {"DMZ", 1}, {"DM_A", 32}, {"DM_B", 32}, {"KW", 32}, {"UF_EIP", 16},
        {"MF", 16}, {"QOS", 16}, {"pf", 0}, {"PF1", 0}, {"P", 0}, {"DM", 0}, {"", 0}, {"QOS ", 0},
    };
    for (auto [prefix, max] : cases)
        EXPECT_EQ(get_default_MAX(prefix), max) << prefix;
}

TEST_F(RuleTableTest, CapacityAndCount)
{
    struct Case {
        const char *what;
        std::map<std::string, std::string> keys;
        int max;
        int count_result;
        int count;
    };
    const Case cases[] = {
        {"nothing stored", {}, 32, -2, 0},
        {"max 0 and empty count", {{"VS_MAX", "0"}, {"VS_COUNT", ""}}, 32, 0, 0},
        {"max without digits", {{"VS_MAX", "lots"}, {"VS_COUNT", "x"}}, 32, 0, 0},
        {"empty max", {{"VS_MAX", ""}, {"VS_COUNT", "7"}}, 32, 7, 7},
        {"negative max kept", {{"VS_MAX", "-5"}, {"VS_COUNT", " -3z"}}, -5, -3, -3},
        {"stored max wins", {{"VS_MAX", "8"}, {"VS_COUNT", "2"}}, 8, 2, 2},
        {"overlong numbers saturate", {{"VS_MAX", "99999999999999999999999"}, {"VS_COUNT", "-99999999999"}},
         INT_MAX, INT_MIN, INT_MIN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.keys);
        int max = 1234;
        int count = 1234;
        EXPECT_EQ(get_table_MAX("VS", &max), c.max);
        EXPECT_EQ(max, c.max);
        EXPECT_EQ(get_table_COUNT("VS", &count), c.count_result);
        EXPECT_EQ(count, c.count);
        EXPECT_TRUE(writes().empty()) << "readers never write";
    }
}

struct SortCase {
    const char *what;
    const char *count; // null: key absent
    const char *sort;  // null: key absent
    int result;
    std::vector<int> entries;
};

const SortCase kSortCases[] = {
    {"plain list", "3", "3,1,2", 3, {3, 1, 2}},
    {"trailing comma adds nothing", "3", "3,1,2,", 3, {3, 1, 2}},
    {"leading comma stores 0", "3", ",5", 2, {0, 5}},
    {"two commas store 0", "3", "1,,2", 3, {1, 0, 2}},
    {"line feed ends the list", "3", "7\n8", 1, {7}},
    {"carriage return ends the list", "3", "7\r\n8", 1, {7}},
    {"line feed at the end", "3", "7\n", 1, {7}},
    {"blank joins digits", "3", "1 2,3", 2, {12, 3}},
    {"minus skipped", "3", "-4,5", 2, {4, 5}},
    {"trailing letter drops the number", "3", "1,2x", 1, {1}},
    {"one comma", "3", ",", 1, {0}},
    {"empty value", "3", "", 0, {}},
    {"letters only", "3", "abc", 0, {}},
    {"entries not held to the count", "1", "4,5,6", 3, {4, 5, 6}},
    {"count 0 with no list", "0", nullptr, 0, {}},
    {"count absent", nullptr, "1,2", 0, {}},
    {"count without digits", "x", "1,2", 0, {}},
    {"count set, list absent", "2", nullptr, -3, {}},
    {"negative count reads the list", "-1", "9", 1, {9}},
    {"long number saturates", "1", "123456789012345678901234567890,1", 2, {INT_MAX, 1}},
    {"leading zeros of a long number", "1", "000000000000000000000000000042", 1, {42}},
    {"int max exactly", "1", "2147483647,2147483648", 2, {INT_MAX, INT_MAX}},
};

TEST_F(RuleTableTest, OrderList)
{
    for (const SortCase &c : kSortCases) {
        SCOPED_TRACE(c.what);
        load({});
        if (c.count != nullptr)
            put("PF_COUNT", c.count);
        if (c.sort != nullptr)
            put("PF_SORT", c.sort);
        std::vector<int> sort(64, -7);
        int max = 0;
        int count = 0;
        int r = get_table_SORT("PF", sort.data(), &max, &count);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(max, 64);
        EXPECT_EQ(count, c.count != nullptr ? std::atoi(c.count) : 0);
        std::vector<int> got(sort.begin(), sort.begin() + (r > 0 ? r : 0));
        EXPECT_EQ(got, c.entries);
        for (std::size_t i = got.size(); i < sort.size(); ++i)
            ASSERT_EQ(sort[i], -7) << "entry " << i << " written past the list";
    }
}

// The array holds the capacity; a longer list, a longer value or a longer
// prefix writes nothing past what the caller sized.
TEST_F(RuleTableTest, LimitsHoldWhateverIsStored)
{
    struct Case {
        const char *what;
        std::string max; // "" leaves X_MAX absent
        std::string sort;
        int result;
    };
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += std::to_string(i % 10) + ",";
    const Case cases[] = {
        {"list longer than the capacity", "4", many, 4},
        {"capacity 0 of an unknown table", "", "1,2,3", 0},
        {"negative capacity", "-5", "1,2,3", 0},
        // 600 commas: only the first 511 characters are walked
        {"value over 511 characters", "1000", std::string(600, ','), 511},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load({});
        if (!c.max.empty())
            put("X_MAX", c.max);
        put("X_COUNT", "1");
        put("X_SORT", c.sort);
        int room = std::max(0, std::atoi(c.max.c_str()));
        std::vector<int> sort(room + 1, -7); // one guard entry
        int max = 0;
        int count = 0;
        EXPECT_EQ(get_table_SORT("X", sort.data(), &max, &count), c.result);
        EXPECT_EQ(sort[room], -7);
    }
    // The 511th character is the last one walked: a digit there is stored.
    std::vector<int> sort(1000);
    int max = 0;
    int count = 0;
    put("X_MAX", "1000");
    put("X_SORT", std::string(510, ',') + "78,");
    ASSERT_EQ(get_table_SORT("X", sort.data(), &max, &count), 511);
    EXPECT_EQ(sort[509], 0);
    EXPECT_EQ(sort[510], 7);
}

TEST_F(RuleTableTest, OverlongPrefixReadsAsAbsent)
{
    // 249 characters still fit "%s_COUNT" in 256 bytes; 250 do not.
    std::string fits(249, 'T');
    std::string over(250, 'T');
    put(fits + "_COUNT", "2");
    put(fits + "_MAX", "3");
    put(over + "_COUNT", "2");
    put(over + "_MAX", "3");
    put(over + "_SORT", "1,2");
    int max = 0;
    int count = 0;
    EXPECT_EQ(get_table_COUNT(fits.c_str(), &count), 2);
    EXPECT_EQ(get_table_MAX(fits.c_str(), &max), 3);
    EXPECT_EQ(get_table_COUNT(over.c_str(), &count), -2);
    // "_MAX" is shorter, so it still fits for a 250-character prefix.
    EXPECT_EQ(get_table_MAX(over.c_str(), &max), 3);
    std::string far(300, 'T');
    put(far + "_MAX", "3");
    EXPECT_EQ(get_table_MAX(far.c_str(), &max), 0);
    int sort[4] = {-7, -7, -7, -7};
    EXPECT_EQ(get_table_SORT(over.c_str(), sort, &max, &count), 0) << "its count reads as absent";
    EXPECT_EQ(sort[0], -7);
}

} // namespace
