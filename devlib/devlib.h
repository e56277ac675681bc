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

/* ---- Firmware header and upgrade ----------------------------------------- */

/* ---- Interfaces and routes ----------------------------------------------- */

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
