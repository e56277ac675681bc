// LAN/WAN settings as the device's programs read them from the store.
#include "devlib.h"

#include <cstdlib>
#include <cstring>

namespace {

const char *or_empty(const char *s) { return s != nullptr ? s : ""; }
bool empty(const char *s) { return s == nullptr || s[0] == '\0'; }
int number(const char *s) { return s != nullptr ? std::atoi(s) : 0; }
bool is(const char *s, const char *word) { return s != nullptr && std::strcmp(s, word) == 0; }

} // namespace

extern "C" int getAliasNAT(int wan) { return number(nvram_get_index("ALIAS_NAT", wan)); }

extern "C" int get_fixed_A(void) { return 4; }
extern "C" int get_fixed_B(void) { return 1; }
extern "C" int get_fixed_C(void) { return 1; }

extern "C" const char *getIFNameLAN(void) { return or_empty(nvram_get("LAN_IF")); }
extern "C" const char *getIPLAN(void) { return or_empty(nvram_get("LAN_IP")); }
extern "C" const char *getMaskLAN(void) { return or_empty(nvram_get("LAN_MASK")); }

extern "C" const char *getIFNameWAN(int wan)
{
    if (empty(nvram_get_index("_wan_if", wan)))
        return "no_wan";
    // Read again: the value returned is the latest one, even if it changed in between.
    return or_empty(nvram_get_index("_wan_if", wan));
}

extern "C" const char *getIPWAN(int wan)
{
    const char *ip = nvram_get_index("_wan_ip", wan);
    return empty(ip) ? "0.0.0.0" : ip;
}

extern "C" int getNATWAN(int wan)
{
    if (is(nvram_get("WAN_PORT"), "ADSL"))
        return number(nvram_get_index("WAN_NAT", wan));
    if (is(nvram_get("WAN_PORT"), "EWAN")) {
        // NAT is on by default on the Ethernet WAN; the default is stored.
        if (empty(nvram_get("EWAN_NAT")))
            (void)nvram_set("EWAN_NAT", "1");
        return number(nvram_get("EWAN_NAT"));
    }
    return 1;
}
