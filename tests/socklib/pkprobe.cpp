// pkprobe - drives libportkit from a real process for the library's tests.
//   pkprobe open SERVICE [BASE]     open SERVICE over TCP and UDP, print both
//   pkprobe tcp SERVICE N [BASE]    listen, accept N clients, print each peer
//   pkprobe udp SERVICE N [BASE]    bind, answer N datagrams, print each sender
#include "portkit.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

unsigned boundport(int sd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(sd, reinterpret_cast<sockaddr *>(&ss), &len);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

int family(int sd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(sd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3)
        return 2;
    const char *mode = argv[1];
    const char *service = argv[2];
    int n = argc > 3 ? std::atoi(argv[3]) : 0;
    int basearg = std::strcmp(mode, "open") == 0 ? 3 : 4;
    if (argc > basearg)
        portbase = static_cast<unsigned short>(std::atoi(argv[basearg]));

    if (std::strcmp(mode, "open") == 0) {
        int t = passiveTCP(service, 5);
        int u = passiveUDP(service);
        std::printf("tcp fd=%d port=%u v6=%d\n", t, boundport(t), family(t) == AF_INET6);
        std::printf("udp fd=%d port=%u v6=%d\n", u, boundport(u), family(u) == AF_INET6);
        return 0;
    }
    char text[128];
    if (std::strcmp(mode, "tcp") == 0) {
        int msock = passiveTCP(service, 5);
        std::printf("ready %u\n", boundport(msock));
        for (int i = 0; i < n; ++i) {
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            int s = accept(msock, reinterpret_cast<sockaddr *>(&ss), &len);
            if (s < 0)
                return 3;
            std::printf("peer %s\n", satop(reinterpret_cast<sockaddr *>(&ss), text, sizeof text));
            close(s);
        }
        return 0;
    }
    if (std::strcmp(mode, "udp") == 0) {
        int sd = passiveUDP(service);
        std::printf("ready %u\n", boundport(sd));
        for (int i = 0; i < n; ++i) {
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            char buf[64];
            ssize_t got = recvfrom(sd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&ss), &len);
            if (got < 0)
                return 3;
            std::printf("peer %s\n", satop(reinterpret_cast<sockaddr *>(&ss), text, sizeof text));
            sendto(sd, buf, size_t(got), 0, reinterpret_cast<sockaddr *>(&ss), len);
        }
        return 0;
    }
    return 2;
}
