// fwimage: makes, shows and checks firmware images for the router.
#include "devlib/persist/fwheader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fw = devlib::fw;

constexpr const char kUsage[] =
    "usage: fwimage make -t TYPE [-p PRODUCT] [-v VENDOR] [-1 FILE] [-2 FILE] [-3 FILE] [-4 FILE] -o IMAGE\n"
    "       fwimage show IMAGE\n"
    "       fwimage check [-f FLASH_HEADER] IMAGE\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char *format, ...)
{
    std::fputs("fwimage: ", stderr);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// A whole file in memory.
class Blob {
public:
    Blob() = default;
    Blob(const Blob &) = delete;
    Blob &operator=(const Blob &) = delete;
    ~Blob() { std::free(data_); }

    // Reads path; false with a message when it cannot. Past limit bytes the
    // file is too large, or with prefix set only its first limit bytes are read.
    bool load(const char *path, std::size_t limit, bool prefix = false)
    {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fail("%s: %s", path, std::strerror(errno));
            return false;
        }
        bool ok = read_all(fd, limit, prefix);
        int e = errno;
        ::close(fd);
        if (!ok)
            fail("%s: %s", path, e == EFBIG ? "file too large" : std::strerror(e));
        return ok;
    }
    const unsigned char *data() const { return data_; }
    unsigned char *data() { return data_; }
    std::size_t size() const { return size_; }

private:
    bool read_all(int fd, std::size_t limit, bool prefix)
    {
        std::size_t cap = 0;
        for (;;) {
            if (size_ == cap) {
                if (cap >= limit) {
                    if (prefix)
                        return true;
                    unsigned char probe;
                    ssize_t r = ::read(fd, &probe, 1);
                    if (r == 0)
                        return true;
                    errno = r < 0 ? errno : EFBIG;
                    return false;
                }
                std::size_t next = cap < 65536 ? 65536 : cap * 2;
                if (next > limit)
                    next = limit;
                void *p = std::realloc(data_, next);
                if (p == nullptr)
                    return false;
                data_ = static_cast<unsigned char *>(p);
                cap = next;
            }
            ssize_t r = ::read(fd, data_ + size_, cap - size_);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return false;
            if (r == 0)
                return true;
            size_ += static_cast<std::size_t>(r);
        }
    }

    unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
};

bool write_all(int fd, const unsigned char *p, std::size_t n)
{
    while (n != 0) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Arguments of one command, parsed by hand: getopt's state is global.
struct Args {
    const char *opts[128] = {};
    const char *&opt(int c) { return opts[c & 0x7F]; }
    const char *operand = nullptr;
    int operands = 0;
};

bool parse(int argc, char **argv, const char *letters, Args &a)
{
    for (int i = 0; i < argc; i++) {
        const char *s = argv[i];
        if (s[0] == '-' && s[1] != '\0' && s[2] == '\0') {
            unsigned char c = static_cast<unsigned char>(s[1]);
            if (c >= 128 || std::strchr(letters, c) == nullptr || i + 1 >= argc || a.opt(c) != nullptr)
                return false;
            a.opt(c) = argv[++i];
        } else {
            a.operand = s;
            a.operands++;
        }
    }
    return true;
}

int cmd_make(int argc, char **argv)
{
    Args a;
    if (!parse(argc, argv, "tpv1234o", a) || a.operands != 0 || a.opt('t') == nullptr || a.opt('o') == nullptr ||
        std::strlen(a.opt('t')) != 1)
        return usage();
    if (a.opt('p') != nullptr && std::strlen(a.opt('p')) > 15) {
        fail("product name longer than 15 characters");
        return 2;
    }
    if (a.opt('v') != nullptr && std::strlen(a.opt('v')) > 4) {
        fail("vendor longer than 4 characters");
        return 2;
    }
    Blob sections[4];
    fw::ImageSpec spec{};
    spec.type = a.opt('t')[0];
    spec.product = a.opt('p');
    spec.vendor = a.opt('v');
    for (int i = 0; i < 4; i++) {
        const char *path = a.opt('1' + i);
        if (path == nullptr)
            continue;
        if (!sections[i].load(path, 0xFFFFFFFF))
            return 1;
        spec.length[i] = static_cast<std::uint32_t>(sections[i].size());
        spec.section[i] = sections[i].data();
    }
    unsigned char header[fw::kHeaderSize];
    if (!fw::make_header(spec, header)) {
        fail("sections too large for one image");
        return 1;
    }
    const char *out = a.opt('o');
    int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("%s: %s", out, std::strerror(errno));
        return 1;
    }
    bool ok = write_all(fd, header, sizeof header);
    for (int i = 0; ok && i < 4; i++)
        ok = spec.length[i] == 0 || write_all(fd, sections[i].data(), spec.length[i]);
    int e = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        fail("%s: %s", out, std::strerror(e));
        return 1;
    }
    return 0;
}

