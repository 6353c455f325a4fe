// consumer - a program of another project, built against the installed
// portkit: prints an address through satop, then the port it listens on.
#include <portkit.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    if (portbase != 0) {
        std::puts("portbase is not zero");
        return 1;
    }
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_addr = in6addr_loopback;
    peer.sin6_port = htons(40000);
    char text[128];
    if (satop(reinterpret_cast<sockaddr *>(&peer), text, sizeof text) == nullptr)
        return 1;
    std::puts(text);

    int s = passiveTCP(argv[1], 5);
    sockaddr_storage self{};
    socklen_t len = sizeof self;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&self), &len) < 0 ||
        satop(reinterpret_cast<sockaddr *>(&self), text, sizeof text) == nullptr)
        return 1;
    std::printf("listening on %s\n", text);
    return 0;
}
