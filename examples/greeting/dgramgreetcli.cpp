// dgramgreetcli - IPv4 UDP greeting client of 127.0.0.1 port 5678.
#include "inetfam.h"

using fam = inet4;

// One request, one reply printed. Exits 0 whatever happened; with no reply
// it waits for ever, as a plain datagram client does.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int clientsocket = connectUDPsock<fam>(fam::host, "5678");
    dgramgreetcli(clientsocket);
    exit(0);
}
