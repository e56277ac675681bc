// Layout of the store image. Every integer field is little-endian, whatever
// the processor: the same file is used by host tools and by big-endian mips
// binaries under qemu. Only the value offset handed to the client is native.
//
//   0x00000  Header (64 bytes)
//   0x00040  kBuckets bucket heads: offset of the first record of the chain, 0 = none
//   ...      allocation bitmap, one bit per kGranule bytes of the data area
//   ...      data area: records, each kGranule-aligned
//   kDataEnd zero bytes up to kImageSize, so any offset in the map reads a terminated string
//
// A record is RecordHead, the name, NUL, the value, NUL, zero padding. Records are
// never changed once published, except the chain link `next`; a new value is a new
// record. Dead records are reclaimed only by the free request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace devlib::store::image {

class Le32 {
public:
    std::uint32_t get() const { return swap(__atomic_load_n(&raw_, __ATOMIC_ACQUIRE)); }
    void set(std::uint32_t v) { __atomic_store_n(&raw_, swap(v), __ATOMIC_RELEASE); }

private:
    static std::uint32_t swap(std::uint32_t v)
    {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return __builtin_bswap32(v);
#else
        return v;
#endif
    }
    std::uint32_t raw_;
};

inline constexpr char kMagic[8] = {'N', 'V', 'R', 'A', 'M', 'I', 'M', 'G'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint32_t kImageSize = 0x40000;
inline constexpr std::uint32_t kBuckets = 2048; // a power of two
inline constexpr std::uint32_t kGranule = 8;

struct Header {
    char magic[8];
    Le32 version;
    Le32 image_size;
    Le32 bucket_count;
    Le32 granule;
    Le32 data_offset;
    Le32 data_end;
    Le32 generation; // bumped by each free: dead records may be reused from then on
    Le32 reserved[7];
};

struct RecordHead {
    Le32 next;
    Le32 name_len;  // without the NUL
    Le32 value_len; // without the NUL
};

inline constexpr std::uint32_t kBucketOffset = sizeof(Header);
inline constexpr std::uint32_t kBitmapOffset = kBucketOffset + kBuckets * 4;
inline constexpr std::uint32_t kGranules = 31232;
inline constexpr std::uint32_t kDataOffset = kBitmapOffset + kGranules / 8;
inline constexpr std::uint32_t kDataEnd = kDataOffset + kGranules * kGranule;
// The smallest record ("A=" and its padding) bounds the length of any chain.
inline constexpr std::uint32_t kMinRecord = 16;
inline constexpr std::uint32_t kMaxRecords = (kDataEnd - kDataOffset) / kMinRecord;

static_assert(sizeof(Le32) == 4 && alignof(Le32) == 4);
static_assert(sizeof(Header) == 64);
static_assert(sizeof(RecordHead) == 12);
static_assert(sizeof(RecordHead) + 4 <= kMinRecord);
static_assert((kBuckets & (kBuckets - 1)) == 0);
static_assert(kGranules % 8 == 0 && kDataOffset % kGranule == 0);
static_assert(kDataEnd < kImageSize);

} // namespace devlib::store::image
