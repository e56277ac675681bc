// The store image: a regular file that stands in for the kernel driver.
//
// Writers (set, unset, free, format) hold an exclusive fcntl lock; fcntl locks
// belong to the process, so they also exclude a child that inherited the
// descriptor. Lookups take no lock: records are published by one 32-bit store
// and never change afterwards, and the only reuse of space comes after a free,
// which bumps the header's generation; a lookup that sees the generation move
// is repeated under a shared lock. Every offset read from the file is checked
// against the layout before it is followed.
#include "store/image.h"

#include "store/image_format.h"
#include "util/fd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devlib::store::image {
namespace {

// The images this process has open; the client needs one. A descriptor that
// is not in the table never reaches the file's bytes as an image.
struct Attached {
    int fd;
    char *base; // our own writable shared mapping of the image
};
constexpr int kSlots = 4;
Attached g_imgs[kSlots] = {{-1, nullptr}, {-1, nullptr}, {-1, nullptr}, {-1, nullptr}};

Attached *slot(int fd)
{
    for (Attached &a : g_imgs)
        if (a.fd == fd)
            return &a;
    return nullptr;
}
char *base_of(int fd)
{
    Attached *a = fd >= 0 ? slot(fd) : nullptr;
    return a != nullptr ? a->base : nullptr;
}

class FileLock {
public:
    FileLock(int fd, short type) : fd_(fd) { ok_ = setlk(type) == 0; }
    ~FileLock()
    {
        if (ok_) {
            int e = errno;
            setlk(F_UNLCK);
            errno = e;
        }
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool ok() const { return ok_; }

private:
    int setlk(short type)
    {
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        int r;
        do
            r = ::fcntl(fd_, F_SETLKW, &fl);
        while (r != 0 && errno == EINTR);
        return r;
    }
    int fd_;
    bool ok_;
};

Header *header(char *base) { return reinterpret_cast<Header *>(base); }
Le32 *link_at(char *base, std::uint32_t off) { return reinterpret_cast<Le32 *>(base + off); }
Le32 *bucket(char *base, std::uint32_t i) { return link_at(base, kBucketOffset + 4 * i); }
std::uint8_t *bitmap(char *base) { return reinterpret_cast<std::uint8_t *>(base + kBitmapOffset); }

struct Rec {
    std::uint32_t off;
    std::uint32_t name_len;
    std::uint32_t value_len;
    const char *name;
    const char *value;
    std::uint32_t size() const { return sizeof(RecordHead) + name_len + 1 + value_len + 1; }
    std::uint32_t value_off() const { return off + sizeof(RecordHead) + name_len + 1; }
};

// The record at off, when it lies wholly inside the data area with both strings terminated.
bool record_at(char *base, std::uint32_t off, Rec *r)
{
    if (off < kDataOffset || off > kDataEnd - sizeof(RecordHead) || off % kGranule != 0)
        return false;
    const auto *h = reinterpret_cast<const RecordHead *>(base + off);
    std::uint64_t nl = h->name_len.get();
    std::uint64_t vl = h->value_len.get();
    if (off + sizeof(RecordHead) + nl + 1 + vl + 1 > kDataEnd)
        return false;
    const char *name = base + off + sizeof(RecordHead);
    if (name[nl] != '\0' || name[nl + 1 + vl] != '\0')
        return false;
    *r = {off, static_cast<std::uint32_t>(nl), static_cast<std::uint32_t>(vl), name, name + nl + 1};
    return true;
}

std::uint32_t hash(const char *s, std::size_t n)
{
    std::uint32_t h = 2166136261u; // FNV-1a
    for (std::size_t i = 0; i < n; i++)
        h = (h ^ static_cast<unsigned char>(s[i])) * 16777619u;
    return h & (kBuckets - 1);
}

// Calls f(link, rec) for each record of a chain, link being the field that
// points at it. False when the chain leaves the layout or does not end.
template <class F> bool walk(char *base, std::uint32_t b, F f)
{
    Le32 *link = bucket(base, b);
    for (std::uint32_t steps = 0;; steps++) {
        std::uint32_t off = link->get();
        if (off == 0)
            return true;
        Rec r;
        if (steps == kMaxRecords || !record_at(base, off, &r))
            return false;
        if (!f(link, r))
            return true;
        link = link_at(base, off);
    }
}

// Finds name in its chain; false when absent or the chain is damaged.
bool find(char *base, const char *name, std::size_t nl, Le32 **link, Rec *found)
{
    bool hit = false;
    walk(base, hash(name, nl), [&](Le32 *l, const Rec &r) {
        if (r.name_len == nl && std::memcmp(r.name, name, nl) == 0) {
            *link = l;
            *found = r;
            hit = true;
            return false;
        }
        return true;
    });
    return hit;
}

// What the dump can carry: names that ParseNameValue reads back whole, values
// without line ends, and a value with a quote only when it can go unquoted.
bool name_ok(const char *s, std::size_t n)
{
    if (n == 0 || s[0] == '#')
        return false;
    for (std::size_t i = 0; i < n; i++)
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n' || s[i] == '=')
            return false;
    return true;
}
enum class Form { kQuoted, kPlain, kNone };
Form value_form(const char *v)
{
    if (std::strpbrk(v, "\r\n") != nullptr)
        return Form::kNone;
    if (std::strchr(v, '"') == nullptr)
        return Form::kQuoted;
    return v[0] == ' ' || v[0] == '\t' || v[0] == '"' ? Form::kNone : Form::kPlain;
}

bool used(const std::uint8_t *bits, std::uint32_t g) { return (bits[g / 8] >> (g % 8)) & 1; }
void mark(std::uint8_t *bits, std::uint32_t first, std::uint32_t count)
{
    for (std::uint32_t g = first; g < first + count; g++)
        bits[g / 8] |= static_cast<std::uint8_t>(1u << (g % 8));
}
std::uint32_t granules(std::uint32_t size) { return (size + kGranule - 1) / kGranule; }

// The first run of want free granules in [from, to), or to when there is none.
std::uint32_t fit(const std::uint8_t *bits, std::uint32_t from, std::uint32_t to, std::uint32_t want)
{
    std::uint32_t run = 0;
    for (std::uint32_t g = from; g < to; g++) {
        if (g % 8 == 0 && g + 8 <= to && bits[g / 8] == 0xFF) {
            run = 0;
            g += 7;
            continue;
        }
        run = used(bits, g) ? 0 : run + 1;
        if (run == want)
            return g + 1 - want;
    }
    return to;
}

// Next fit from where this process last allocated, so that filling the log
// does not rescan it; 0 when no run of free granules is long enough.
std::uint32_t allocate(char *base, std::uint32_t size)
{
    static std::uint32_t hint = 0;
    std::uint8_t *bits = bitmap(base);
    std::uint32_t want = granules(size);
    std::uint32_t first = fit(bits, hint, kGranules, want);
    if (first == kGranules) {
        std::uint32_t wrap = std::min(hint + want, kGranules);
        first = fit(bits, 0, wrap, want);
        if (first == wrap)
            return 0;
    }
    mark(bits, first, want);
    hint = first + want;
    return kDataOffset + first * kGranule;
}

void format(char *base)
{
    Header *h = header(base);
    h->version.set(kVersion);
    h->image_size.set(kImageSize);
    h->bucket_count.set(kBuckets);
    h->granule.set(kGranule);
    h->data_offset.set(kDataOffset);
    h->data_end.set(kDataEnd);
    h->generation.set(0);
    // The magic goes last: an image cut short while formatting is refused, not trusted.
    __atomic_thread_fence(__ATOMIC_RELEASE);
    std::memcpy(h->magic, kMagic, sizeof kMagic);
}

bool header_ok(char *base)
{
    Header *h = header(base);
    return std::memcmp(h->magic, kMagic, sizeof kMagic) == 0 && h->version.get() == kVersion &&
           h->image_size.get() == kImageSize && h->bucket_count.get() == kBuckets &&
           h->granule.get() == kGranule && h->data_offset.get() == kDataOffset &&
           h->data_end.get() == kDataEnd;
}

bool chains_ok(char *base)
{
    for (std::uint32_t b = 0; b < kBuckets; b++) {
        bool in_bucket = true;
        bool ok = walk(base, b, [&](Le32 *, const Rec &r) {
            in_bucket = hash(r.name, r.name_len) == b;
            return in_bucket;
        });
        if (!ok || !in_bucket)
            return false;
    }
    return true;
}

bool valid_text(const char *buf, std::size_t n)
{
    return n > 0 && std::memchr(buf, '\0', n) == buf + n - 1;
}

ssize_t fail(int e)
{
    errno = e;
    return -1;
}

ssize_t lookup(char *base, char *buf, std::size_t n)
{
    Le32 *link;
    Rec r;
    if (!find(base, buf, n - 1, &link, &r))
        return fail(ENOENT);
    std::uint32_t off = r.value_off(); // native order, as the kernel driver returns it
    std::memcpy(buf, &off, sizeof off);
    return 4;
}

ssize_t set(char *base, const char *name, std::size_t nl, const char *value, std::size_t n)
{
    std::size_t vl = std::strlen(value);
    Le32 *link = nullptr;
    Rec old;
    bool had = find(base, name, nl, &link, &old);
    if (had && old.value_len == vl && std::memcmp(old.value, value, vl) == 0)
        return static_cast<ssize_t>(n); // same text: keep the record, and every pointer to it
    if (sizeof(RecordHead) + nl + vl + 2 > kDataEnd - kDataOffset)
        return fail(ENOSPC);
    std::uint32_t size = static_cast<std::uint32_t>(sizeof(RecordHead) + nl + vl + 2);
    std::uint32_t off = allocate(base, size);
    if (off == 0)
        return fail(ENOSPC);
    std::memset(base + off, 0, granules(size) * kGranule);
    auto *h = reinterpret_cast<RecordHead *>(base + off);
    h->name_len.set(static_cast<std::uint32_t>(nl));
    h->value_len.set(static_cast<std::uint32_t>(vl));
    char *text = base + off + sizeof(RecordHead);
    std::memcpy(text, name, nl);
    std::memcpy(text + nl + 1, value, vl);
    if (had) {
        h->next.set(link_at(base, old.off)->get());
    } else {
        link = bucket(base, hash(name, nl));
        h->next.set(link->get());
    }
    link->set(off); // publishes the whole record
    return static_cast<ssize_t>(n);
}

ssize_t unset(char *base, const char *name, std::size_t nl, std::size_t n)
{
    Le32 *link;
    Rec old;
    if (find(base, name, nl, &link, &old))
        link->set(link_at(base, old.off)->get());
    return static_cast<ssize_t>(n);
}

// Reclaims the space of replaced and removed records. Live records stay where
// they are, so pointers to current values remain valid. The new bitmap is
// built aside and copied over the old: both mark every live record, so a copy
// cut short by a crash still does.
int release(char *base)
{
    std::uint8_t bits[kGranules / 8] = {};
    for (std::uint32_t b = 0; b < kBuckets; b++) {
        walk(base, b, [&](Le32 *, const Rec &r) {
            mark(bits, (r.off - kDataOffset) / kGranule, granules(r.size()));
            return true;
        });
    }
    Header *h = header(base);
    h->generation.set(h->generation.get() + 1);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    std::memcpy(bitmap(base), bits, sizeof bits);
    return 0;
}

int write_lines(FILE *f, char *base, const std::uint32_t *offs, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; i++) {
        Rec r;
        record_at(base, offs[i], &r);
        Form form = value_form(r.value);
        if (form == Form::kNone || !name_ok(r.name, r.name_len))
            continue; // only a damaged image holds such a pair
        const char *q = form == Form::kQuoted ? "\"" : "";
        if (std::fprintf(f, "%s=%s%s%s\n", r.name, q, r.value, q) < 0)
            return -1;
    }
    return 0;
}

// Writes every pair, sorted by name, to a temporary file beside path and
// renames it over path: a failed dump leaves the old file as it was.
int dump(char *base, const char *path)
{
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    char tmp[PATH_MAX];
    int n = std::snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof tmp) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::uint32_t count = 0;
    for (std::uint32_t b = 0; b < kBuckets; b++)
        walk(base, b, [&](Le32 *, const Rec &) { return ++count, true; });
    auto *offs = static_cast<std::uint32_t *>(std::malloc((count + 1) * sizeof(std::uint32_t)));
    if (offs == nullptr)
        return -1;
    std::uint32_t k = 0;
    for (std::uint32_t b = 0; b < kBuckets; b++)
        walk(base, b, [&](Le32 *, const Rec &r) { return k < count && (offs[k++] = r.off, true); });
    std::sort(offs, offs + k, [base](std::uint32_t a, std::uint32_t b) {
        return std::strcmp(base + a + sizeof(RecordHead), base + b + sizeof(RecordHead)) < 0;
    });

