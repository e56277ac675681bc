// The store image: a regular file standing in for the kernel driver, with the
// same records and results. Used when "/dev/nvram" is a regular file.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace devlib::store::image {

// Takes fd (open read-write on a regular file) as an image; formats an empty
// file. 0, or -1 with errno when the file is not a usable image.
int attach(int fd);
bool is_image(int fd);
void *map(int fd, std::size_t len);
ssize_t read(int fd, void *buf, std::size_t n);
ssize_t write(int fd, const void *buf, std::size_t n);
int ioctl(int fd, unsigned long req, void *arg);
void detach(int fd);

} // namespace devlib::store::image
