// streamgreetcli - IPv4 TCP greeting client of 127.0.0.1 port 5678;
// streamgreetcli6.cpp builds this same source for IPv6.
#include "greeting.h"
#include "inetfam.h"

// streamgreetcli: copies what tsockd receives to stdout, piece by piece,
// until end of stream or an error. A NUL ends the printing of its piece.
static void streamgreetcli(const int tsockd)
{
    char buf[129];
    for (;;) {
        ssize_t nchars = recv(tsockd, buf, sizeof buf - 1, 0);
        if (nchars <= 0)
            return;
        buf[nchars] = '\0';
        fputs(buf, stdout);
    }
}

// Prints what the server sends. Exits 0 whatever happened: with no server
// there is simply nothing to print.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int clientsocket = connectTCPsock(fam::host, "5678");
    streamgreetcli(clientsocket);
    exit(0);
}
