// Placeholder: no image support yet; a regular file is refused.
#include "store/image.h"

#include <cerrno>
#include <sys/mman.h>

namespace devlib::store::image {

int attach(int)
{
    errno = ENODEV;
    return -1;
}
bool is_image(int) { return false; }
void *map(int, std::size_t) { return MAP_FAILED; }
ssize_t read(int, void *, std::size_t) { return -1; }
ssize_t write(int, const void *, std::size_t) { return -1; }
int ioctl(int, unsigned long, void *) { return -1; }
void detach(int) {}

} // namespace devlib::store::image
