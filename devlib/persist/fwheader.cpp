// Firmware image header check and image verification.
#include "persist/fwheader.h"

#include "devlib.h"
#include "platform/root.h"
#include "util/fd.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

// The record is the image's own bytes: no padding, fields where the image has them.
static_assert(sizeof(FWHeader) == devlib::fw::kHeaderSize);
static_assert(alignof(FWHeader) == 1);
static_assert(offsetof(FWHeader, product) == devlib::fw::kOffProduct);
static_assert(offsetof(FWHeader, type) == devlib::fw::kOffType);
static_assert(offsetof(FWHeader, signature) == devlib::fw::kOffSignature);
static_assert(offsetof(FWHeader, header_sum) == devlib::fw::kOffHeaderSum);
static_assert(offsetof(FWHeader, total_len) == devlib::fw::kOffTotal);
static_assert(offsetof(FWHeader, section_len) == devlib::fw::kOffLen);
static_assert(offsetof(FWHeader, section_sum) == devlib::fw::kOffSum);
static_assert(offsetof(FWHeader, vendor) == devlib::fw::kOffVendor);
static_assert(offsetof(FWHeader, reserved2) == 104);

namespace devlib::fw {
namespace {

struct TypeRule {
    char type;
    unsigned present; // bit i: section i + 1 carried
    bool compare;     // product and vendor compared with the flash header
};

constexpr TypeRule kTypes[] = {
    {'A', 0b1010, true}, {'B', 0b0001, false}, {'F', 0b1110, true},
    {'K', 0b0100, true}, {'R', 0b1111, false}, {'S', 0b1111, true},
};

const TypeRule *find_type(char type)
{
    for (const TypeRule &t : kTypes)
        if (t.type == type)
            return &t;
    return nullptr;
}

void syslog_sink(int priority, const char *text) { syslog(priority, "%s", text); }

LogSink g_sink = syslog_sink;

const char *text(const unsigned char *p) { return reinterpret_cast<const char *>(p); }

// Sums whole machine words, one byte per 16-bit lane in each of two
// accumulators: 256 words keep every lane below 65536 until it is folded.
using Word = unsigned long;
constexpr Word kLanes = ~Word{0} / 0xFFFF;              // 0x0001 in every 16-bit lane
constexpr Word kLowBytes = kLanes * 0xFF;               // 0x00FF in every 16-bit lane
constexpr Word kLow16 = ~Word{0} / 0xFFFFFFFF * 0xFFFF; // 0x0000FFFF in every 32-bit lane
constexpr std::size_t kFoldWords = 256;

std::uint32_t fold(Word acc)
{
    Word pairs = (acc & kLow16) + ((acc >> 16) & kLow16);
    // Two 32-bit halves on a 64-bit host, one on the router.
    return static_cast<std::uint32_t>(pairs) + static_cast<std::uint32_t>(pairs >> 16 >> 16);
}

} // namespace

std::uint32_t byte_sum(const unsigned char *p, std::size_t n)
{
    std::uint32_t sum = 0;
    while (n != 0 && reinterpret_cast<std::uintptr_t>(p) % sizeof(Word) != 0) {
        sum += *p++;
        n--;
    }
    const auto *w = static_cast<const Word *>(__builtin_assume_aligned(p, sizeof(Word)));
    std::size_t words = n / sizeof(Word);
    while (words != 0) {
        std::size_t block = words < kFoldWords ? words : kFoldWords;
        Word a = 0;
        Word b = 0;
        for (std::size_t i = 0; i < block; i++) {
            Word v;
            std::memcpy(&v, w + i, sizeof v);
            a += v & kLowBytes;
            b += (v >> 8) & kLowBytes;
        }
        sum += fold(a) + fold(b);
        w += block;
        words -= block;
    }
    p = reinterpret_cast<const unsigned char *>(w);
    for (std::size_t i = 0; i < n % sizeof(Word); i++)
        sum += p[i];
    return sum;
}

std::uint32_t header_sum(const unsigned char *header)
{
    return byte_sum(header, kOffHeaderSum) + byte_sum(header + kOffTotal, kHeaderSize - kOffTotal);
}

void set_log_sink(LogSink sink) { g_sink = sink != nullptr ? sink : syslog_sink; }

void log_info(const char *format, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    g_sink(LOG_INFO, line);
}

bool read_flash_header(unsigned char (&buf)[kFlashHeaderSize])
{
    std::memset(buf, 0, sizeof buf);
    UniqueFd fd(::open(DevPath(kFlashHeaderPath), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        log_info("%s can not open ..\n", kFlashHeaderPath);
        return false;
    }
    // Whatever a short or failed read leaves out stays 0.
    std::size_t got = 0;
    while (got < sizeof buf) {
        ssize_t r = ::read(fd.get(), buf + got, sizeof buf - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

int check_header(const unsigned char *h, const unsigned char *flash)
{
    if (std::memcmp(h + kOffSignature, kSignature, sizeof kSignature - 1) != 0) {
        log_info("file signature error ..\n");
        return -1;
    }
    const TypeRule *rule = find_type(static_cast<char>(h[kOffType]));
    if (rule == nullptr) {
        log_info("file type does not support ..\n");
        return -1;
    }
    if (h[kOffProduct] != 0 && rule->compare) {
        // Both texts are bounded by their field: a name without its NUL is
        // compared on its 16 bytes, never past them.
        if (flash[kOffProduct] != 0 && std::strncmp(text(h + kOffProduct), text(flash + kOffProduct), 16) != 0) {
            log_info("product error ..\n");
            return -1;
        }
        if (std::strncmp(text(h + kOffVendor), text(flash + kOffVendor), 4) != 0) {
            // Each text runs to its NUL, but never past the header or the 120 bytes read.
            int image_len = static_cast<int>(strnlen(text(h + kOffVendor), kHeaderSize - kOffVendor));
            int flash_len = static_cast<int>(strnlen(text(flash + kOffVendor), kFlashHeaderSize - kOffVendor));
            log_info("wrong vendor ..: %.*s : %.*s", image_len, text(h + kOffVendor), flash_len,
                     text(flash + kOffVendor));
            return -1;
        }
    }
    std::uint32_t sum = header_sum(h);
    bool sound = true;
    std::uint64_t lengths = 0;
    for (int i = 0; i < 4; i++) {
        std::uint32_t len = section_len(h, i);
        bool present = (rule->present >> i & 1) != 0;
        if (present != (len != 0))
            sound = false;
        if (len == 0 && section_sum(h, i) != 0)
            sound = false;
        lengths += len;
    }
    if (section_len(h, 0) > kSection1Max || section_len(h, 1) > kSection2Max)
        sound = false;
    if (lengths != be32(h + kOffTotal))
        sound = false;
    if (sum != be32(h + kOffHeaderSum))
        sound = false;
    if (!sound) {
        log_info("firmware error ..\n");
        return -2;
    }
    return 0;
}

int verify_image(const unsigned char *image, std::size_t length, const unsigned char *flash, Layout *layout)
{
    // A buffer too short to hold a header is not read as one.
    if (length < kHeaderSize)
        return -2;
    int r = check_header(image, flash);
    if (r != 0)
        return r;
    if (length != kHeaderSize + std::uint64_t{be32(image + kOffTotal)})
        return -2;
    std::size_t start[4];
    std::uint32_t len[4];
    std::size_t pos = kHeaderSize;
    for (int i = 0; i < 4; i++) {
        len[i] = section_len(image, i);
        start[i] = pos;
        if (len[i] == 0)
            continue;
        if (len[i] > length - pos || byte_sum(image + pos, len[i]) != section_sum(image, i))
            return -2;
        pos += len[i];
    }

    Layout l{};
    l.header_write = -1;
    auto add = [&l](const char *partition, std::uint32_t offset, std::size_t from, std::size_t n) {
        l.writes[l.count++] = FlashWrite{partition, offset, from, n};
    };
    if (len[0] != 0) {
        // A section 1 shorter than the boot block is written as it is: never
        // the bytes behind it.
        add("/dev/mtd0", 0, start[0], len[0] < kBootBlock ? len[0] : kBootBlock);
        if (len[0] > kBootBlock)
            add("/dev/mtd4", 0, start[0] + kBootBlock, len[0] - kBootBlock);
    }
    if (len[1] != 0)
        add("/dev/mtd2", 0, start[1], len[1]);
    if (len[2] != 0) {
        l.header_at = start[2] - kHeaderSize;
        l.header_write = l.count;
        add("/dev/mtd5", 0, l.header_at, kHeaderSize + len[2]);
    }
    if (len[3] != 0) {
        // Section 4 sits on the first 64 KiB boundary behind header and section 3.
        // Without a section 3 in the image that is the section 3 already in flash.
        std::uint64_t base = len[2] != 0 ? len[2] : be32(flash + kOffLen + 8);
        std::uint64_t offset = (base + 0x10080) & ~std::uint64_t{0xFFFF};
        if (offset > INT_MAX)
            return -2;
        add("/dev/mtd5", static_cast<std::uint32_t>(offset), start[3], len[3]);
    }
    if (layout != nullptr)
        *layout = l;
    return 0;
}

} // namespace devlib::fw

using namespace devlib::fw;

extern "C" int checkFWHeader(const FWHeader *header)
{
    unsigned char flash[kFlashHeaderSize];
    if (!read_flash_header(flash))
        return -2;
    return check_header(reinterpret_cast<const unsigned char *>(header), flash);
}

extern "C" int GetFWSection2Sum(void)
{
    unsigned char flash[kFlashHeaderSize];
    if (!read_flash_header(flash))
        return -2;
    return static_cast<int>(section_sum(flash, 1));
}
