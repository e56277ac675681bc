// Making an image header: the image tool's side of the format.
#include "persist/fwheader.h"

#include <cstring>

namespace devlib::fw {

bool make_header(const ImageSpec &spec, unsigned char (&header)[kHeaderSize])
{
    std::memset(header, 0, sizeof header);
    std::size_t product = spec.product != nullptr ? std::strlen(spec.product) : 0;
    std::size_t vendor = spec.vendor != nullptr ? std::strlen(spec.vendor) : 0;
    if (product > 15 || vendor > 4)
        return false;
    std::uint64_t total = 0;
    for (int i = 0; i < 4; i++)
        total += spec.length[i];
    if (total > 0xFFFFFFFF)
        return false;
    if (product != 0)
        std::memcpy(header + kOffProduct, spec.product, product);
    header[kOffType] = static_cast<unsigned char>(spec.type);
    std::memcpy(header + kOffSignature, kSignature, sizeof kSignature - 1);
    put_be32(header + kOffTotal, static_cast<std::uint32_t>(total));
    for (int i = 0; i < 4; i++) {
        put_be32(header + kOffLen + 4 * i, spec.length[i]);
        if (spec.length[i] != 0)
            put_be32(header + kOffSum + 4 * i, byte_sum(spec.section[i], spec.length[i]));
    }
    if (vendor != 0)
        std::memcpy(header + kOffVendor, spec.vendor, vendor);
    put_be32(header + kOffHeaderSum, header_sum(header));
    return true;
}

} // namespace devlib::fw
