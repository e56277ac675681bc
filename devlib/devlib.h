/* devlib: device operations of the router, for the device's programs.
 * Plain C types only; compiles as C99 and C++. */
#ifndef DEVLIB_DEVLIB_H
#define DEVLIB_DEVLIB_H

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Name=value lines ---------------------------------------------------- */

/* Parses one line in place. 0 with name and value set, -1 for no pair
 * (the line is then unchanged). */
int ParseNameValue(char *line, char **name, char **value);

/* ---- Configuration store client ------------------------------------------ */

int nvram_init(void *unused);
int nvram_close(void);
/* Read-only pointer into the store, valid for the life of the process; null when absent. */
char *nvram_get(const char *name);
int nvram_set(const char *name, const char *value);
int nvram_unset(const char *name);
char *nvram_get_index(const char *prefix, int index);
int nvram_set_index(const char *prefix, int index, const char *value);
int nvram_set_index_int(const char *prefix, int index, int number);
int nvram_free(void);
int nvram2file(const char *path);
int file2nvram(const char *path);

/* ---- Config-file lookup and edit ----------------------------------------- */

/* ---- Processes and files ------------------------------------------------- */

/* ---- Configuration commit, restore and clear ------------------------------ */

/* ---- Firmware header and upgrade ----------------------------------------- */

/* ---- Interfaces and routes ----------------------------------------------- */

/* ---- Static routes, ARP and host name ------------------------------------ */

/* ---- WAN state, services, address events, 3G counters -------------------- */

/* ---- Teardown and reboot ------------------------------------------------- */

/* ---- LAN/WAN accessors --------------------------------------------------- */

/* Strings returned here are never null: a value owned by the store client
 * (read-only, not to be freed) or a constant default. */
int getAliasNAT(int wan);             /* ALIAS_NAT@wan as a number, 0 when unset */
int get_fixed_A(void);                /* 4 */
int get_fixed_B(void);                /* 1 */
int get_fixed_C(void);                /* 1 */
const char *getIFNameLAN(void);       /* LAN_IF, or "" */
const char *getIPLAN(void);           /* LAN_IP, or "" */
const char *getMaskLAN(void);         /* LAN_MASK, or "" */
const char *getIFNameWAN(int wan);    /* _wan_if@wan, or "no_wan" when unset or empty */
const char *getIPWAN(int wan);        /* _wan_ip@wan, or "0.0.0.0" when unset or empty */
/* NAT switch of a WAN: WAN_NAT@wan on ADSL; EWAN_NAT on the Ethernet WAN
 * (stored as "1" first when unset or empty); 1 on any other WAN port. */
int getNATWAN(int wan);

/* ---- Time slots ---------------------------------------------------------- */

/* ---- FORWARD and mangle chain slots -------------------------------------- */

/* ---- Rule-table sizing --------------------------------------------------- */

/* ---- Scheduled reboot ---------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif
