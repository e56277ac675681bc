// Firmware images for the tests, made by the image tool's builder.
#pragma once

#include "persist/fwheader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace fwtest {

using Bytes = std::vector<unsigned char>;

inline std::uint32_t be32_at(const Bytes &b, std::size_t off)
{
    return std::uint32_t{b[off]} << 24 | std::uint32_t{b[off + 1]} << 16 | std::uint32_t{b[off + 2]} << 8 | b[off + 3];
}

inline void set_be32(Bytes &b, std::size_t off, std::uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// Refills the header checksum, counted the plain way, after a patch.
inline void resum(Bytes &image)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 128; i++)
        if (i < 60 || i >= 64)
            sum += image[i];
    set_be32(image, 60, sum);
}

// Section contents that differ from section to section.
inline Bytes section_bytes(std::uint32_t n, int seed)
{
    Bytes b(n);
    for (std::uint32_t i = 0; i < n; i++)
        b[i] = static_cast<unsigned char>(i * 7 + seed * 31 + (i >> 8));
    return b;
}

struct Image {
    char type;
    const char *product;
    const char *vendor;
    std::uint32_t len[4];
};

// A sound image: header and sections.
inline Bytes build(const Image &im)
{
    Bytes sec[4];
    devlib::fw::ImageSpec spec{};
    spec.type = im.type;
    spec.product = im.product;
    spec.vendor = im.vendor;
    for (int i = 0; i < 4; i++) {
        sec[i] = section_bytes(im.len[i], i + 1);
        spec.length[i] = im.len[i];
        spec.section[i] = sec[i].data();
    }
    unsigned char header[128];
    EXPECT_TRUE(devlib::fw::make_header(spec, header));
    Bytes out(header, header + 128);
    for (auto &s : sec)
        out.insert(out.end(), s.begin(), s.end());
    return out;
}

} // namespace fwtest
