// quadserv - super-server for echo, chargen, daytime and time over TCP and UDP.
#include "portkit.h"
#include "sockhelp.h"
#include "udpguard.h"

#include <err.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <numeric>

struct service {
    const char *sv_name;
    signed char sv_useTCP;
    int sv_sock;
    void (*sv_func)(const int);
};

constinit static std::array<service *, 64> fd2sv{};
static fd_set afds, rfds;
static fd_set ufds; // the UDP sockets alone: what is watched while TCP rests
constinit static int nfds;

// At most this many TCP children live at once. At the cap the listeners are
// not watched (connections wait in the listen queue) while UDP is answered.
// It stays below the service unit's task limit, so that the cap, not a
// failing fork, holds a flood back.
constexpr int maxchildren = 256;
// At most this many of them serve one source (an IPv4 address, an IPv6
// /64): a connection past its source's share is closed at once, so that one
// address cannot take every child and keep everyone else waiting.
constexpr int maxpersource = 64;
static_assert(maxpersource < maxchildren);
// Children alive, and the source each serves (ch_pid 0: a free slot); the
// reaper counts down and frees. SIGCHLD is let in only while the loop
// waits, so they never change under the loop's own update.
struct child {
    pid_t ch_pid;
    in6_addr ch_source;
};
constinit static std::array<child, maxchildren> children{};
static volatile sig_atomic_t nchildren = 0;

// An echo or chargen client that for this long neither sends nor takes
// anything is treated as gone. A build may shorten it to test it.
#ifndef QUADSERV_IDLESECS
#define QUADSERV_IDLESECS 300
#endif
constexpr time_t idlesecs = QUADSERV_IDLESECS;

// When accept finds no descriptor or memory to spare, the listeners rest
// (acceptrestms) instead of failing again at once in a busy loop.
constinit static long tcprestuntil = 0; // monotonic milliseconds

constexpr size_t linelen = 72;
using chargenline = std::array<char, linelen + 2>;
static_assert(sizeof(chargenline) == 74);
// After this many lines the printable characters (0x20 to 0x7e) come round to
// a blank again: that many lines are the whole stream, repeated.
constexpr size_t printables = 0x7f - 0x20;
constexpr size_t cyclelines = printables / std::gcd(linelen, printables);
using chargencycle = std::array<char, cyclelines * sizeof(chargenline)>;

constexpr uint32_t unix1900 = 2208988800U; // seconds from 1900 to 1970
constexpr size_t daybuflen = 72;

// udprecv: one datagram of up to len bytes into buf, sender in fsin; its
// length, or -1 when the turn is skipped (nothing to read after all, or a
// sender that must not be answered). Other failures end the server via
// errx with "what: reason".
static ssize_t udprecv(int sock, void *buf, size_t len, sockaddr_storage &fsin, const char *what)
{
    socklen_t alen = sizeof fsin;
    ssize_t n = recvfrom(sock, buf, len, 0, sap(&fsin), &alen);
    if (n < 0) {
        // select may report a datagram that then fails its checksum.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return -1;
        errx(1, "%s: %s\n", what, strerror(errno));
    }
    return guardrefuses(sap(&fsin), alen) ? -1 : n;
}

// udpreply: sends n bytes of buf to fsin; a failure is ignored.
static void udpreply(int sock, const void *buf, size_t n, sockaddr_storage &fsin)
{
    (void)sendto(sock, buf, n, 0, sap(&fsin), sizeof fsin);
}

// writeall: writes all n bytes, completing short writes and retrying EINTR;
// 0, or -1 with errno set.
static int writeall(int fd, const char *buf, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        buf += w;
        n -= size_t(w);
    }
    return 0;
}

// fillline: the next 72 characters of the printable cycle, starting at c and
// advancing it, then CR LF, into the 74 bytes at line.
static void fillline(char *line, char &c)
{
    for (size_t i = 0; i < linelen; ++i) {
        line[i] = c;
        if (++c == 0x7f)
            c = ' ';
    }
    line[linelen] = '\r';
    line[linelen + 1] = '\n';
}

