// streamgreetsrv - IPv4 TCP greeting server on port 5678;
// streamgreetsrv6.cpp builds this same source for IPv6.
#include "greeting.h"
#include "inetfam.h"

#include <unistd.h>

// streamgreetsrv: sends the greeting once on tsockd. A failed send (the
// client has gone) is ignored and raises no SIGPIPE.
static void streamgreetsrv(const int tsockd)
{
    send(tsockd, replymsg, strlen(replymsg), MSG_NOSIGNAL);
}

// Serves one connection at a time until stopped; ends only when the port
// cannot be had or the listening socket fails (status 1). SIGTERM and
// SIGINT end it between connections, with what it printed written out.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int listensockd = passiveTCPsock("5678");
    stopsignals(listensockd);
    for (;;) {
        fam::sockaddr_type fsa;
        socklen_t salen = sizeof fsa;
        stopturn();
        int connectionsockd = accept(listensockd, sap(&fsa), &salen);
        if (connectionsockd < 0) { // no peer to greet
            acceptfailed("accept");
            continue;
        }
        logpeer(fam::connfmt, fsa);
        streamgreetsrv(connectionsockd);
        // Closing with the client's data unread would reset the connection
        // and could destroy the greeting in flight: let the client finish.
        drainpeer(connectionsockd);
        close(connectionsockd);
    }
}
