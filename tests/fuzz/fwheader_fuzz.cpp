// The firmware header check and the verification of an upgrade over any
// image and flash header. Input: 1 byte n (taken modulo 121), n bytes of the
// flash header (the rest of its 120 bytes are 0, as after a short read), then
// the image. Both sit in buffers of exactly their size.
#include "persist/fwheader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fw = devlib::fw;

namespace {

void quiet(int, const char *) {}

void require(bool ok)
{
    if (!ok)
        __builtin_trap();
}

std::uint32_t plain_sum(const unsigned char *p, std::size_t n)
{
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < n; i++)
        s += p[i];
    return s;
}

// What an accepted image must be, checked the plain way.
void check_accepted(const unsigned char *img, std::size_t len, const fw::Layout &l)
{
    require(len >= fw::kHeaderSize);
    std::uint64_t total = 0;
    for (int i = 0; i < 4; i++)
        total += fw::section_len(img, i);
    require(total == fw::be32(img + fw::kOffTotal));
    require(len == fw::kHeaderSize + total);
    require(plain_sum(img, 60) + plain_sum(img + 64, 64) == fw::be32(img + fw::kOffHeaderSum));
    std::size_t pos = fw::kHeaderSize;
    for (int i = 0; i < 4; i++) {
        std::uint32_t n = fw::section_len(img, i);
        require(n == 0 ? fw::section_sum(img, i) == 0 : plain_sum(img + pos, n) == fw::section_sum(img, i));
        pos += n;
    }
    require(l.count >= 0 && l.count <= 5);
    for (int i = 0; i < l.count; i++)
        require(l.writes[i].start <= len && l.writes[i].length <= len - l.writes[i].start);
    if (l.header_write >= 0)
        require(l.header_at + fw::kHeaderSize <= len);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fw::set_log_sink(quiet);
    if (size == 0)
        return 0;
    std::size_t n = data[0] % (fw::kFlashHeaderSize + 1);
    data++;
    size--;
    if (n > size)
        n = size;
    std::vector<unsigned char> flash(fw::kFlashHeaderSize, 0);
    std::memcpy(flash.data(), data, n);
    std::vector<unsigned char> image(data + n, data + size);
    const unsigned char *img = image.empty() ? nullptr : image.data();

    if (image.size() >= fw::kHeaderSize) {
        int r = fw::check_header(img, flash.data());
        require(r == 0 || r == -1 || r == -2);
    }
    fw::Layout layout{};
    int r = fw::verify_image(img, image.size(), flash.data(), &layout);
    require(r == 0 || r == -1 || r == -2);
    if (r == 0)
        check_accepted(img, image.size(), layout);
    return 0;
}
