// Sizing and order lists of the rule tables kept in the store by prefix.
#include "devlib.h"

#include "firewall/decimal.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

using devlib::fw::decimal_value;

struct Default {
    std::string_view prefix;
    int max;
};

constexpr Default kDefaults[] = {
    {"PF", 64}, {"VS", 32}, {"DMZ", 1}, {"DM_A", 32}, {"DM_B", 32},
    {"KW", 32}, {"UF_EIP", 16}, {"MF", 16}, {"QOS", 16},
};

// Key names are formed in 256 bytes; a prefix too long for that reads as
// absent rather than as some shorter key.
const char *get_key(const char *prefix, const char *suffix)
{
    char key[256];
    int n = std::snprintf(key, sizeof key, "%s%s", prefix, suffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof key)
        return nullptr;
    return nvram_get(key);
}

int capacity(const char *prefix)
{
    int v = decimal_value(get_key(prefix, "_MAX"));
    return v != 0 ? v : get_default_MAX(prefix);
}

// Adds one digit, saturating as the device's atoi does for a long number.
int push_digit(int v, char c)
{
    int d = c - '0';
    return v > (INT_MAX - d) / 10 ? INT_MAX : v * 10 + d;
}

} // namespace

extern "C" int get_default_MAX(const char *prefix)
{
    std::string_view p(prefix);
    for (const Default &d : kDefaults)
        if (p == d.prefix)
            return d.max;
    return 0;
}

extern "C" int get_table_MAX(const char *prefix, int *max)
{
    *max = capacity(prefix);
    return *max;
}

extern "C" int get_table_COUNT(const char *prefix, int *count)
{
    const char *v = get_key(prefix, "_COUNT");
    if (v == nullptr) {
        *count = 0;
        return -2;
    }
    *count = decimal_value(v);
    return *count;
}

extern "C" int get_table_SORT(const char *prefix, int *sort, int *max, int *count)
{
    *max = capacity(prefix);
    *count = decimal_value(get_key(prefix, "_COUNT"));
    if (*count == 0)
        return 0;
    const char *value = get_key(prefix, "_SORT");
    if (value == nullptr)
        return -3;

    // A snapshot of at most 511 characters: the value may change under us.
    char text[512];
    std::size_t len = strnlen(value, sizeof text - 1);
    std::memcpy(text, value, len);
    text[len] = '\0';

    // The caller's array holds the capacity; a longer list is cut there.
    int room = *max > 0 ? *max : 0;
    int stored = 0;
    int number = 0;
    for (std::size_t i = 0; i < len && stored < room; ++i) {
        char c = text[i];
        bool last = i + 1 == len;
        if (c >= '0' && c <= '9') {
            number = push_digit(number, c);
            if (last)
                sort[stored++] = number;
        } else if (c == ',' || c == '\n' || c == '\r') {
            sort[stored++] = number;
            number = 0;
            if (c != ',')
                break;
        }
    }
    return stored;
}
