/* The public header as a C program of the device sees it: compiled as C99
 * with -pedantic and linked by the C compiler against libdevlib.a. */
#define _POSIX_C_SOURCE 200809L

#include "devlib/devlib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        failures++;
    }
}

int main(void)
{
    char line[] = "  LAN_IP = \"192.168.1.1\" # lan\n";
    char comment[] = "# LAN_IP=1";
    char *name = NULL;
    char *value = NULL;
    char root[] = "/tmp/devlib-capi-XXXXXX";

    check(ParseNameValue(line, &name, &value) == 0, "ParseNameValue accepts a pair");
    check(name != NULL && strcmp(name, "LAN_IP") == 0, "name");
    check(value != NULL && strcmp(value, "192.168.1.1") == 0, "quoted value");
    check(ParseNameValue(comment, &name, &value) == -1, "comment carries no pair");
    check(strcmp(comment, "# LAN_IP=1") == 0, "comment left unchanged");

    /* A device without a store: reads find nothing, writes report the errno. */
    if (mkdtemp(root) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    setenv("DEVLIB_ROOT", root, 1);
    check(nvram_get("LAN_IP") == NULL, "nvram_get without a store");
    check(nvram_get_index("WAN_NAME", 0) == NULL, "nvram_get_index without a store");
    check(nvram_set("KIVO_SW", "0") == 2, "nvram_set without a store gives ENOENT");
    rmdir(root);

    if (failures != 0)
        return 1;
    puts("C API: ok");
    return 0;
}
