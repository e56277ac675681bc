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

/* Copies into result (room for 254 bytes) the value of the first line for
 * name in a name=value file; "" when the file or the name is missing.
 * Returns result. */
char *get_file_value(const char *path, const char *name, char *result);
/* Rewrites every line for name as name="value" (value unescaped), or appends
 * one; other lines are kept byte for byte. The file is left as it was when
 * the new content cannot be written completely. Returns 1. */
int save_globe_config(const char *path, const char *name, const char *value);

/* ---- Processes and files ------------------------------------------------- */

/* Starts path (searched in PATH when it has no '/') with the argument list
 * that follows, argv[0] first, ended by a null; at most 39 arguments. A last
 * argument of exactly "&" is dropped and the program runs in the background,
 * not as a child of the caller. Otherwise waits until the program has ended.
 * Returns the id of the collected intermediate process, or -1 with errno set
 * when nothing was started: no process could be created (EAGAIN, ENOMEM), no
 * argv[0] (EINVAL), or more than 39 arguments (E2BIG). The program's own
 * failure or exit status is never reported. */
int run_task(const char *path, ...);
/* Ids of the running processes whose name matches on its first 15
 * characters, ended by 0; the caller frees the list. Null when none match or
 * /proc cannot be read. When memory runs out the ids found so far are
 * returned (errno ENOMEM). */
int *find_pid_by_name(const char *name);
/* Sends sig to every process of that name; returns how many there were.
 * With sig 0 nothing is delivered: the count tells whether the program runs. */
int KillProcessByName(const char *name, int sig);
/* Copies src over dst. 0 when src cannot be opened, else the result of
 * closing src; whether dst was written is not reported. Copying a file onto
 * itself leaves it as it is. */
int CopyFile(const char *src, const char *dst);
/* Zeroes buf[0..len) and reads the first line (at most len - 1 characters,
 * line end included when it fits). 1 when the file could be opened. */
int file_to_buf(const char *path, char *buf, int len);
/* Truncates the file and writes text as it is. 1 when the whole text was
 * written, 0 when the file cannot be opened or the write fails. */
int buf_to_file(const char *path, const char *text);
/* The decimal integer at the start of the file (leading white space
 * skipped), saturated to the int range; 0 when missing or not a number. */
int read_int_file(const char *path);
/* Writes number and a line end into the truncated file; 1 on success. */
int write_int_file(const char *path, int number);

/* ---- Configuration commit, restore and clear ------------------------------ */

/* Writes length bytes at offset into a flash partition device, in pieces of
 * at most 65536 bytes, with synchronous writes. A device that cannot be
 * opened is logged ("open %s error ..\n"). Writing ends early, unreported,
 * at an error, a write that makes no progress, or an offset that cannot be
 * reached (then nothing is written). */
void mtd_write(const char *path, int offset, const void *data, int length);
/* Overwrites the first 10 bytes of the configuration partition with zeros. */
void clearConfig(void);
/* Sets KIVO_SW to "0" and dumps the store into "/flash/config"; a non-zero
 * flag then issues the store's free request. 0 unless the store cannot be
 * opened. */
int Config2File(int flag);
/* Config2File(0), then has profile persist "/flash": flag 0 waits for it,
 * any other flag starts it in the background. */
void saveConfig(int flag);
/* Copies the file to "/flash/config" and persists "/flash". The running
 * store is not changed. */
void RestoreConfig(const char *path);
/* Installs "/flash/config.dat", or "/factory/config" without it, as
 * "/flash/config" and persists "/flash". */
void RestoreDefaultConfig(void);

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
/* Verifies image (length bytes) and, when sound, commits (erase 0) or erases the
 * configuration, tears down, writes flash and restarts: it then never returns.
 * Returns -1 or -2 for a refused image, with nothing changed. image is modified. */
int UpgradeFirmware(char *image, int length, int erase);

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

/* Deletes the routes recorded in /tmp/strt.txt, then adds STRT_DST@N... for
 * N below STRT_TOT and records them there. 0 when the record cannot be
 * created (nothing is added), else the result of closing it. An entry whose
 * destination or netmask does not parse is skipped, and so is one whose
 * netmask, gateway or device text is longer than 15 characters or holds '|'
 * or white space: such an entry could not be recorded, so never removed. */
