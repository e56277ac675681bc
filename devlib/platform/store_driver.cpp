#include "platform/store_driver.h"

#include "store/image.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devlib::store {
namespace {

int sys_open(const char *path)
{
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && image::attach(fd) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

void *sys_map(int fd, std::size_t len)
{
    if (image::is_image(fd))
        return image::map(fd, len);
    return ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
}

ssize_t sys_read(int fd, void *buf, std::size_t n)
{
    return image::is_image(fd) ? image::read(fd, buf, n) : ::read(fd, buf, n);
}

ssize_t sys_write(int fd, const void *buf, std::size_t n)
{
    return image::is_image(fd) ? image::write(fd, buf, n) : ::write(fd, buf, n);
}

int sys_ioctl(int fd, unsigned long req, void *arg)
{
    return image::is_image(fd) ? image::ioctl(fd, req, arg) : ::ioctl(fd, req, arg);
}

int sys_close(int fd)
{
    image::detach(fd);
    return ::close(fd);
}

constexpr Driver kSystem = {sys_open, sys_map, sys_read, sys_write, sys_ioctl, sys_close};
const Driver *g_driver = &kSystem;

} // namespace

const Driver &driver() { return *g_driver; }
void set_driver(const Driver *d) { g_driver = d != nullptr ? d : &kSystem; }

} // namespace devlib::store
