// dgramgreetcli - IPv4 UDP greeting client of 127.0.0.1 port 5678;
// dgramgreetcli6.cpp builds this same source for IPv6.
#include "greeting.h"
#include "inetfam.h"

// dgramgreetcli: sends the request on usockd and prints the first datagram
// that comes back (at most 128 bytes, up to a NUL); an error prints nothing.
// It waits for the reply without a time-out, and checks neither call: a
// real client would do both.
static void dgramgreetcli(const int usockd)
{
    send(usockd, request, strlen(request), 0);
    char buf[129];
    ssize_t nchars = recv(usockd, buf, sizeof buf - 1, 0);
    if (nchars > 0) {
        buf[nchars] = '\0';
        fputs(buf, stdout);
    }
}

// One request, one reply printed. Exits 0 whatever happened; with no reply
// it waits for ever, as a plain datagram client does.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    int clientsocket = connectUDPsock(fam::host, "5678");
    dgramgreetcli(clientsocket);
    exit(0);
}