    int r = -1;
    UniqueFd fd(::mkostemp(tmp, O_CLOEXEC));
    if (fd.ok()) {
        ::fchmod(fd.get(), 0644);
        UniqueFile f(::fdopen(fd.get(), "w"));
        if (f) {
            (void)fd.release();
            if (write_lines(f.get(), base, offs, k) == 0 && std::fflush(f.get()) == 0 &&
                ::fsync(fileno(f.get())) == 0 && f.close() == 0 && std::rename(tmp, path) == 0)
                r = 0;
        }
        if (r != 0) {
            int e = errno;
            ::unlink(tmp);
            errno = e;
        }
    }
    std::free(offs);
    return r;
}

} // namespace

int attach(int fd)
{
    detach(fd); // a stale entry for a number the kernel gave out again
    Attached *free_slot = slot(-1);
    if (free_slot == nullptr) {
        errno = EMFILE;
        return -1;
    }
    FileLock lock(fd, F_WRLCK);
    if (!lock.ok())
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = ENODEV;
        return -1;
    }
    bool empty = st.st_size == 0;
    if (empty && ::ftruncate(fd, kImageSize) != 0)
        return -1;
    if (!empty && st.st_size < static_cast<off_t>(kImageSize)) {
        errno = EUCLEAN; // cut short: mapping it would fault past the end
        return -1;
    }
    void *m = ::mmap(nullptr, kImageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED)
        return -1;
    char *base = static_cast<char *>(m);
    if (empty)
        format(base);
    if (!header_ok(base) || !chains_ok(base)) {
        ::munmap(m, kImageSize);
        errno = EUCLEAN;
        return -1;
    }
    *free_slot = {fd, base};
    return 0;
}

