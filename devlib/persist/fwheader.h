// Firmware image header: decoding, the header check and the verification of a
// whole image, shared by the library, the image tool, the fuzzer and the bench.
#pragma once

#include <cstddef>
#include <cstdint>

namespace devlib::fw {

inline constexpr std::size_t kHeaderSize = 128;
inline constexpr std::size_t kFlashHeaderSize = 120; // the part of the flash header that is read
inline constexpr const char *kFlashHeaderPath = "/dev/mtd5";
inline constexpr char kSignature[] = "abcde1234567890";
inline constexpr std::uint32_t kSection1Max = 0x12000;
inline constexpr std::uint32_t kSection2Max = 0x4000;
inline constexpr std::uint32_t kBootBlock = 8192; // section 1 bytes that go to mtd0

// Header offsets.
inline constexpr std::size_t kOffProduct = 24;
inline constexpr std::size_t kOffType = 40;
inline constexpr std::size_t kOffSignature = 41;
inline constexpr std::size_t kOffHeaderSum = 60;
inline constexpr std::size_t kOffTotal = 64;
inline constexpr std::size_t kOffLen = 68; // four words
inline constexpr std::size_t kOffSum = 84; // four words
inline constexpr std::size_t kOffVendor = 100;

// Words are big-endian on every host.
constexpr std::uint32_t be32(const unsigned char *p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
constexpr void put_be32(unsigned char *p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}
constexpr std::uint32_t section_len(const unsigned char *h, int i) { return be32(h + kOffLen + 4 * i); }
constexpr std::uint32_t section_sum(const unsigned char *h, int i) { return be32(h + kOffSum + 4 * i); }

// Sum of n bytes, each 0 to 255, modulo 2^32.
std::uint32_t byte_sum(const unsigned char *p, std::size_t n);
// Sum of the header bytes less the header checksum word.
std::uint32_t header_sum(const unsigned char *header);

// Reads the first 120 bytes of the flash header into buf (zero-filled first).
// False, logged, when "/dev/mtd5" cannot be opened.
bool read_flash_header(unsigned char (&buf)[kFlashHeaderSize]);
// checkFWHeader after the flash header has been read.
int check_header(const unsigned char *header, const unsigned char *flash);

// One write of the upgrade: length bytes of the image from start, to partition at offset.
struct FlashWrite {
    const char *partition;
    std::uint32_t offset;
    std::size_t start;
    std::size_t length;
};

// What the upgrade writes, in order. When header_at is not 0 the 128 header
// bytes are first moved there, in front of section 3, before write header_write.
struct Layout {
    FlashWrite writes[5];
    int count;
    std::size_t header_at;
    int header_write; // index of the write that starts with the header, -1 for none
};

// The verification of an upgrade: header, exact length and section sums, then
// the layout. Reads only image[0, length) and flash[0, 120). 0, -1 or -2.
int verify_image(const unsigned char *image, std::size_t length, const unsigned char *flash, Layout *layout);

// The verification phase of UpgradeFirmware: verify_image against the flash
// header in "/dev/mtd5". Changes nothing.
int verify_upgrade(const unsigned char *image, std::size_t length, Layout *layout);

// What an image is made of, for the image tool and the tests.
struct ImageSpec {
    char type;
    const char *product; // at most 15 characters; null for none
    const char *vendor;  // at most 4 characters; null for none
    std::uint32_t length[4];
    const unsigned char *section[4]; // null where length is 0
};
// Fills a sound header for spec: signature, lengths, total, section sums and
// header sum. False when a text is too long or the lengths overflow 32 bits.
bool make_header(const ImageSpec &spec, unsigned char (&header)[kHeaderSize]);

// Where the messages of the firmware operations go: syslog at priority 6
// unless a sink is installed (the image tool prints them; tests record them).
using LogSink = void (*)(int priority, const char *text);
void set_log_sink(LogSink sink);
void log_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace devlib::fw
