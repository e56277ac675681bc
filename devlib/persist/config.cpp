// Moving the configuration between the store, "/flash/config" and flash.
#include "devlib.h"

#include "platform/root.h"
#include "util/tools.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {

constexpr const char *kConfig = "/flash/config";

} // namespace

extern "C" int Config2File(int flag)
{
    // The saved configuration always has the login redirect off.
    (void)nvram_set("KIVO_SW", "0");
    int r = nvram2file(kConfig);
    return flag != 0 ? nvram_free() : r;
}

extern "C" void saveConfig(int flag)
{
    Config2File(0);
    devlib::tool_profile_put_flash(flag != 0);
}

extern "C" void RestoreConfig(const char *path)
{
    CopyFile(path, kConfig);
    devlib::tool_profile_put_flash(false);
}

extern "C" void RestoreDefaultConfig(void)
{
    struct stat st;
    const char *source = ::stat(devlib::DevPath("/flash/config.dat"), &st) == 0 ? "/flash/config.dat" : "/factory/config";
    CopyFile(source, kConfig);
    devlib::tool_profile_put_flash(false);
}

extern "C" void SaveNReboot(void)
{
    saveConfig(0);
    devlib::tool_sysapply_restart();
    std::exit(0);
}