int StaticRTUpdate(void);
/* Deletes the permanent ARP entries recorded in /tmp/starp, then sets
 * STARP_IP@N / STARP_MAC@N for N below STARP_TOT and records them. -1 when
 * the record cannot be created, else 0. Texts that do not parse are still
 * sent; an entry whose address or MAC text is longer than 23 characters or
 * holds white space is skipped. */
int StaticArpUpdate(void);
/* Writes /etc/hosts, sets the kernel host name and stores DEV_HOST; returns
 * the result of the store write. */
int SetHostName(const char *name);

/* ---- WAN state, services, address events, 3G counters -------------------- */

/* Records WAN wan's interface in _wan_if@N / _wan_oldif@N when it changed
 * (for WAN 0 also tc, ipt and qos), reapplies the static routes (WAN 0) and
 * sets the IP LEDs from WAN 0's address. 1 when the name changed, else 0. */
int UpdateWANIF(int wan, const char *ifname);
/* 1 when _wan_ip@0 is not empty. */
int DefWANIPUp(void);
/* 1 when WAN_PORT is "ADSL" and every configured WAN connection is a bridge. */
int IsModem(void);
/* State 255, or 0 unless the ADSL line is down: IP LEDs show a failure. */
void UpdateIPLed(int state);
/* Stores the uptime in seconds as _wan_uptime@N ("" when it cannot be read). */
void SetWANUptime(int wan);

/* Each stops its daemon, then starts it again from the store when enabled. */
void DDNSUpdate(void);
void UpdateIGMP(void);
/* Low 8 bits of mode non-zero: start miniupnpd only when it is not running.
 * Zero: restart it; an old daemon still running 5 seconds after SIGTERM is
 * sent SIGKILL, and the new one is started at most 2 seconds later. */
void UpdateUPnP(int mode);
/* Rewrites /var/ripd.conf by LAN_RIP and restarts zebra; -1 when the file
 * cannot be created, else 0. */
int ripConfReset(void);

/* The WAN address event: state keys, default route (WAN 0), status file,
 * services and, once per new address, the notification mail and DDNS. */
void WANIPUpdate(int wan, const char *ifname, const char *ip, const char *mask, const char *gw);

/* 3G traffic figures, 32-bit counters wrapping modulo 2^32. The first four
 * count since the baseline, the last four add the stored totals. */
typedef struct Traffic3GStat {
    unsigned int tx_bytes;
    unsigned int tx_packets;
    unsigned int rx_bytes;
    unsigned int rx_packets;
    unsigned int tot_tx_bytes;
    unsigned int tot_tx_packets;
    unsigned int tot_rx_bytes;
    unsigned int tot_rx_packets;
} Traffic3GStat;

/* Mode 0 sets the baseline _3g_cstat from the interface counters of WAN wan;
 * mode 1 adds the traffic since it to _3g_tstat, moves it, and publishes
 * _3g_count and _3g_totcon (result of the last store write); mode 2 fills
 * stat and returns its tot_rx_packets; any other mode returns 2. */
int Update3GStat(int wan, int mode, Traffic3GStat *stat);

/* ---- Teardown and reboot ------------------------------------------------- */

/* Stops the services, takes eth0 and LAN_IF down and, when WAN_PORT is "ADSL",
 * clears the WAN names, runs sysapply and closes the line; the loggers go
 * last. The argument is unused. 1 when done; after the early exit on the
 * ADSL command file it is not 1 and the teardown counts as not done. */
int TerminateAllLinks(int unused);
/* Tears down unless this process already did, then sends SIGTERM to init:
 * kill's result. */
int RebootSystem(void);
/* 1 when "/etc/retry" exists, whatever it is. */
int RetryFileExists(void);

/* Stops the services, takes eth0 and LAN_IF down and, on an ADSL device, drops
 * the WAN connections and closes the line. The argument is unused. 1 when done. */
int TerminateAllLinks(int unused);
/* Tears down unless this process already did, then sends SIGTERM to init. */
int RebootSystem(void);
/* 1 when "/etc/retry" exists. */
int RetryFileExists(void);

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

/* A weekly schedule, slots 1 to 16. Day flags: non-zero means the slot
 * applies that day; day[0] is Sunday, day[1] Monday ... day[6] Saturday. */
typedef struct TimeSlot {
    int start_hour;
    int end_hour;
    int start_min;
    int end_min;
    int day[7];
} TimeSlot;

