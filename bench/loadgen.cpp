// loadgen - the benchmark's load client: one load against one port for some
// seconds, or one latency scenario, and one result line (bench/run.sh).
//   loadgen LOAD CLIENTS PORT SECONDS
//   loadgen hold-silent|hold-stalled PORT
//   loadgen quad-share DAYTIMEPORT ECHOPORT
// LOAD is one of the table loads below; CLIENTS (1 to 16) are processes.
#include "benchcommon.h"

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
constexpr size_t daytimelen = 25; // asctime's text, line end included

enum class load { tcpread, echoshort, echobulk, chargen, udp, http };

// The loads by name, and the reply length each checks (0: any): short
// connections read to the end, short echo, echo of 4 KiB blocks with up to
// 64 KiB in flight and chargen read (every byte checked), request and reply
// from 64 UDP sockets, and a GET read to the end with its status line checked.
struct loadkind {
    const char *name;
    load kind;
    size_t expect;
};
constexpr loadkind loads[] = {
    {"daytime", load::tcpread, daytimelen}, {"time", load::tcpread, 4},
    {"echo-short", load::echoshort, 1},     {"echo-4k", load::echobulk, 0},
    {"chargen", load::chargen, 0},          {"udp-echo", load::udp, 64},
    {"udp-time", load::udp, 4},             {"http", load::http, 0},
    {nullptr, load::tcpread, 0},
};

// What one client, and then all of them, did; MiB for the streams.
struct tally {
    double ops;
    long errors;
    long lost;
};

