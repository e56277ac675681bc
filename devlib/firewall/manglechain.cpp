// The application rules at the head of the mangle table's FORWARD chain,
// recorded in _fwd_m_sort, and the nat rule that goes with the DNAT mark.
#include "devlib.h"

#include "firewall/chainslot.h"
#include "firewall/decimal.h"

#include <cstdio>

namespace {

using namespace devlib::fw;

constexpr const char *kMaskKey = "_fwd_m_sort";
constexpr const char *kScript = "/var/state/ipt_mangle.sh";
constexpr int kApps = 2;
constexpr int kDnatMark = 512;

bool write_insert(FILE *f, int type, int pos)
{
    switch (type) {
    case FWD_M_QOS_INDEX: {
        const char *wan = getIFNameWAN(decimal_value(nvram_get("_qos_wanid")));
        if (!plain_ifname(wan))
            return false;
        std::fprintf(f, "iptables -t mangle -I FORWARD %d -i %s -j MYSHAPER-IN\n", pos, wan);
        return true;
    }
    case FWD_M_DNAT_INDEX: {
        const char *lan = getIFNameLAN();
        if (!plain_ifname(lan))
            return false;
        std::fprintf(f, "iptables -t mangle -I FORWARD %d -m conntrack --ctstate DNAT -i %s -o %s -j MARK --set-mark %d\n",
                     pos, lan, lan, kDnatMark);
        std::fprintf(f, "iptables -t nat -A POSTROUTING -m conntrack --ctstate DNAT -m mark --mark %d -j MASQUERADE\n",
                     kDnatMark);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

extern "C" int FwdMangleGetCurChainIndex(int *list)
{
    decode_mask(kMaskKey, kApps, list);
    return 1;
}

extern "C" int FwdMangleSetCurChainIndex(int bits, int set)
{
    update_mask(kMaskKey, bits, set, nullptr);
    return 1;
}

extern "C" int FwMangleInsertAppChain(int type)
{
    int list[kApps] = {};
    FwdMangleGetCurChainIndex(list);
    int pos;
    if (find_place(list, kApps, type, pos) != Walk::Free)
        return 0;

    ChainScript script(kScript);
    if (!script.ok())
        return 0;
    // A type without a rule, or an interface name unfit for a shell line,
    // records nothing: the script is dropped unrun.
    if (!write_insert(script.get(), type, pos) || !script.close())
        return 0;
    script.run_sh();
    (void)script.remove();
    return FwdMangleSetCurChainIndex(type, 1);
}

extern "C" int FwMangleDeleteAppChain(int type)
{
    int list[kApps] = {};
    FwdMangleGetCurChainIndex(list);
    int pos = installed_at(list, kApps, type);
    if (pos == 0)
        return 0;

    ChainScript script(kScript);
    if (!script.ok())
        return 0;
    std::fprintf(script.get(), "iptables -t mangle -D FORWARD %d\n", pos);
    if (type == FWD_M_DNAT_INDEX)
        std::fprintf(script.get(),
                     "iptables -t nat -D POSTROUTING -m conntrack --ctstate DNAT -m mark --mark %d -j MASQUERADE\n",
                     kDnatMark);
    if (!script.close())
        return 0;
    // Cleared before the run: the mask follows the request, not iptables.
    FwdMangleSetCurChainIndex(type, 0);
    script.run_iptables_script();
    return script.remove();
}
