// dgramgreetsrv6 - IPv6 UDP greeting server on port 5678.
#include "inetfam.h"

using fam = inet6;

// Answers one datagram at a time until killed; ends only when the port
// cannot be had (errx, status 1).
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int servsockd = passiveUDPsock<fam>("5678");
    for (;;)
        dgramgreetsrv<fam>(servsockd);
}
