// dgramgreetcli6 - IPv6 UDP greeting client of ::1 port 5678.
#include "inetfam.h"

using fam = inet6;

// One request, one reply printed. Exits 0 whatever happened; with no reply
// it waits for ever, as a plain datagram client does.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int clientsocket = connectUDPsock<fam>(fam::host, "5678");
    dgramgreetcli(clientsocket);
    exit(0);
}
