// rawudp - forging and watching UDP datagrams on IPv4 loopback.
#include "rawudp.h"
#include "testproc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

namespace tp {

bool rawopen(Raw &raw)
{
    raw.send = Fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    raw.sniff = Fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
    return raw.send >= 0 && raw.sniff >= 0;
}

bool forge(const Raw &raw, int sport, int dport, const std::string &payload, uint16_t check,
           const std::string &src)
{
    std::string pkt(sizeof(iphdr) + sizeof(udphdr), '\0');
    iphdr ip{};
    ip.ihl = 5;
    ip.version = 4;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(uint16_t(pkt.size() + payload.size()));
    inet_pton(AF_INET, src.c_str(), &ip.saddr);
    ip.daddr = htonl(INADDR_LOOPBACK);
    udphdr udp{};
    udp.source = htons(uint16_t(sport));
    udp.dest = htons(uint16_t(dport));
    udp.len = htons(uint16_t(sizeof udp + payload.size()));
    udp.check = htons(check);
    std::memcpy(pkt.data(), &ip, sizeof ip);
    std::memcpy(pkt.data() + sizeof ip, &udp, sizeof udp);
    pkt += payload;
    Addr to = addr("127.0.0.1", 0);
    return sendto(raw.send, pkt.data(), pkt.size(), 0, to.sa(), to.len) == ssize_t(pkt.size());
}

std::vector<Seen> sniff(const Raw &raw, int ms)
{
    std::vector<Seen> seen;
    long deadline = monotonicms() + ms;
    for (long left; (left = deadline - monotonicms()) > 0;) {
        pollfd pfd = {raw.sniff, POLLIN, 0};
        if (poll(&pfd, 1, int(left)) <= 0)
            continue;
        unsigned char buf[70000];
        ssize_t n = recv(raw.sniff, buf, sizeof buf, MSG_DONTWAIT);
        if (n < ssize_t(sizeof(iphdr)))
            continue;
        size_t ihl = size_t(buf[0] & 0x0f) * 4;
        if (size_t(n) < ihl + sizeof(udphdr))
            continue;
        udphdr h;
        std::memcpy(&h, buf + ihl, sizeof h);
        seen.push_back({ntohs(h.source), ntohs(h.dest),
                        std::string(reinterpret_cast<char *>(buf) + ihl + sizeof h,
                                    size_t(n) - ihl - sizeof h)});
    }
    return seen;
}

int count(const std::vector<Seen> &seen, int sport, int dport)
{
    int n = 0;
    for (const Seen &s : seen)
        n += s.sport == sport && s.dport == dport;
    return n;
}

} // namespace tp
