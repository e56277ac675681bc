/* A device program as an integrator writes it: plain C against the installed library. */
#include <devlib/devlib.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    char line[] = "LAN_IP=\"192.168.1.1\"\n";
    char *name;
    char *value;
    if (ParseNameValue(line, &name, &value) != 0 || strcmp(value, "192.168.1.1") != 0) {
        fprintf(stderr, "parse failed\n");
        return 1;
    }
    if (nvram_set(name, value) != 0) {
        fprintf(stderr, "set failed\n");
        return 1;
    }
    const char *got = nvram_get("LAN_IP");
    if (got == NULL || strcmp(got, "192.168.1.1") != 0) {
        fprintf(stderr, "get failed\n");
        return 1;
    }
    puts("consumer ok");
    return 0;
}
