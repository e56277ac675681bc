// The seam between the store client and the store driver. The default driver
// talks to the kernel driver when "/dev/nvram" is a character device and to a
// store image when it is a regular file. Tests install their own.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace devlib::store {

inline constexpr std::size_t kMapSize = 0x40000;
inline constexpr unsigned long kReqFree = 16;
inline constexpr unsigned long kReqDump = 32;

struct Driver {
    int (*open)(const char *path);                         // open read-write; fd or -1 with errno
    void *(*map)(int fd, std::size_t len);                 // read-only shared map at 0; MAP_FAILED on failure
    ssize_t (*read)(int fd, void *buf, std::size_t n);     // lookup record
    ssize_t (*write)(int fd, const void *buf, std::size_t n); // set/unset record
    int (*ioctl)(int fd, unsigned long req, void *arg);     // 16 free, 32 dump to path
    int (*close)(int fd);
};

const Driver &driver();
// Installs d (null restores the default). Test use only.
void set_driver(const Driver *d);
// Forgets the client's descriptor and mapping as if the process had just started. Test use only.
void reset_client();

} // namespace devlib::store
