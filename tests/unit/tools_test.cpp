#include "util/tools.h"

#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

// Stand-ins that log their device path and every argument, empty ones visible.
class Tools : public testsupport::DeviceRoot {
protected:
    void SetUp() override
    {
        DeviceRoot::SetUp();
        for (const char *p : {devlib::kSysapply, devlib::kProfile, devlib::kIpt, devlib::kQos, devlib::kIptablesScript}) {
            write_file(p, "#!/bin/sh\n{ printf '%s' \"${0#" + dir_.path() +
                              "}\"; for a; do printf ' [%s]' \"$a\"; done; echo; } >> " + at("/calls") + "\n");
            chmod(at(p).c_str(), 0755);
        }
    }
    std::string calls(bool wait = false) const
    {
        for (int i = 0; wait && i < 300 && read_file("/calls").empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return read_file("/calls");
    }
};

TEST_F(Tools, ArgumentLists)
{
    std::string root = dir_.path();
    struct Case {
        const char *what;
        std::function<void()> call;
        std::string logged;
    };
    const Case cases[] = {
        {"sysapply restart", devlib::tool_sysapply_restart, "/bin/sysapply [restart]\n"},
        {"sysapply wan change", devlib::tool_sysapply_wan_change_adsl, "/bin/sysapply [wan] [change] [adsl] [255]\n"},
        {"profile, flash taken under the root", [] { devlib::tool_profile_put_flash(false); },
         "/bin/profile [put] [" + root + "/flash]\n"},
        {"ipt update wanif", [] { devlib::tool_ipt_update_wanif(0); }, "/usr/sbin/ipt [update] [wanif] [0]\n"},
        {"ipt restore upnp", devlib::tool_ipt_restore_upnp, "/usr/sbin/ipt [restore] [upnp]\n"},
        {"ipt disable kivo", devlib::tool_ipt_disable_kivo, "/usr/sbin/ipt [disable] [kivo]\n"},
        {"ipt update wanip", [] { devlib::tool_ipt_update_wanip(0); }, "/usr/sbin/ipt [update] [wanip] [0]\n"},
        {"qos restore", devlib::tool_qos_restore, "/usr/sbin/qos [restore]\n"},
        {"iptables_script, script under the root", [] { devlib::tool_iptables_script("/var/state/ipt_fwd.sh"); },
         "/usr/sbin/iptables_script [" + root + "/var/state/ipt_fwd.sh]\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(at("/calls").c_str());
        c.call();
        EXPECT_EQ(calls(), c.logged) << "foreground: logged before the call returned";
    }
}

TEST_F(Tools, ProfileInTheBackground)
{
    devlib::tool_profile_put_flash(true);
    EXPECT_EQ(calls(true), "/bin/profile [put] [" + dir_.path() + "/flash]\n") << "no \"&\" passed on";
}

TEST_F(Tools, MissingToolIsNoFailure)
{
    unlink(at(devlib::kSysapply).c_str());
    devlib::tool_sysapply_restart();
    EXPECT_EQ(calls(), "");
}

} // namespace
