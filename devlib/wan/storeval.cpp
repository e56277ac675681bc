#include "wan/storeval.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace devlib::wan {

int to_int(const char *v)
{
    if (v == nullptr)
        return 0;
    errno = 0;
    long n = std::strtol(v, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

bool scan_u32(const char *&p, std::uint32_t &out)
{
    const char *s = p;
    while (std::isspace(static_cast<unsigned char>(*s)))
        s++;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    if (*s < '0' || *s > '9')
        return false;
    std::uint32_t n = 0;
    for (; *s >= '0' && *s <= '9'; s++)
        n = n * 10u + static_cast<std::uint32_t>(*s - '0');
    out = neg ? 0u - n : n;
    p = s;
    return true;
}

} // namespace devlib::wan