/* The slot number for "no schedule". 0 and numbers above 16 are refused alike. */
#define TS_NO_SLOT 127
/* Room get_timeslot_match needs, terminator included, whatever the slot holds. */
#define TS_MATCH_SIZE 117

/* Writes the times to TS_H_S, TS_H_E, TS_M_S, TS_M_E and the day flags as one
 * mask (Sunday 1 ... Saturday 64) to TS_DAY. Always 1; a refused slot writes nothing. */
int set_time_slot(const TimeSlot *ts, int slot);
/* Fills ts from the store, days from TS_D1 ... TS_D7 (TS_D7 is Sunday).
 * Always 1; a refused slot leaves ts as it was. */
int get_time_slot(TimeSlot *ts, int slot);
/* Writes the iptables time match of the slot into buf (TS_MATCH_SIZE bytes):
 * text that begins and ends with a blank, " " when there is no schedule.
 * The result carries nothing (0). */
int get_timeslot_match(char *buf, int slot);

/* ---- FORWARD and mangle chain slots -------------------------------------- */

/* Application rules at the head of FORWARD, in ascending order of their bits;
 * the installed ones are recorded in _fwd_sort. */
#define FWD_IDP_INDEX           1
#define FWD_PACKET_FILTER_INDEX 2
#define FWD_HOTSPOT_INDEX       4
#define FWD_UF_INDEX            8
#define FWD_DNAT_INDEX          16
#define FWD_UPNP_INDEX          32
#define FWD_TCPMSS_INDEX        64
#define FWD_DEFAULT_INDEX       128 /* appended at the end of FORWARD */

/* Decodes _fwd_sort into list (8 entries): the installed bits in ascending
 * order from list[0]; later entries are left alone. Always 1. */
int FwdGetCurrentChainIndex(int *list);
/* Or-s bits into _fwd_sort when set is non-zero, toggles them when 0. Always 1. */
int FwdSetCurrentChainIndex(int bits, int set);
/* Inserts the rule of one application at its place. 1 done; -1 already
 * installed (the UF filter is replaced instead, with its current schedule);
 * 0 no position left, unknown type, unusable interface name, or the script
 * could not be created. */
int FwFWDInsertAppChain(int type);
/* Deletes the rule of one installed application. 0 when not installed or the
 * script could not be created; otherwise the result of removing the script
 * (0, or -1). */
int FwFWDDeleteAppChain(int type);

/* Application rules of the mangle FORWARD chain, recorded in _fwd_m_sort. */
#define FWD_M_QOS_INDEX  1
#define FWD_M_DNAT_INDEX 2

/* As FwdGetCurrentChainIndex over _fwd_m_sort; list has 2 entries. */
int FwdMangleGetCurChainIndex(int *list);
/* As FwdSetCurrentChainIndex over _fwd_m_sort. */
int FwdMangleSetCurChainIndex(int bits, int set);
/* 1 done; 0 already installed, no position left, unknown type, unusable
 * interface name, or the script could not be created. */
int FwMangleInsertAppChain(int type);
/* As FwFWDDeleteAppChain; deleting the DNAT mark also deletes its MASQUERADE rule. */
int FwMangleDeleteAppChain(int type);

/* ---- Rule-table sizing --------------------------------------------------- */

/* A table is named by a prefix P and described by P_MAX, P_COUNT and P_SORT. */

/* Default capacity of a known table (PF, VS, DMZ, ...), 0 for any other prefix. */
int get_default_MAX(const char *prefix);
/* P_MAX, or the default when that reads as 0; also stored through max. */
int get_table_MAX(const char *prefix, int *max);
/* P_COUNT, also stored through count; -2 (count 0) when the key is absent. */
int get_table_COUNT(const char *prefix, int *count);
/* Reads the capacity and count as above, then the order list P_SORT into
 * sort: at most *max entries are stored, so sort needs room for the capacity.
 * Returns the number stored; 0 when the count is 0; -3 when P_SORT is absent. */
int get_table_SORT(const char *prefix, int *sort, int *max, int *count);

/* ---- Scheduled reboot ---------------------------------------------------- */

/* Commits the configuration (saveConfig(0)), runs "sysapply restart" and
 * exits the program with status 0. */
#if defined(__GNUC__)
__attribute__((__noreturn__))
#endif
void SaveNReboot(void);

#ifdef __cplusplus
}
#endif

#endif