bool is_image(int fd) { return base_of(fd) != nullptr; }

void *map(int fd, std::size_t len)
{
    if (!is_image(fd) || len > kImageSize) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
}

ssize_t read(int fd, void *buf, std::size_t n)
{
    char *base = base_of(fd);
    if (base == nullptr)
        return fail(EBADF);
    char *name = static_cast<char *>(buf);
    if (!valid_text(name, n))
        return fail(EINVAL);
    Header *h = header(base);
    std::uint32_t gen = h->generation.get();
    char saved[4];
    std::size_t keep = n < sizeof saved ? n : sizeof saved;
    std::memcpy(saved, name, keep);
    ssize_t r = lookup(base, name, n);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (h->generation.get() == gen)
        return r;
    // A free ran meanwhile and the walk may have crossed reused space: again, locked.
    if (r == 4)
        std::memcpy(name, saved, keep);
    FileLock lock(fd, F_RDLCK);
    if (!lock.ok())
        return -1;
    return lookup(base, name, n);
}

ssize_t write(int fd, const void *buf, std::size_t n)
{
    char *base = base_of(fd);
    if (base == nullptr)
        return fail(EBADF);
    const char *rec = static_cast<const char *>(buf);
    if (!valid_text(rec, n))
        return fail(EINVAL);
    const char *eq = std::strchr(rec, '=');
    std::size_t nl = eq != nullptr ? static_cast<std::size_t>(eq - rec) : n - 1;
    FileLock lock(fd, F_WRLCK);
    if (!lock.ok())
        return -1;
    if (eq == nullptr)
        return unset(base, rec, nl, n);
    if (!name_ok(rec, nl) || value_form(eq + 1) == Form::kNone)
        return fail(EINVAL); // no line of the dump could carry it
    return set(base, rec, nl, eq + 1, n);
}

int ioctl(int fd, unsigned long req, void *arg)
{
    char *base = base_of(fd);
    if (base == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (req == 16) {
        FileLock lock(fd, F_WRLCK);
        return lock.ok() ? release(base) : -1;
    }
    if (req == 32) {
        FileLock lock(fd, F_RDLCK);
        return lock.ok() ? dump(base, static_cast<const char *>(arg)) : -1;
    }
    errno = ENOTTY;
    return -1;
}

void detach(int fd)
{
    Attached *a = fd >= 0 ? slot(fd) : nullptr;
    if (a != nullptr) {
        ::munmap(a->base, kImageSize);
        *a = {-1, nullptr};
    }
}

} // namespace devlib::store::image