// daytext: the local time as asctime writes it into buf; its length, 0 if the
// time cannot be converted.
static size_t daytext(char (&buf)[daybuflen])
{
    time_t now = time(nullptr);
    const tm *ptm = localtime(&now);
    const char *txt = ptm != nullptr ? asctime(ptm) : nullptr;
    buf[0] = '\0';
    if (txt != nullptr)
        snprintf(buf, sizeof buf, "%s", txt);
    return strlen(buf);
}

// timevalue: the RFC 868 time, seconds since 1900 modulo 2^32, network order.
static uint32_t timevalue()
{
    return htonl(uint32_t(uint64_t(time(nullptr)) + unix1900));
}

// idlebound: a read or write on fd that makes no progress for idlesecs then
// fails with EAGAIN, so a vanished client does not hold its child for ever.
static void idlebound(int fd)
{
    timebound(fd, SO_RCVTIMEO, idlesecs);
    timebound(fd, SO_SNDTIMEO, idlesecs);
}

// idledout: whether the failure in errno is idlebound's time-out.
static bool idledout()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// TCPechod: writes back every byte read until the peer closes or stays idle
// for idlesecs; any other read or write failure ends the child with status 1.
static void TCPechod(const int fd)
{
    char buf[4096];
    idlebound(fd);
    for (;;) {
        ssize_t cc = read(fd, buf, sizeof buf);
        if (cc == 0)
            return;
        if (cc < 0) {
            if (errno == EINTR)
                continue;
            if (idledout())
                return;
            errx(1, "echo read: %s\n", strerror(errno));
        }
        if (writeall(fd, buf, size_t(cc)) < 0) {
            if (idledout())
                return;
            errx(1, "echo write: %s\n", strerror(errno));
        }
    }
}

// UDPechod: answers one datagram with its first 4096 bytes.
static void UDPechod(const int sock)
{
    char buf[4096];
    sockaddr_storage fsin;
    ssize_t cc = udprecv(sock, buf, sizeof buf, fsin, "recvfrom");
    if (cc >= 0)
        udpreply(sock, buf, size_t(cc), fsin);
}

// TCPchargend: 74-byte lines, each continuing the cycle of the last, until a
// write fails, a client that takes nothing for idlesecs included. One whole
// period goes out per write: the same bytes as line by line, in a hundredth
// of the calls.
static void TCPchargend(const int fd)
{
    idlebound(fd);
    chargencycle cycle;
    char c = ' ';
    for (size_t i = 0; i < cyclelines; ++i)
        fillline(&cycle[i * sizeof(chargenline)], c);
    for (;;)
        if (writeall(fd, cycle.data(), cycle.size()) < 0)
            return;
}

// UDPchargend: answers one datagram with the first chargen line.
static void UDPchargend(const int sock)
{
    chargenline line;
    sockaddr_storage fsin;
    if (udprecv(sock, line.data(), line.size(), fsin, "recvfrom") < 0)
        return;
    char c = ' ';
    fillline(line.data(), c);
    udpreply(sock, line.data(), line.size(), fsin);
}

// TCPdaytimed: sends the local time as text. Whatever the client sent is
// drained, so the reply is not destroyed by a reset on close. (Closing at
// once when nothing is unread yet saved no measurable time, and a request
// arriving just after that look still turned the close into a reset.)
static void TCPdaytimed(const int fd)
{
    char buf[daybuflen];
    size_t n = daytext(buf);
    (void)!write(fd, buf, n);
    drainpeer(fd);
}

// UDPdaytimed: answers one datagram with the local time as text.
static void UDPdaytimed(const int sock)
{
    char buf[daybuflen];
    sockaddr_storage fsin;
    if (udprecv(sock, buf, sizeof buf, fsin, "recvfrom") < 0)
        return;
    size_t n = daytext(buf);
    udpreply(sock, buf, n, fsin);
}

// TCPtimed: sends the 4-byte time value, draining the client's input as
// TCPdaytimed does.
static void TCPtimed(const int fd)
{
    uint32_t now = timevalue();
    (void)!write(fd, &now, sizeof now);
    drainpeer(fd);
}

