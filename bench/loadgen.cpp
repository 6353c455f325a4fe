// loadgen - the benchmark's load client: one load (CLIENTS, 1 to 16, are
// processes) against one port for some seconds, or one latency scenario
// (scenarios.cpp), and one result line for bench/run.sh; usage() tells how.
#include "loadgen.h"

#include <err.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char statusline[] = "HTTP/1.1 200 OK\r\n";
constexpr size_t minpage = 64 + 13; // the shortest page: greetpage's
constexpr char httpreq[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
constexpr loadkind loads[] = {
    {"daytime", load::tcpread, 25}, {"time", load::tcpread, 4},
    {"echo-short", load::echoshort, 1},     {"echo-4k", load::echobulk, 0},
    {"chargen", load::chargen, 0},          {"udp-echo", load::udp, 64},
    {"udp-time", load::udp, 4},             {"http", load::http, 0},
    {nullptr, load::tcpread, 0},
};

} // namespace

const loadkind *loadnamed(const char *name)
{
    for (const loadkind *lk = loads; lk->name != nullptr; ++lk)
        if (strcmp(lk->name, name) == 0)
            return lk;
    return nullptr;
}

double nowsec()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int peersock(int type, uint32_t from, int port, int secs)
{
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (secs > 0) {
        timebound(s, SO_RCVTIMEO, secs);
        timebound(s, SO_SNDTIMEO, secs);
    }
    sockaddr_in src = {.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(from)}, .sin_zero = {}};
    sockaddr_in dst = {.sin_family = AF_INET, .sin_port = htons(uint16_t(port)),
                       .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    if ((from != 0 && bind(s, sap(&src), sizeof src) < 0) ||
        (connect(s, sap(&dst), sizeof dst) < 0 && errno != EINPROGRESS)) {
        close(s);
        return -1;
    }
    return s;
}

bool ready(int fd, short events, double until)
{
    pollfd pfd = {.fd = fd, .events = events, .revents = 0};
    return fd >= 0 && poll(&pfd, 1, std::max(0, int((until - nowsec()) * 1000))) == 1;
}

// readall: bytes read until end of stream into buf (len at most); -1 on error.
static long readall(int s, char *buf, size_t len)
{
    size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < len; got += size_t(n))
        if ((n = read(s, buf + got, len - got)) < 0)
            return -1;
    return long(got);
}

bool oneconn(const loadkind &lk, uint32_t from, int port, int secs)
{
    int s = peersock(SOCK_STREAM, from, port, secs);
    if (s < 0)
        return false;
    char buf[512];
    bool ok = false;
    if (lk.kind == load::tcpread) {
        ok = readall(s, buf, sizeof buf) == long(lk.expect);
    } else if (lk.kind == load::echoshort) {
        ok = write(s, "x", 1) == 1 && read(s, buf, 1) == 1 && buf[0] == 'x';
    } else if (write(s, httpreq, sizeof httpreq - 1) == long(sizeof httpreq - 1)) {
        long n = readall(s, buf, sizeof buf);
        ok = n >= long(minpage) && memcmp(buf, statusline, sizeof statusline - 1) == 0;
    }
    close(s);
    return ok;
}

namespace {

// What one client, and then all of them, did; MiB for the streams.
struct tally {
    double ops;
    long errors;
    long lost;
};

// streamrun: one long connection until the deadline: echo in 4 KiB blocks
// with up to 64 KiB in flight, or chargen read; every byte is checked.
tally streamrun(const loadkind &lk, int port, double deadline)
{
    tally t{};
    static char pat[2 * chargenperiod]; // what chargen sends, and what echo is sent
    bool echo = lk.kind == load::echobulk;
    chargenfill(pat, sizeof pat);
    int s = peersock(SOCK_STREAM | SOCK_NONBLOCK, 0, port, 0);
    pollfd pfd = {.fd = s, .events = POLLOUT, .revents = 0};
    if (s < 0 || poll(&pfd, 1, 3000) != 1 || pfd.revents != POLLOUT)
        return {.ops = 0, .errors = 1, .lost = 0};
    size_t sent = 0, recvd = 0;
    const size_t limit = size_t(64) << 30; // bytes at most, whatever the time
    char buf[4096];
    for (bool sending = echo;;) {
        bool done = nowsec() >= deadline || recvd >= limit;
        if (done && !echo)
            break;
        if (done && sending) {
            shutdown(s, SHUT_WR);
            sending = false;
            deadline = nowsec() + 3; // the echo of what is in flight
        }
        pfd.events = short(POLLIN | (sending && sent - recvd < 65536 ? POLLOUT : 0));
        if (poll(&pfd, 1, 1000) <= 0)
            break;
        if ((pfd.revents & POLLOUT) != 0)
            sent += size_t(std::max(send(s, pat + sent % chargenperiod, 4096, MSG_NOSIGNAL), ssize_t(0)));
        if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
            if (n > 0) {
                t.errors += memcmp(buf, pat + recvd % chargenperiod, size_t(n)) != 0;
                recvd += size_t(n);
            }
        }
    }
    t.errors += (echo && recvd != sent) || recvd == 0;
    close(s);
    t.ops = double(recvd) / (1024 * 1024);
    return t;
}