// Bytes as text, with anything unprintable escaped.
void print_text(const char *label, const unsigned char *p, std::size_t n, bool to_nul)
{
    std::printf("%-12s\"", label);
    for (std::size_t i = 0; i < n && !(to_nul && p[i] == 0); i++) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '"' && p[i] != '\\')
            std::putchar(p[i]);
        else
            std::printf("\\x%02x", p[i]);
    }
    std::puts("\"");
}

int cmd_show(int argc, char **argv)
{
    Args a;
    if (!parse(argc, argv, "", a) || a.operands != 1)
        return usage();
    Blob image;
    if (!image.load(a.operand, fw::kHeaderSize, true))
        return 1;
    if (image.size() < fw::kHeaderSize) {
        fail("%s: %zu bytes, shorter than a header", a.operand, image.size());
        return 1;
    }
    const unsigned char *h = image.data();
    print_text("product", h + fw::kOffProduct, 16, true);
    print_text("type", h + fw::kOffType, 1, false);
    print_text("signature", h + fw::kOffSignature, 15, false);
    print_text("vendor", h + fw::kOffVendor, 4, true);
    std::uint32_t stored = fw::be32(h + fw::kOffHeaderSum);
    std::uint32_t computed = fw::header_sum(h);
    std::printf("%-12s0x%08x (%s)\n", "header sum", stored, stored == computed ? "matches" : "does not match");
    std::printf("%-12s%u\n", "total", fw::be32(h + fw::kOffTotal));
    for (int i = 0; i < 4; i++)
        std::printf("section %d   length %u sum 0x%08x\n", i + 1, fw::section_len(h, i), fw::section_sum(h, i));
    return 0;
}

void print_message(int, const char *text)
{
    std::size_t n = std::strlen(text);
    std::fprintf(stderr, "fwimage: %s%s", text, n != 0 && text[n - 1] == '\n' ? "" : "\n");
}

int cmd_check(int argc, char **argv)
{
    Args a;
    if (!parse(argc, argv, "f", a) || a.operands != 1)
        return usage();
    fw::set_log_sink(print_message);
    unsigned char flash[fw::kFlashHeaderSize] = {};
    bool flash_ok;
    if (a.opt('f') != nullptr) {
        // As on the device: missing bytes of a short flash header count as 0.
        Blob f;
        flash_ok = f.load(a.opt('f'), sizeof flash, true);
        if (flash_ok && f.size() != 0)
            std::memcpy(flash, f.data(), f.size());
    } else {
        flash_ok = fw::read_flash_header(flash);
    }
    Blob image;
    if (!image.load(a.operand, ~std::size_t{0}))
        return 1;
    fw::Layout layout;
    int r = flash_ok ? fw::verify_image(image.data(), image.size(), flash, &layout) : -2;
    if (r != 0) {
        std::printf("refused %d\n", r);
        return 1;
    }
    std::puts("accepted");
    for (int i = 0; i < layout.count; i++) {
        const fw::FlashWrite &w = layout.writes[i];
        std::printf("%-10s offset 0x%08x length %zu%s\n", w.partition, w.offset, w.length,
                    i == layout.header_write ? " (header and section 3)" : "");
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const char *cmd = argv[1];
    if (std::strcmp(cmd, "make") == 0)
        return cmd_make(argc - 2, argv + 2);
    if (std::strcmp(cmd, "show") == 0)
        return cmd_show(argc - 2, argv + 2);
    if (std::strcmp(cmd, "check") == 0)
        return cmd_check(argc - 2, argv + 2);
    return usage();
}
