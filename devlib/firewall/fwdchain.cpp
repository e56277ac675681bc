// The application rules at the head of FORWARD, kept in ascending bit order
// with the installed ones recorded in _fwd_sort.
#include "devlib.h"

#include "firewall/chainslot.h"
#include "firewall/decimal.h"

#include <cstdio>

namespace {

using namespace devlib::fw;

constexpr const char *kMaskKey = "_fwd_sort";
constexpr const char *kScript = "/var/state/ipt_fwd.sh";
constexpr int kApps = 8;

// The UF filter's rule, with the schedule of UF_SCH (none when unset).
bool write_uf(FILE *f, const char *op, int pos)
{
    const char *lan = getIFNameLAN();
    if (!plain_ifname(lan))
        return false;
    const char *sch = nvram_get("UF_SCH");
    int slot = is_empty(sch) ? TS_NO_SLOT : decimal_value(sch);
    char match[128] = {};
    get_timeslot_match(match, slot);
    std::fprintf(f, "iptables %s FORWARD %d -i %s -p tcp --tcp-flags ACK ACK --dport 80 %s -j UF_FILTER_FWD\n", op,
                 pos, lan, match);
    return true;
}

// Writes the insert line of type at pos; false for a type without a rule.
bool write_insert(FILE *f, int type, int pos)
{
    const char *jump = nullptr;
    switch (type) {
    case FWD_IDP_INDEX:
        jump = "IDP_FWD";
        break;
    case FWD_PACKET_FILTER_INDEX:
        jump = "PACKET_FILTER";
        break;
    case FWD_HOTSPOT_INDEX:
        std::printf("FWD_HOTSPOT_INDEX %x at %d\n", FWD_HOTSPOT_INDEX, pos);
        std::fflush(stdout);
        jump = "HOTSPOT_FWD";
        break;
    case FWD_UF_INDEX:
        return write_uf(f, "-I", pos);
    case FWD_DNAT_INDEX:
        std::fprintf(f, "iptables -I FORWARD %d -m conntrack --ctstate DNAT -j ACCEPT\n", pos);
        return true;
    case FWD_UPNP_INDEX:
        jump = "UPNP_FWD";
        break;
    case FWD_TCPMSS_INDEX:
        std::fprintf(f, "iptables -I FORWARD %d -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --clamp-mss-to-pmtu\n",
                     pos);
        return true;
    case FWD_DEFAULT_INDEX:
        std::fprintf(f, "iptables -A FORWARD -j DEFAULT_FWD\n");
        return true;
    default:
        std::printf("FwFWDInsertAppChain ERROR\n");
        std::fflush(stdout);
        return false;
    }
    std::fprintf(f, "iptables -I FORWARD %d -j %s\n", pos, jump);
    return true;
}

} // namespace

extern "C" int FwdGetCurrentChainIndex(int *list)
{
    decode_mask(kMaskKey, kApps, list);
    return 1;
}

extern "C" int FwdSetCurrentChainIndex(int bits, int set)
{
    update_mask(kMaskKey, bits, set, "FwdSetCurrentChainIndex: string too large");
    return 1;
}

extern "C" int FwFWDInsertAppChain(int type)
{
    int list[kApps] = {};
    FwdGetCurrentChainIndex(list);
    int pos;
    Walk w = find_place(list, kApps, type, pos);
    // Inserting the UF filter again replaces it, to apply a changed schedule.
    bool replace = w == Walk::Installed && type == FWD_UF_INDEX;
    if (w == Walk::Installed && !replace)
        return -1;
    if (w == Walk::Full)
        return 0;

    ChainScript script(kScript);
    if (!script.ok())
        return 0;
    // A type without a rule, or a LAN name unfit for a shell line, records
    // nothing: the script is dropped unrun.
    bool written = replace ? write_uf(script.get(), "-R", pos) : write_insert(script.get(), type, pos);
    if (!written || !script.close())
        return 0;
    script.run_sh();
    (void)script.remove();
    return FwdSetCurrentChainIndex(type, 1);
}

extern "C" int FwFWDDeleteAppChain(int type)
{
    int list[kApps] = {};
    FwdGetCurrentChainIndex(list);
    int pos = installed_at(list, kApps, type);
    if (pos == 0)
        return 0;

    ChainScript script(kScript);
    if (!script.ok())
        return 0;
    std::fprintf(script.get(), "iptables -D FORWARD %d\n", pos);
    if (!script.close())
        return 0;
    // Cleared before the run: the mask follows the request, not iptables.
    FwdSetCurrentChainIndex(type, 0);
    script.run_iptables_script();
    return script.remove();
}
