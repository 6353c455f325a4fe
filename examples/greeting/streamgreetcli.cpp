// streamgreetcli - IPv4 TCP greeting client of 127.0.0.1 port 5678.
#include "inetfam.h"

using fam = inet4;

// Prints what the server sends. Exits 0 whatever happened: with no server
// there is simply nothing to print.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int clientsocket = connectTCPsock<fam>(fam::host, "5678");
    streamgreetcli(clientsocket);
    exit(0);
}
