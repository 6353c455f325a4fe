// streamgreetsrv6 - IPv6 TCP greeting server on port 5678.
#include "inetfam.h"

using fam = inet6;

// Serves one connection at a time until stopped; ends only when the port
// cannot be had (errx, status 1). SIGTERM and SIGINT end it between
// connections, with what it printed written out.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int listensockd = passiveTCPsock<fam>("5678");
    stopsignals(listensockd);
    for (;;)
        acceptturn<fam>(listensockd);
}
