#include "firewall/chainslot.h"

#include "devlib.h"
#include "firewall/decimal.h"
#include "util/tools.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace devlib::fw {

void decode_mask(const char *key, int n, int *list)
{
    const char *v = nvram_get(key);
    if (is_empty(v)) {
        (void)nvram_set(key, "0");
        return;
    }
    int mask = decimal_value(v);
    int k = 0;
    for (int i = 0; i < n; ++i)
        if (mask & (1 << i))
            list[k++] = 1 << i;
}

void update_mask(const char *key, int bits, int set, const char *too_long)
{
    int mask = decimal_value(nvram_get(key));
    // Unsigned, so toggling the sign bit stays defined.
    unsigned v = set != 0 ? static_cast<unsigned>(mask) | static_cast<unsigned>(bits)
                          : static_cast<unsigned>(mask) ^ static_cast<unsigned>(bits);
    char text[16];
    int len = std::snprintf(text, sizeof text, "%d", static_cast<int>(v));
    if (len >= 0 && static_cast<std::size_t>(len) < sizeof text) {
        (void)nvram_set(key, text);
    } else if (too_long != nullptr) {
        std::printf("%s\n", too_long);
        std::fflush(stdout);
    }
}

Walk find_place(const int *list, int n, int type, int &pos)
{
    pos = 1;
    for (int i = 0; i < n; ++i, ++pos) {
        if (list[i] == 0 || list[i] > type)
            return Walk::Free;
        if (list[i] == type)
            return Walk::Installed;
    }
    return Walk::Full;
}

int installed_at(const int *list, int n, int type)
{
    for (int i = 0; i < n && list[i] != 0; ++i)
        if (list[i] == type)
            return i + 1;
    return 0;
}

bool plain_ifname(const char *name)
{
    for (const char *p = name; *p != '\0'; ++p) {
        char c = *p;
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::strchr("._-+@", c) == nullptr)
            return false;
    }
    return true;
}

ChainScript::ChainScript(const char *device_path) : device_path_(device_path), mapped_(device_path)
{
    // Truncated if left from an interrupted run.
    UniqueFd fd(::open(mapped_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.ok())
        return;
    file_.reset(::fdopen(fd.get(), "w"));
    if (file_)
        (void)fd.release();
    else
        remove();
}

ChainScript::~ChainScript()
{
    if (file_) {
        file_.reset();
        remove();
    }
}

bool ChainScript::close()
{
    bool written = std::ferror(file_.get()) == 0;
    if (file_.close() != 0)
        written = false;
    if (!written)
        remove();
    return written;
}

void ChainScript::run_sh() const { run_task("/bin/sh", "sh", mapped_.c_str(), nullptr); }

void ChainScript::run_iptables_script() const { tool_iptables_script(device_path_); }

int ChainScript::remove()
{
    return ::unlink(mapped_) == 0 ? 0 : -1;
}

} // namespace devlib::fw
