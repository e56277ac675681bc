// File copy and one-line file helpers.
#include "devlib.h"

#include "platform/root.h"
#include "util/fd.h"
#include "util/files.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devlib::files {
namespace {

char g_line[kLineBuf];

bool same_file(int a, int b)
{
    struct stat sa;
    struct stat sb;
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

bool close_written(UniqueFile &f)
{
    bool ok = std::ferror(f.get()) == 0;
    return f.close() == 0 && ok;
}

char *line_buffer() { return g_line; }

std::size_t read_piece(std::FILE *f, char *buf, std::size_t max)
{
    std::size_t n = 0;
    while (n < max) {
        int c = std::getc(f);
        if (c == EOF)
            break;
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return n;
}

} // namespace devlib::files

using devlib::DevPath;
using devlib::UniqueFile;
using namespace devlib::files;

extern "C" int CopyFile(const char *src, const char *dst)
{
    UniqueFile in(std::fopen(DevPath(src), "re"));
    if (!in)
        return 0;
    // Opened without truncation first: copying a file onto itself must not
    // empty it.
    int fd = ::open(DevPath(dst), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return in.close();
    if (same_file(fileno(in.get()), fd)) {
        ::close(fd);
        return in.close();
    }
    (void)::ftruncate(fd, 0); // fails harmlessly on devices and FIFOs
    UniqueFile out(::fdopen(fd, "w"));
    if (!out) {
        ::close(fd);
        return in.close();
    }
    char *buf = line_buffer();
    std::size_t n;
    while ((n = std::fread(buf, 1, kLineBuf - 1, in.get())) > 0)
        (void)std::fwrite(buf, 1, n, out.get());
    out.reset();
    return in.close();
}

extern "C" int file_to_buf(const char *path, char *buf, int len)
{
    if (len <= 0)
        return 0;
    std::memset(buf, 0, static_cast<std::size_t>(len));
    UniqueFile f(std::fopen(DevPath(path), "re"));
    if (!f)
        return 0;
    if (std::fgets(buf, len, f.get()) == nullptr)
        std::memset(buf, 0, static_cast<std::size_t>(len)); // fgets leaves it unspecified on error
    return 1;
}

extern "C" int buf_to_file(const char *path, const char *text)
{
    UniqueFile f(std::fopen(DevPath(path), "we"));
    if (!f)
        return 0;
    std::fputs(text, f.get());
    return close_written(f) ? 1 : 0;
}

extern "C" int read_int_file(const char *path)
{
    UniqueFile f(std::fopen(DevPath(path), "re"));
    if (!f)
        return 0;
    int c;
    do
        c = std::getc(f.get());
    while (c != EOF && std::isspace(c));
    bool negative = c == '-';
    if (c == '-' || c == '+')
        c = std::getc(f.get());
    // Saturates instead of overflowing on hostile input.
    long long v = 0;
    for (; c != EOF && c >= '0' && c <= '9'; c = std::getc(f.get())) {
        if (v <= static_cast<long long>(INT_MAX) + 1)
            v = v * 10 + (c - '0');
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

extern "C" int write_int_file(const char *path, int number)
{
    UniqueFile f(std::fopen(DevPath(path), "we"));
    if (!f)
        return 0;
    std::fprintf(f.get(), "%d\n", number);
    return close_written(f) ? 1 : 0;
}
