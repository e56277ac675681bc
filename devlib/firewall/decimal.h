// Decimal values of stored texts, read as atoi reads them on the device.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace devlib::fw {

// Leading blanks, an optional sign and digits; 0 for null or no digits. Out of
// range values saturate as strtol does with the device's 32-bit long, where
// atoi itself would be undefined.
inline int decimal_value(const char *text)
{
    if (text == nullptr)
        return 0;
    int saved = errno;
    long v = std::strtol(text, nullptr, 10);
    errno = saved;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

inline bool is_empty(const char *text) { return text == nullptr || text[0] == '\0'; }

} // namespace devlib::fw
