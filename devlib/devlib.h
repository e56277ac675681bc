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

/* The 128-byte header at the start of a firmware image. Every word is
 * big-endian on every host: read it byte by byte, never through a cast. */
typedef struct FWHeader {
    unsigned char reserved0[24];
    char product[16];               /* NUL-terminated; empty when product[0] is 0 */
    char type;                      /* 'A', 'B', 'F', 'K', 'R' or 'S' */
    char signature[15];             /* "abcde1234567890", no NUL */
    unsigned char reserved1[4];
    unsigned char header_sum[4];    /* byte sum of the header less these 4 bytes */
    unsigned char total_len[4];     /* bytes after the header */
    unsigned char section_len[4][4];
    unsigned char section_sum[4][4];
    char vendor[4];
    unsigned char reserved2[24];
} FWHeader;

/* 0 when the header may be written; -1 refused (signature, type, product,
 * vendor); -2 "/dev/mtd5" unreadable or lengths/sums wrong. Reasons go to syslog. */
int checkFWHeader(const FWHeader *header);
/* Section 2 sum recorded in the flash header, or -2 when "/dev/mtd5" cannot be opened. */
int GetFWSection2Sum(void);

/* ---- Interfaces and routes ----------------------------------------------- */

/* 1 when the interface exists and has an IPv4 address. */
int bInterfaceExist(const char *name);
/* Sets the flag word (low 16 bits) and, when address is given, the address and,
 * when netmask is given too, netmask and broadcast. 0 or the errno of the step
 * that failed, reported on the console. */
int ifconfig(const char *name, int flags, const char *address, const char *netmask);
/* Adds or deletes one IPv4 route; dev may be "" for none. A null or unparsable
 * address is 0.0.0.0. metric goes to the kernel as is: it records one less (0 for 0).
 * 0 or the errno, reported on the console. */
int route_add(const char *dev, int metric, const char *dst, const char *gateway, const char *netmask);
int route_del(const char *dev, int metric, const char *dst, const char *gateway, const char *netmask);
/* Brings up "lo" as 127.0.0.1/8 and adds its network route; the route's result. */
int SetupLoopback(void);

/* ---- Static routes, ARP and host name ------------------------------------ */

/* ---- WAN state, services, address events, 3G counters -------------------- */

/* ---- Teardown and reboot ------------------------------------------------- */

/* ---- LAN/WAN accessors --------------------------------------------------- */

/* ---- Time slots ---------------------------------------------------------- */

/* ---- FORWARD and mangle chain slots -------------------------------------- */

/* ---- Rule-table sizing --------------------------------------------------- */

/* ---- Scheduled reboot ---------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif
