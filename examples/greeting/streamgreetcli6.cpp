// streamgreetcli6 - IPv6 TCP greeting client of ::1 port 5678.
#include "inetfam.h"

using fam = inet6;

// Prints what the server sends. Exits 0 whatever happened: with no server
// there is simply nothing to print.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int clientsocket = connectTCPsock<fam>(fam::host, "5678");
    streamgreetcli(clientsocket);
    exit(0);
}
