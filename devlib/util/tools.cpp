#include "util/tools.h"

#include "devlib.h"
#include "platform/root.h"

#include <cstdio>

namespace devlib {
namespace {

// A WAN index in decimal, as ipt expects it.
struct WanArg {
    explicit WanArg(int wan) { std::snprintf(text, sizeof text, "%d", wan); }
    char text[12];
};

} // namespace

void tool_sysapply_restart() { run_task(kSysapply, "sysapply", "restart", nullptr); }

void tool_sysapply_wan_change_adsl() { run_task(kSysapply, "sysapply", "wan", "change", "adsl", "255", nullptr); }

void tool_profile_put_flash(bool background)
{
    DevPath flash("/flash");
    run_task(kProfile, "profile", "put", flash.c_str(), background ? "&" : nullptr, nullptr);
}

void tool_ipt_update_wanif(int wan) { run_task(kIpt, "ipt", "update", "wanif", WanArg(wan).text, nullptr); }

void tool_ipt_restore_upnp() { run_task(kIpt, "ipt", "restore", "upnp", nullptr); }

void tool_ipt_disable_kivo() { run_task(kIpt, "ipt", "disable", "kivo", nullptr); }

void tool_ipt_update_wanip(int wan) { run_task(kIpt, "ipt", "update", "wanip", WanArg(wan).text, nullptr); }

void tool_qos_restore() { run_task(kQos, "qos", "restore", nullptr); }

void tool_iptables_script(const char *script)
{
    DevPath mapped(script);
    run_task(kIptablesScript, "iptables_script", mapped.c_str(), nullptr);
}

} // namespace devlib
