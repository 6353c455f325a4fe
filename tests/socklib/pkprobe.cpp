// pkprobe - drives libportkit from a real process for the library's tests.
//   pkprobe open SERVICE [BASE]     open SERVICE over TCP and UDP, print both
//   pkprobe tcp SERVICE N [BASE]    listen, accept N clients, print each peer
//   pkprobe udp SERVICE N [BASE]    bind, answer N datagrams, print each sender
#include "portkit.h"
#include "sockhelp.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// local: the address sd is bound to; an IPv4 one has its port where
// sin6_port lies.
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));
sockaddr_in6 local(int sd)
{
    sockaddr_in6 sin6{};
    socklen_t len = sizeof sin6;
    getsockname(sd, sap(&sin6), &len);
    return sin6;
}

// opened: the line "PROTO type=T port=P v6=0|1" for sd, T its socket type.
void opened(const char *proto, int sd)
{
    sockaddr_in6 b = local(sd);
    int type = 0;
    socklen_t len = sizeof type;
    getsockopt(sd, SOL_SOCKET, SO_TYPE, &type, &len);
    std::printf("%s type=%d port=%u v6=%d\n", proto, type, ntohs(b.sin6_port),
                int(b.sin6_family == AF_INET6));
}

// peers: takes n clients on sd, a socket of type, and prints each as satop
// forms it: accepts and closes a TCP connection, echoes a UDP datagram.
// 0, or 3 when a client cannot be taken.
int peers(int sd, int type, int n)
{
    for (int i = 0; i < n; ++i) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        char buf[64];
        ssize_t got = type == SOCK_STREAM ? accept(sd, sap(&ss), &len)
                                          : recvfrom(sd, buf, sizeof buf, 0, sap(&ss), &len);
        if (got < 0)
            return 3;
        char text[128];
        const char *peer = satop(sap(&ss), text, sizeof text);
        std::printf("peer %s\n", peer != nullptr ? peer : "(null)");
        if (type == SOCK_STREAM)
            close(int(got));
        else
            sendto(sd, buf, size_t(got), 0, sap(&ss), len);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3)
        return 2;
    const char *mode = argv[1];
    const char *service = argv[2];
    bool both = std::strcmp(mode, "open") == 0;
    int basearg = both ? 3 : 4;
    if (argc > basearg)
        portbase = static_cast<unsigned short>(std::atoi(argv[basearg]));

    if (both) {
        opened("tcp", passiveTCP(service, 5));
        opened("udp", passiveUDP(service));
        return 0;
    }
    int type = std::strcmp(mode, "tcp") == 0   ? SOCK_STREAM
               : std::strcmp(mode, "udp") == 0 ? SOCK_DGRAM
                                               : 0;
    if (type == 0)
        return 2;
    int sd = type == SOCK_STREAM ? passiveTCP(service, 5) : passiveUDP(service);
    std::printf("ready %u\n", ntohs(local(sd).sin6_port));
    return peers(sd, type, argc > 3 ? std::atoi(argv[3]) : 0);
}
