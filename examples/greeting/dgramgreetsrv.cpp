// dgramgreetsrv - IPv4 UDP greeting server on port 5678;
// dgramgreetsrv6.cpp builds this same source for IPv6.
#include "greeting.h"
#include "inetfam.h"
#include "udpguard.h"

// dgramgreetsrv: waits for one datagram on usockd, logs its sender and
// answers it with the greeting. A failed receive has no sender, and a
// sender the guard refuses gets neither line nor answer: both are skipped.
static void dgramgreetsrv(const int usockd)
{
    // A stop wakes the receive with no datagram and leaves the sender
    // unfilled: zeroed, it is no sender, which the guard refuses.
    fam::sockaddr_type fsa = {};
    socklen_t salen = sizeof fsa;
    char buf[1]; // the request is never looked at; the rest of it is dropped
    if (recvfrom(usockd, buf, sizeof buf, 0, sap(&fsa), &salen) < 0 ||
        guardrefuses(sap(&fsa), salen))
        return;
    logpeer(fam::datafmt, fsa);
    sendto(usockd, replymsg, strlen(replymsg), 0, sap(&fsa), salen);
}

// Answers one datagram at a time until stopped; ends only when the port
// cannot be had (status 1). SIGTERM and SIGINT end it between datagrams,
// with what it printed written out.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int servsockd = passiveUDPsock("5678");
    stopsignals(servsockd);
    guardownport(servsockd);
    for (;;) {
        stopturn();
        dgramgreetsrv(servsockd);
    }
}
