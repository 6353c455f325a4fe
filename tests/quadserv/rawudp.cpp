// rawudp - forging and watching UDP datagrams on IPv4 loopback.
#include "rawudp.h"
#include "testproc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace tp {

bool rawopen(Raw &raw)
{
    raw.send = Fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    raw.sniff = Fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
    int on = 1, room = 4 << 20;
    setsockopt(raw.sniff, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    setsockopt(raw.sniff, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
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

std::vector<Seen> sniff(const Raw &raw, int ms, int quietms)
{
    // The kernel stamps in real time; the servers count in monotonic time.
    timespec real, mono;
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    long long realtomono = (real.tv_sec - mono.tv_sec) * 1000000000LL + real.tv_nsec - mono.tv_nsec;
    std::vector<Seen> seen;
    long deadline = monotonicms() + ms, heard = monotonicms();
    for (long left; (left = deadline - monotonicms()) > 0;) {
        if (quietms > 0 && monotonicms() - heard >= quietms)
            break;
        pollfd pfd = {raw.sniff, POLLIN, 0};
        if (poll(&pfd, 1, int(quietms > 0 ? std::min<long>(left, quietms) : left)) <= 0)
            continue;
        unsigned char buf[70000];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec iov = {buf, sizeof buf};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(raw.sniff, &msg, MSG_DONTWAIT);
        if (n < ssize_t(sizeof(iphdr)))
            continue;
        heard = monotonicms();
        long stamp = heard;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                stamp = long((ts.tv_sec * 1000000000LL + ts.tv_nsec - realtomono) / 1000000);
            }
        size_t ihl = size_t(buf[0] & 0x0f) * 4;
        if (size_t(n) < ihl + sizeof(udphdr))
            continue;
        udphdr h;
        std::memcpy(&h, buf + ihl, sizeof h);
        seen.push_back({ntohs(h.source), ntohs(h.dest),
                        std::string(reinterpret_cast<char *>(buf) + ihl + sizeof h,
                                    size_t(n) - ihl - sizeof h),
                        stamp});
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
