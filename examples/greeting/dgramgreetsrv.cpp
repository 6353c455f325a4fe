// dgramgreetsrv - IPv4 UDP greeting server on port 5678.
#include "inetfam.h"

using fam = inet4;

// Answers one datagram at a time until stopped; ends only when the port
// cannot be had (errx, status 1). SIGTERM and SIGINT end it between
// datagrams, with what it printed written out.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int servsockd = passiveUDPsock<fam>("5678");
    stopsignals(servsockd);
    guardownport(servsockd);
    for (;;)
        dgramgreetsrv<fam>(servsockd);
}
