// The device's tool programs and every argument list they are started with.
// Each runs in the foreground unless said otherwise; no exit status or output
// is examined. A stand-in that accepts these lists and exits 0 satisfies
// every caller.
#pragma once

namespace devlib {

inline constexpr const char *kSysapply = "/bin/sysapply";
inline constexpr const char *kProfile = "/bin/profile";
inline constexpr const char *kIpt = "/usr/sbin/ipt";
inline constexpr const char *kQos = "/usr/sbin/qos";
inline constexpr const char *kIptablesScript = "/usr/sbin/iptables_script";

// sysapply restart: the device restart is under way when it returns.
void tool_sysapply_restart();
// sysapply wan change adsl 255
void tool_sysapply_wan_change_adsl();
// profile put /flash: persists /flash; in the background it returns at once.
void tool_profile_put_flash(bool background);
// ipt update wanif <wan>
void tool_ipt_update_wanif(int wan);
// ipt restore upnp
void tool_ipt_restore_upnp();
// ipt disable kivo
void tool_ipt_disable_kivo();
// ipt update wanip <wan>
void tool_ipt_update_wanip(int wan);
// qos restore
void tool_qos_restore();
// iptables_script <script>: every line of the script is applied on return.
void tool_iptables_script(const char *script);

} // namespace devlib
