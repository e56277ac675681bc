/* The ceiling of the redirect service's design: one thread, one connection at a
 * time (poll, accept, one read, send, close), the same response bytes every time
 * and no store. Usage: redirect_ceiling PORT RESPONSE-FILE */
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: redirect_ceiling PORT RESPONSE-FILE\n");
        return 2;
    }
    static char response[8192], buf[8192];
    FILE *f = fopen(argv[2], "rb");
    if (f == NULL) {
        perror(argv[2]);
        return 1;
    }
    size_t len = fread(response, 1, sizeof response, f);
    fclose(f);

    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    /* Same queue as the service, so that only the work per request differs. */
    if (bind(sd, (struct sockaddr *)&a, sizeof a) != 0 || listen(sd, 32) != 0) {
        perror("listen");
        return 1;
    }
    struct pollfd p = {sd, POLLIN, 0};
    for (;;) {
        if (poll(&p, 1, 3000) <= 0)
            continue;
        int c = accept(sd, NULL, NULL);
        if (c < 0)
            continue;
        if (read(c, buf, sizeof buf) > 0)
            send(c, response, len, MSG_NOSIGNAL);
        close(c);
    }
}
