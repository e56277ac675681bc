// Firmware upgrade: verify, then commit or erase the configuration, tear
// down, write the flash partitions and restart.
#include "devlib.h"
#include "persist/fwheader.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace devlib::fw {
namespace {

// From here on there is no way back: the device always ends in a restart.
[[noreturn]] void write_image(unsigned char *image, const Layout &layout, int erase)
{
    if (erase != 0)
        clearConfig();
    else
        saveConfig(0);
    TerminateAllLinks(1);
    ::sleep(1);
    buf_to_file("/proc/GPIOUSER/sysokled", "2");
    for (int i = 0; i < layout.count; i++) {
        const FlashWrite &w = layout.writes[i];
        // The header goes in front of section 3, over bytes already written;
        // memmove keeps it whole where the two overlap (sections 1 and 2
        // together shorter than a header).
        if (i == layout.header_write && layout.header_at != 0)
            std::memmove(image + layout.header_at, image, kHeaderSize);
        mtd_write(w.partition, static_cast<int>(w.offset), image + w.start, static_cast<int>(w.length));
    }
    ::kill(1, SIGTERM);
    for (;;)
        ::pause();
}

} // namespace

int verify_upgrade(const unsigned char *image, std::size_t length, Layout *layout)
{
    if (length < kHeaderSize)
        return -2;
    unsigned char flash[kFlashHeaderSize];
    if (!read_flash_header(flash))
        return -2;
    return verify_image(image, length, flash, layout);
}

} // namespace devlib::fw

extern "C" int UpgradeFirmware(char *image, int length, int erase)
{
    if (image == nullptr || length < 0)
        return -2;
    auto *bytes = reinterpret_cast<unsigned char *>(image);
    devlib::fw::Layout layout;
    int r = devlib::fw::verify_upgrade(bytes, static_cast<std::size_t>(length), &layout);
    if (r != 0)
        return r;
    devlib::fw::write_image(bytes, layout, erase);
}