// nowsec: seconds on the monotonic clock, finer than monotonicms for rates.
double nowsec()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// peersock: a socket of type (SOCK_NONBLOCK allowed) connected, or on its
// way, to 127.0.0.1:port, from address from when it is not 0, with receive
// and send time-outs of ms when ms > 0; -1 with errno set on failure.
int peersock(int type, uint32_t from, int port, int ms)
{
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    timeval tv = {.tv_sec = ms / 1000, .tv_usec = ms % 1000 * 1000};
    if (ms > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
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

// ready: whether fd, when valid, has events by until.
bool ready(int fd, short events, double until)
{
    pollfd pfd = {.fd = fd, .events = events, .revents = 0};
    return fd >= 0 && poll(&pfd, 1, std::max(0, int((until - nowsec()) * 1000))) == 1;
}

// readall: bytes read until end of stream into buf (len at most); -1 on error.
long readall(int s, char *buf, size_t len)
{
    size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < len; got += size_t(n))
        if ((n = read(s, buf + got, len - got)) < 0)
            return -1;
    return long(got);
}

// oneconn: one short connection of lk from address from (0: any) with
// time-outs of ms; whether its reply was right.
bool oneconn(const loadkind &lk, uint32_t from, int port, int ms)
{
    int s = peersock(SOCK_STREAM, from, port, ms);
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

// udprun: request and reply until count or deadline, 200 ms per request;
// the requests go round 250 sockets, each from an address of its own on the
// loopback network (127.0.0.2 and on), as the load of many clients comes:
// a server may refuse a peer that asks 1,000 times a second, which 64
// sockets would near on a fast machine. A request left unanswered counts
// as lost.
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
        if (oneconn(lk, 0, port, 3000))
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

// ---------------------------------------------------------------- latency

// A latency scenario: idle echo connections opened first (to the second port
// given); holds hostile clients that connect, send what hostile says and then
// stall, one every holdgap seconds from the start; ordinary clients of load
// lk from address from (0: any), one every probegap seconds, each timed from
// its connect to the end of its reply and failed after limit seconds.
struct scenario {
    const char *name;
    int idle;
    const char *hostile;
    int holds;
    const loadkind *lk;
    int probes;
    unsigned limit;
    uint32_t from;
};
constexpr int idleconns = 300; // quad-share's
constexpr scenario scenarios[] = {
    {"hold-silent", 0, "", 16, &loads[7], 40, 10, 0},
    {"hold-stalled", 0, "G", 16, &loads[7], 40, 10, 0},
    {"quad-share", idleconns, "", 0, &loads[0], 10, 5, INADDR_LOOPBACK + 1},
    {nullptr, 0, nullptr, 0, nullptr, 0, 0, 0},
};
constexpr double holdgap = 0.5, probegap = 0.2;

// holdecho: n idle echo connections to port into fds, opened in batches that
// a listen queue of 32 holds; each echoes one byte, which shows that a child
// took it, then stays idle. A batch waits 1 s at most. How many echoed.
int holdecho(int port, int n, int *fds)
{
    int echoed = 0;
    for (int b = 0; b < n; b += 32) {
        int e = std::min(b + 32, n);
        double until = nowsec() + 1;
        for (int i = b; i < e; ++i)
            fds[i] = peersock(SOCK_STREAM | SOCK_NONBLOCK, 0, port, 0);
        for (int i = b; i < e; ++i)
            if (ready(fds[i], POLLOUT, until))
                (void)send(fds[i], "x", 1, MSG_NOSIGNAL);
        for (int i = b; i < e; ++i) {
            char c = 0;
            echoed += ready(fds[i], POLLIN, until) && recv(fds[i], &c, 1, 0) == 1 && c == 'x';
        }
    }
    return echoed;
}

// runscenario: sc against port, each client a short-lived child started on
// its own schedule, so that no slow answer delays the next; prints the result
// line. The hostile connections stay open until every ordinary client is
// done; a client that fails counts with the time it took, one cut off by its
// limit with the limit.
void runscenario(const scenario &sc, int port, int held, int accepted)
{
    struct timing {
        bool ok;
        double ms;
    };
    int fds[2];
    if (pipe(fds) < 0)
        err(1, "pipe");
    std::array<pid_t, 64> hostile{};
    int nhold = 0, nprobe = 0;
    for (double t0 = nowsec(); nhold < sc.holds || nprobe < sc.probes;) {
        bool hold = nhold < sc.holds && (nprobe == sc.probes || nhold * holdgap <= nprobe * probegap);
        double wait = t0 + (hold ? nhold * holdgap : nprobe * probegap) - nowsec();
        if (wait > 0)
            usleep(useconds_t(wait * 1e6));
        pid_t pid = fork();
        if (pid < 0)
            err(1, "fork");
        if (pid == 0 && hold) {
            close(fds[0]);
            close(fds[1]);
            alarm(60); // should this process be lost, its connection is not held for ever
            int s = peersock(SOCK_STREAM, 0, port, 0);
            (void)send(s, sc.hostile, strlen(sc.hostile), MSG_NOSIGNAL);
            pause(); // until the scenario ends
        } else if (pid == 0) {
            alarm(sc.limit);
            double start = nowsec();
            timing t = {oneconn(*sc.lk, sc.from, port, int(sc.limit) * 1000), 0};
            t.ms = (nowsec() - start) * 1000;
            (void)!write(fds[1], &t, sizeof t);
            _exit(0);
        }
        if (hold)
            hostile[size_t(nhold++)] = pid;
        else
            ++nprobe;
    }
    close(fds[1]);
    std::array<double, 64> lat{};
    int done = 0, failed = 0;
    for (timing t; read(fds[0], &t, sizeof t) == ssize_t(sizeof t); failed += !t.ok)
        lat[size_t(done++)] = t.ms;
    for (; done < sc.probes; ++failed) // killed by their alarm
        lat[size_t(done++)] = sc.limit * 1000.0;
    for (int i = 0; i < nhold; ++i)
        kill(hostile[size_t(i)], SIGTERM);
    while (wait(nullptr) > 0)
        ;
    std::sort(lat.begin(), lat.begin() + done);
    printf("scenario=%s port=%d requests=%d failed=%d median_ms=%.1f worst_ms=%.1f hostile=%d",
           sc.name, port, done, failed, (lat[size_t((done - 1) / 2)] + lat[size_t(done / 2)]) / 2,
           lat[size_t(done - 1)], nhold);
    if (held > 0)
        printf(" held=%d accepted=%d", held, accepted);
    printf("\n");
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: loadgen LOAD CLIENTS PORT SECONDS\n"
                    "       loadgen hold-silent|hold-stalled PORT\n"
                    "       loadgen quad-share DAYTIMEPORT ECHOPORT\n");
    exit(2);
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
    for (const loadkind *lk = loads; argc == 5 && lk->name != nullptr; ++lk) {
        if (strcmp(lk->name, argv[1]) != 0)
            continue;
        int clients = atoi(argv[2]);
        double secs = atof(argv[4]);
        if (clients < 1 || clients > 16 || secs <= 0 || secs > 30)
            errx(1, "clients must be 1-16, seconds above 0 and at most 30");
        runload(*lk, clients, port, secs);
        return 0;
    }
    for (const scenario *sc = scenarios; sc->name != nullptr; ++sc) {
        if (strcmp(sc->name, argv[1]) != 0 || argc != (sc->idle > 0 ? 4 : 3))
            continue;
        static int idle[idleconns];
        rlimit rl; // room for the idle connections
        if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 1024) {
            rl.rlim_cur = std::min<rlim_t>(1024, rl.rlim_max);
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        int accepted = sc->idle > 0 ? holdecho(atoi(argv[3]), sc->idle, idle) : 0;
        runscenario(*sc, port, sc->idle, accepted);
        return 0;
    }
    usage();
}
