// ParseNameValue on any line: it writes only inside the line, at most the two
// terminators of name and value, and leaves a line without a pair unchanged.
#include "devlib.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The line is the input up to its first NUL; the bytes behind it stay in
    // the buffer so a write past the terminator is seen.
    char *buf = static_cast<char *>(std::malloc(size + 1));
    char *orig = static_cast<char *>(std::malloc(size + 1));
    if (buf == nullptr || orig == nullptr)
        std::abort();
    std::memcpy(buf, data, size);
    buf[size] = '\0';
    std::memcpy(orig, buf, size + 1);
    const size_t len = std::strlen(buf);

    char *name = nullptr;
    char *value = nullptr;
    int r = ParseNameValue(buf, &name, &value);

    size_t changed = 0;
    for (size_t i = 0; i <= size; i++) {
        if (buf[i] == orig[i])
            continue;
        // Only bytes of the line itself, and only to NUL.
        if (i >= len || buf[i] != '\0')
            std::abort();
        changed++;
    }
    if (r == -1) {
        if (changed != 0)
            std::abort();
    } else if (r == 0) {
        if (changed > 2 || name == nullptr || value == nullptr)
            std::abort();
        if (name < buf || name > buf + len || value < buf || value > buf + len)
            std::abort();
        // Both are terminated inside the line.
        if (name + std::strlen(name) > buf + len || value + std::strlen(value) > buf + len)
            std::abort();
    } else {
        std::abort();
    }
    std::free(orig);
    std::free(buf);
    return 0;
}