// udprun: request and reply until count or deadline, 200 ms per request, a
// request left unanswered lost; round 250 sockets on 127.0.0.2 and on, as
// many clients ask, each far below the 1,000 a second a server may refuse.
tally udprun(const loadkind &lk, int port, long count, double deadline)
{
    constexpr int udppeers = 250;
    tally t{};
    std::array<int, udppeers> socks;
    for (int i = 0; i < udppeers; ++i)
        if ((socks[size_t(i)] = peersock(SOCK_DGRAM, INADDR_LOOPBACK + 1 + uint32_t(i), port, 0)) < 0)
            err(1, "udp client socket");
    bool timereq = lk.expect == 4;
    char req[64], rep[4096];
    memset(req, 'u', sizeof req);
    size_t reqlen = timereq ? 1 : sizeof req;
    for (long i = 0; i < count && nowsec() < deadline; ++i) {
        int s = socks[size_t(i % udppeers)];
        memcpy(req, &i, sizeof i); // a late echo is told from the current one
        if (send(s, req, reqlen, 0) < 0) {
            ++t.errors;
            continue;
        }
        bool answered = false;
        for (double until = nowsec() + 0.2; !answered;) {
            ssize_t n = ready(s, POLLIN, until) ? recv(s, rep, sizeof rep, 0) : -1;
            if (n < 0)
                break;
            uint32_t v;
            memcpy(&v, rep, sizeof v);
            long diff = long(ntohl(v)) - long(uint32_t(uint64_t(time(nullptr)) + unix1900));
            answered = timereq || (size_t(n) == reqlen && memcmp(rep, req, reqlen) == 0);
            t.errors += timereq && (n != 4 || labs(diff) > 5);
        }
        t.ops += answered;
        t.lost += !answered;
    }
    for (int s : socks)
        close(s);
    return t;
}

// client: one client's share of the load until deadline.
tally client(const loadkind &lk, int port, long share, double deadline)
{
    if (lk.kind == load::echobulk || lk.kind == load::chargen)
        return streamrun(lk, port, deadline);
    if (lk.kind == load::udp)
        return udprun(lk, port, share, deadline);
    tally t{};
    while (t.ops < share && nowsec() < deadline) {
        if (oneconn(lk, 0, port, 3))
            ++t.ops;
        else if (++t.errors > 200 && t.errors > t.ops)
            break; // the server is gone; no point hammering on
    }
    return t;
}

// runload: lk with its clients in child processes for secs; prints the
// result line. Never fails (err).
void runload(const loadkind &lk, int clients, int port, double secs)
{
    constexpr long count = 200000; // operations at most, whatever the time
    int fds[2];
    if (pipe(fds) < 0)
        err(1, "pipe");
    double start = nowsec();
    for (int i = 0; i < clients; ++i) {
        pid_t pid = fork();
        if (pid < 0)
            err(1, "fork");
        if (pid == 0) {
            close(fds[0]);
            tally t = client(lk, port, (count + clients - 1) / clients, start + secs);
            (void)!write(fds[1], &t, sizeof t);
            _exit(0);
        }
    }
    close(fds[1]);
    tally sum{}, t;
    for (; read(fds[0], &t, sizeof t) == ssize_t(sizeof t); sum.lost += t.lost) {
        sum.ops += t.ops;
        sum.errors += t.errors;
    }
    while (wait(nullptr) > 0)
        ;
    double took = nowsec() - start;
    printf("load=%s clients=%d port=%d ops=%.10g errors=%ld lost=%ld secs=%.4f rate=%.1f\n",
           lk.name, clients, port, sum.ops, sum.errors, sum.lost, took, sum.ops / took);
}

[[noreturn]] void usage()
{
    errx(2, "usage: loadgen LOAD CLIENTS PORT SECONDS | hold-silent|hold-stalled PORT | "
            "quad-share DAYTIMEPORT ECHOPORT");
}

} // namespace

int main(int argc, char *argv[])
{
    signal(SIGPIPE, SIG_IGN);
    if (argc < 3)
        usage();
    int port = atoi(argv[argc == 5 ? 3 : 2]);
    if (port <= 0 || port > 65535)
        errx(1, "port must be 1-65535");
    const loadkind *lk = loadnamed(argv[1]);
    if (lk != nullptr && argc == 5) {
        int clients = atoi(argv[2]);
        double secs = atof(argv[4]);
        if (clients < 1 || clients > 16 || secs <= 0 || secs > 30)
            errx(1, "clients must be 1-16, seconds above 0 and at most 30");
        runload(*lk, clients, port, secs);
        return 0;
    }
    if (!runscenario(argv[1], port, argc == 4 ? atoi(argv[3]) : 0))
        usage();
}