// UDPtimed: answers one datagram with the 4-byte time value.
static void UDPtimed(const int sock)
{
    char buf[1];
    sockaddr_storage fsin;
    if (udprecv(sock, buf, sizeof buf, fsin, "receive from") < 0)
        return;
    uint32_t now = timevalue();
    udpreply(sock, &now, sizeof now, fsin);
}

// The services, each over TCP and then over UDP, in the order their
// sockets are opened; the sentinel row ends the walk.
constinit static service svent[] = {
    {.sv_name = "echo", .sv_useTCP = 1, .sv_sock = -1, .sv_func = TCPechod},
    {.sv_name = "chargen", .sv_useTCP = 1, .sv_sock = -1, .sv_func = TCPchargend},
    {.sv_name = "daytime", .sv_useTCP = 1, .sv_sock = -1, .sv_func = TCPdaytimed},
    {.sv_name = "time", .sv_useTCP = 1, .sv_sock = -1, .sv_func = TCPtimed},
    {.sv_name = "echo", .sv_useTCP = 0, .sv_sock = -1, .sv_func = UDPechod},
    {.sv_name = "chargen", .sv_useTCP = 0, .sv_sock = -1, .sv_func = UDPchargend},
    {.sv_name = "daytime", .sv_useTCP = 0, .sv_sock = -1, .sv_func = UDPdaytimed},
    {.sv_name = "time", .sv_useTCP = 0, .sv_sock = -1, .sv_func = UDPtimed},
    {.sv_name = nullptr, .sv_useTCP = 0, .sv_sock = 0, .sv_func = nullptr},
};

// reaper: collects every ended child, counts it off and frees its slot;
// errno is kept for the interrupted code.
static void reaper([[maybe_unused]] int sig)
{
    int saved = errno;
    int status;
    pid_t pid;
    while ((pid = wait3(&status, WNOHANG, nullptr)) > 0) {
        nchildren = nchildren - 1;
        for (child &ch : children)
            if (ch.ch_pid == pid)
                ch.ch_pid = 0;
    }
    errno = saved;
}

// sourceshare: whether a connection from source may have a child: its
// source serves fewer than maxpersource.
static bool sourceshare(const in6_addr &source)
{
    return std::count_if(children.begin(), children.end(), [&](const child &ch) {
               return ch.ch_pid != 0 && memcmp(&ch.ch_source, &source, sizeof source) == 0;
           }) < maxpersource;
}

// childborn: records pid, serving source, in a free slot.
static void childborn(pid_t pid, const in6_addr &source)
{
    nchildren = nchildren + 1;
    for (child &ch : children)
        if (ch.ch_pid == 0) {
            ch = {.ch_pid = pid, .ch_source = source};
            return;
        }
}

// childclose: closes every descriptor but the connection, which it moves to 0.
static void childclose(int ssock)
{
    if (ssock != 0 && dup2(ssock, 0) < 0)
        exit(1);
    if (close_range(1, ~0U, 0) < 0) // kernels before 5.9
        for (int fd = int(fd2sv.size()); fd >= 1; --fd)
            close(fd);
}

// tcpwanted: whether the TCP listeners are served now: below the cap on
// children and not resting after a shortage. *restms gets what is left of
// a rest in milliseconds, 0 when none runs.
static bool tcpwanted(long *restms)
{
    *restms = tcprestuntil - monotonicms();
    if (*restms > 0)
        return false;
    *restms = 0;
    return nchildren < maxchildren;
}

// doTCP: accepts one connection on psv's socket and serves it in a child.
// A failure that concerns only this connection, a source past its share or
// a failed fork skips it; a shortage of descriptors or memory rests the
// listeners; any other accept failure ends the server.
static void doTCP(service *psv)
{
    sockaddr_storage fsin;
    socklen_t alen = sizeof fsin;
    // Linux's accept does not pass the listener's O_NONBLOCK on: ssock blocks.
    int ssock = accept(psv->sv_sock, sap(&fsin), &alen);
    if (ssock < 0) {
        switch (acceptverdict(errno)) {
        case acceptfail::skip:
            return;
        case acceptfail::rest:
            tcprestuntil = monotonicms() + acceptrestms;
            return;
        case acceptfail::fatal:
            errx(1, "accept: %s\n", strerror(errno));
        }
    }
    in6_addr source{};
    in_port_t port;
    if (peeraddr(fsin, alen, &source, &port))
        source = sourcekey(source);
    if (!sourceshare(source)) {
        close(ssock);
        return;
    }
    pid_t pid = fork();
    switch (pid) {
    case -1:
        warnx("fork: %s\n", strerror(errno));
        break;
    case 0:
        childclose(ssock);
        psv->sv_func(0);
        exit(0);
    default:
        childborn(pid, source);
        break;
    }
    close(ssock);
}

// stdnull: opens /dev/null on whichever of descriptors 0 to 2 is closed, so
// no service socket takes one of them; never fails, exits through err.
static void stdnull()
{
    // open takes the lowest free descriptor: the closed one at hand.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            err(1, "/dev/null");
}

// opensvc: opens psv's socket, non-blocking so a connection reset or a bad
// datagram between select and accept or recvfrom cannot stall the loop, and
// makes its port one the guard never answers; never fails, exits through
// errx/err.
static void opensvc(service *psv)
{
    const char *proto = psv->sv_useTCP ? "tcp" : "udp";
    psv->sv_sock = psv->sv_useTCP ? passiveTCP(psv->sv_name, 32) : passiveUDP(psv->sv_name);
    if (psv->sv_sock >= int(fd2sv.size()))
        errx(1, "%s/%s: descriptor %d is not below %zu\n", psv->sv_name, proto, psv->sv_sock,
             fd2sv.size());
    int flags = fcntl(psv->sv_sock, F_GETFL);
    if (flags < 0 || fcntl(psv->sv_sock, F_SETFL, flags | O_NONBLOCK) < 0)
        err(1, "%s/%s: can't make socket non-blocking", psv->sv_name, proto);
    guardownport(psv->sv_sock);
}

int main(int argc, char *argv[])
{
    if (argc == 2)
        portbase = static_cast<unsigned short>(atoi(argv[1]));
    else if (argc != 1)
        errx(1, "usage: %s [port]\n", argv[0]);

    stdnull();
    // Children then find the time zone loaded instead of reading it each.
    tzset();

    nfds = 0;
    FD_ZERO(&afds);
    FD_ZERO(&ufds);
    // Handed sockets are the service manager's choice: those services alone.
    bool handed = passivehanded() > 0;
    for (service *psv = svent; psv->sv_name != nullptr; ++psv) {
        if (handed && !passiveoffered(psv->sv_name, psv->sv_useTCP ? SOCK_STREAM : SOCK_DGRAM))
            continue;
        opensvc(psv);
        fd2sv[size_t(psv->sv_sock)] = psv;
        if (nfds <= psv->sv_sock)
            nfds = psv->sv_sock + 1;
        FD_SET(psv->sv_sock, &afds);
        if (!psv->sv_useTCP)
            FD_SET(psv->sv_sock, &ufds);
    }
    // SIGCHLD comes in only while the loop waits: a child that ends after
    // the cap was checked still interrupts the wait that follows.
    sigset_t waitmask, chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &waitmask);
    sigdelset(&waitmask, SIGCHLD);
    signal(SIGCHLD, reaper);
    passiveready();

    for (;;) {
        long restms;
        rfds = tcpwanted(&restms) ? afds : ufds;
        timespec rest = {.tv_sec = restms / 1000, .tv_nsec = restms % 1000 * 1000000};
        if (pselect(nfds, &rfds, nullptr, nullptr, restms > 0 ? &rest : nullptr, &waitmask) < 0) {
            if (errno == EINTR)
                continue;
            errx(1, "select error: %s\n", strerror(errno));
        }
        for (int fd = 0; fd < nfds; ++fd) {
            if (!FD_ISSET(fd, &rfds))
                continue;
            service *psv = fd2sv[size_t(fd)];
            if (!psv->sv_useTCP)
                psv->sv_func(psv->sv_sock);
            else if (tcpwanted(&restms)) // the cap or a rest may begin mid-pass
                doTCP(psv);
        }
    }
}
