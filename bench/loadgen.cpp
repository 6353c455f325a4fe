// loadgen - load tool: measures the suite's servers against two reference
// servers (refserver) and, for the pages, against nginx.
//
//   loadgen suite BINDIR OUTDIR [rounds] [seconds] [mode-prefix]
//
// BINDIR holds the suite's programs and refserver. quadserv runs at a base
// of its own; datepage and clockpage at quadserv's base plus 200 and 201,
// greetpage at its fixed 5678, nginx at quadserv's base plus 202 to 204
// (one port per page) with a configuration of its own in a temporary folder. Only the modes whose
// names begin with mode-prefix run when it is given. Besides the rates it
// reports what an operation cost each server in CPU, from /proc.
#include "benchcommon.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <string_view>

namespace {

// ---------------------------------------------------------------- common

constexpr char statusline[] = "HTTP/1.1 200 OK\r\n";
constexpr size_t minpage = 64 + 13; // the shortest page: greetpage's
constexpr char httpreq[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

// nowsec: seconds on the monotonic clock.
double nowsec()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// settimeo: receive and send time-outs of ms milliseconds on s.
void settimeo(int s, int ms)
{
    timeval tv = {.tv_sec = ms / 1000, .tv_usec = (ms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// loopaddr: 127.0.0.1 at port.
sockaddr_in loopaddr(int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(uint16_t(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

// portfree: whether port can be bound right now for TCP and for UDP.
bool portfree(int port)
{
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        int s = bindsock(type, port);
        if (s < 0)
            return false;
        close(s);
    }
    return true;
}

// pickbase: a base whose every service offset, and base+200 to +204 for
// the page servers and nginx, is free and at least 300 ports away from the
// nused bases in used; never fails (errx).
int pickbase(const int *used, int nused)
{
    for (int tries = 0; tries < 2000; ++tries) {
        int base = 10000 + rand() % 22000; // below the ephemeral ports
        bool ok = true;
        for (int off = 200; off <= 204; ++off)
            ok = ok && portfree(base + off);
        for (int i = 0; i < nused; ++i)
            ok = ok && abs(base - used[i]) >= 300;
        for (int off : keyoff)
            ok = ok && portfree(base + off);
        if (ok)
            return base;
    }
    errx(1, "no free port base found");
}

// ---------------------------------------------------------------- load workers

enum class load { tcpread, echoshort, echobulk, chargen, udp, http };

// One measurement: what to do, against which port, with how many clients.
struct job {
    load kind;
    int port;
    int clients;
    long count;    // operations at most (bytes: blocks of 4 KiB)
    double secs;   // and at most this long
    size_t expect; // reply length that tcpread and udp check (0: any)
    bool udptime;  // udp: a time request rather than an echo
};

// What one worker, and then the whole job, did.
struct tally {
    long ops;
    long errors;
    long lost;
    double bytes;
};

// tcpopen: a TCP socket connected to 127.0.0.1:port with 3 s time-outs; -1 on failure.
int tcpopen(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    settimeo(s, 3000);
    sockaddr_in sin = loopaddr(port);
    if (connect(s, sap(&sin), sizeof sin) < 0) {
        close(s);
        return -1;
    }
    return s;
}

// readall: bytes read until end of stream into buf (len at most); -1 on error.
long readall(int s, char *buf, size_t len)
{
    size_t got = 0;
    for (;;) {
        ssize_t n = read(s, buf + got, len - got);
        if (n == 0)
            return long(got);
        if (n < 0)
            return errno == EINTR ? long(got) : -1;
        got += size_t(n);
        if (got == len)
            return long(got);
    }
}

// oneconn: one short connection of kind; whether its reply was right.
bool oneconn(const job &j)
{
    int s = tcpopen(j.port);
    if (s < 0)
        return false;
    char buf[512];
    bool ok = false;
    switch (j.kind) {
    case load::tcpread:
        ok = readall(s, buf, sizeof buf) == long(j.expect);
        break;
    case load::echoshort:
        ok = write(s, "x", 1) == 1 && read(s, buf, 1) == 1 && buf[0] == 'x';
        break;
    case load::http: {
        long n = write(s, httpreq, sizeof httpreq - 1) == long(sizeof httpreq - 1)
                     ? readall(s, buf, sizeof buf) : -1;
        ok = n >= long(minpage) && memcmp(buf, statusline, sizeof statusline - 1) == 0;
        break;
    }
    default:
        break;
    }
    close(s);
    return ok;
}

// streamrun: one long connection until the deadline: echo in 4 KiB blocks
// with up to 64 KiB in flight, or chargen read; every byte is checked.
tally streamrun(const job &j, double deadline)
{
    tally t{};
    static char pat[2 * chargenperiod];
    size_t period = j.kind == load::chargen ? chargenperiod : 4096;
    if (j.kind == load::chargen)
        chargenfill(pat, sizeof pat);
    else
        for (size_t i = 0; i < sizeof pat; ++i)
            pat[i] = char('a' + (i % 4096 * 7) % 26); // the same every 4096 bytes

    int s = tcpopen(j.port);
    if (s < 0) {
        t.errors = 1;
        return t;
    }
    fcntl(s, F_SETFL, O_NONBLOCK);
    size_t sent = 0, recvd = 0;
    const size_t limit = size_t(j.count) * 4096;
    bool sending = j.kind == load::echobulk;
    char buf[4096];
    for (;;) {
        bool done = nowsec() >= deadline || recvd >= limit;
        if (done && sending) {
            shutdown(s, SHUT_WR);
            sending = false;
            deadline = nowsec() + 3; // the echo of what is in flight
        }
        if (done && j.kind == load::chargen)
            break;
        pollfd pfd = {.fd = s, .events = POLLIN, .revents = 0};
        if (sending && sent - recvd < 65536)
            pfd.events |= POLLOUT;
        if (poll(&pfd, 1, 1000) <= 0)
            break;
        if ((pfd.revents & POLLOUT) != 0) {
            ssize_t n = send(s, pat + sent % period, 4096, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
        }
        if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
            if (n > 0) {
                if (memcmp(buf, pat + recvd % period, size_t(n)) != 0)
                    ++t.errors;
                recvd += size_t(n);
            }
        }
    }
    if (j.kind == load::echobulk && recvd != sent)
        ++t.errors;
    close(s);
    t.ops = 1;
    t.bytes = double(recvd);
    return t;
}

// udppeer: a UDP socket from an address of its own on the loopback network
// (127.0.0.2 and on, by i) connected to 127.0.0.1:port; -1 on failure.
int udppeer(int i, int port)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in from = loopaddr(0);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + uint32_t(i % 250));
    sockaddr_in to = loopaddr(port);
    if (bind(s, sap(&from), sizeof from) < 0 || connect(s, sap(&to), sizeof to) < 0) {
        close(s);
        return -1;
    }
    return s;
}

// udprun: request and reply until count or deadline, 200 ms per request;
// the requests go round udppeers sockets, each from an address and port of
// its own, as the load of many clients comes (a server may refuse one peer
// that asks too often). A request left unanswered counts as lost.
tally udprun(const job &j, long count, double deadline)
{
    constexpr int udppeers = 64;
    tally t{};
    std::array<int, udppeers> socks;
    for (int i = 0; i < udppeers; ++i) {
        socks[size_t(i)] = udppeer(i, j.port);
        if (socks[size_t(i)] < 0) {
            t.errors = 1;
            for (int k = 0; k < i; ++k)
                close(socks[size_t(k)]);
            return t;
        }
    }
    char req[64], rep[4096];
    memset(req, 'u', sizeof req);
    size_t reqlen = j.udptime ? 1 : sizeof req;
    for (long i = 0; i < count && nowsec() < deadline; ++i) {
        int s = socks[size_t(i % udppeers)];
        memcpy(req, &i, sizeof i); // a late echo is told from the current one
        if (send(s, req, reqlen, 0) < 0) {
            ++t.errors;
            continue;
        }
        double until = nowsec() + 0.2;
        bool answered = false;
        while (!answered) {
            int left = int((until - nowsec()) * 1000);
            pollfd pfd = {.fd = s, .events = POLLIN, .revents = 0};
            if (left <= 0 || poll(&pfd, 1, left) <= 0)
                break;
            ssize_t n = recv(s, rep, sizeof rep, 0);
            if (n < 0)
                break;
            if (j.udptime) {
                uint32_t v;
                memcpy(&v, rep, sizeof v);
                long diff = long(ntohl(v)) - long(uint32_t(uint64_t(time(nullptr)) + unix1900));
                answered = true;
                t.errors += n != 4 || labs(diff) > 5;
            } else if (size_t(n) == reqlen && memcmp(rep, req, reqlen) == 0) {
                answered = true;
            }
        }
        if (answered)
            ++t.ops;
        else
            ++t.lost;
    }
    for (int s : socks)
        close(s);
    return t;
}

// worker: one client's share of job j until deadline.
tally worker(const job &j, long share, double deadline)
{
    if (j.kind == load::echobulk || j.kind == load::chargen)
        return streamrun(j, deadline);
    if (j.kind == load::udp)
        return udprun(j, share, deadline);
    tally t{};
    while (t.ops < share && nowsec() < deadline) {
        if (oneconn(j))
            ++t.ops;
        else if (++t.errors > 200 && t.errors > t.ops)
            break; // the server is gone; no point hammering on
    }
    return t;
}

// runjob: j with its clients in child processes; the summed tally and the
// elapsed seconds in *secs.
tally runjob(const job &j, double *secs)
{
    int fds[2];
    if (pipe(fds) < 0)
        err(1, "pipe");
    double start = nowsec();
    double deadline = start + j.secs;
    pid_t pids[16];
    int n = std::min(j.clients, 16);
    for (int i = 0; i < n; ++i) {
        pids[i] = fork();
        if (pids[i] < 0)
            err(1, "fork");
        if (pids[i] == 0) {
            close(fds[0]);
            tally t = worker(j, (j.count + n - 1) / n, deadline);
            (void)!write(fds[1], &t, sizeof t);
            _exit(0);
        }
    }
    close(fds[1]);
    tally sum{};
    tally t;
    while (read(fds[0], &t, sizeof t) == ssize_t(sizeof t)) {
        sum.ops += t.ops;
        sum.errors += t.errors;
        sum.lost += t.lost;
        sum.bytes += t.bytes;
    }
    for (int i = 0; i < n; ++i)
        waitpid(pids[i], nullptr, 0);
    close(fds[0]);
    *secs = nowsec() - start;
    return sum;
}

// ---------------------------------------------------------------- the suite

// A server under test or a reference: its process and the port of each key.
struct server {
    const char *name;
    pid_t pid;
    std::array<int, nkeys> port;
    bool up;
};

enum srvidx { s_quad, s_fork, s_inproc, s_date, s_clock, s_greet, s_nginx, nservers };

// Which reference is the ceiling of a mode.
enum class ceil { fork, inproc, better };

// One benchmark mode: the load, the subject and its ceiling, the target
// ratios to the ceiling and (pages only) to nginx.
struct mode {
    const char *name;
    load kind;
    svckey key;
    int clients;
    srvidx subject;
    ceil ceiling;
    double target;  // 0: reported only
    double vsnginx; // -1: not compared; 0: reported only
    size_t expect;
    const char *unit;
};

constexpr mode modes[] = {
    {"tcp-daytime-1", load::tcpread, k_daytime, 1, s_quad, ceil::fork, 0.95, -1, 25, "conn/s"},
    {"tcp-daytime-4", load::tcpread, k_daytime, 4, s_quad, ceil::fork, 0.95, -1, 25, "conn/s"},
    {"tcp-time-1", load::tcpread, k_time, 1, s_quad, ceil::fork, 0.95, -1, 4, "conn/s"},
    {"tcp-time-4", load::tcpread, k_time, 4, s_quad, ceil::fork, 0.95, -1, 4, "conn/s"},
    {"tcp-echo-short-1", load::echoshort, k_echo, 1, s_quad, ceil::fork, 0.95, -1, 1, "conn/s"},
    {"tcp-echo-short-4", load::echoshort, k_echo, 4, s_quad, ceil::fork, 0.95, -1, 1, "conn/s"},
    {"tcp-echo-4k", load::echobulk, k_echo, 1, s_quad, ceil::better, 0.95, -1, 0, "MiB/s"},
    {"tcp-chargen", load::chargen, k_chargen, 1, s_quad, ceil::better, 0.95, -1, 0, "MiB/s"},
    {"udp-echo", load::udp, k_uecho, 1, s_quad, ceil::inproc, 0.95, -1, 64, "req/s"},
    {"udp-time", load::udp, k_utime, 1, s_quad, ceil::inproc, 0.95, -1, 4, "req/s"},
    {"http-datepage-1", load::http, k_date, 1, s_date, ceil::inproc, 0.95, 1.0, 0, "req/s"},
    {"http-datepage-4", load::http, k_date, 4, s_date, ceil::inproc, 0.95, 0, 0, "req/s"},
    {"http-clockpage-1", load::http, k_clock, 1, s_clock, ceil::inproc, 0.95, 1.0, 0, "req/s"},
    {"http-clockpage-4", load::http, k_clock, 4, s_clock, ceil::inproc, 0.95, 0, 0, "req/s"},
    {"http-greetpage-1", load::http, k_greet, 1, s_greet, ceil::inproc, 0.95, 1.0, 0, "req/s"},
    {"http-greetpage-4", load::http, k_greet, 4, s_greet, ceil::inproc, 0.95, 0, 0, "req/s"},
};
constexpr size_t nmodes = std::size(modes);
constexpr int maxrounds = 101;

// Rates of every round, per mode and server; NaN-free, counted by nrounds.
// With them, summed over the rounds, the operations (or MiB) done and the
// CPU ticks the server spent on them.
struct results {
    double rate[nmodes][nservers][maxrounds];
    double ops[nmodes][nservers];
    long ticks[nmodes][nservers];
    long errors[nmodes][nservers];
    long lost[nmodes][nservers];
    int nrounds;
};

// spawnserver: starts argv with stdout and stderr to logpath; its pid; never fails (err).
pid_t spawnserver(const char *const argv[], const char *logpath)
{
    int log = open(logpath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0)
        err(1, "%s", logpath);
    pid_t pid = fork();
    if (pid < 0)
        err(1, "fork");
    if (pid == 0) {
        dup2(log, 1);
        dup2(log, 2);
        signal(SIGPIPE, SIG_DFL);
        execv(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(log);
    return pid;
}

// waitlisten: whether a TCP connection to port succeeds within 5 s.
bool waitlisten(int port, pid_t pid)
{
    for (double until = nowsec() + 5; nowsec() < until;) {
        int s = tcpopen(port);
        if (s >= 0) {
            close(s);
            return true;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return false;
        usleep(20000);
    }
    return false;
}

// findnginx: the nginx program on PATH or in /usr/sbin into exe; false if none.
bool findnginx(char (&exe)[4096])
{
    const char *path = getenv("PATH");
    char dirs[4096];
    snprintf(dirs, sizeof dirs, "%s:/usr/sbin:/sbin", path != nullptr ? path : "");
    for (char *save = nullptr, *d = strtok_r(dirs, ":", &save); d != nullptr;
         d = strtok_r(nullptr, ":", &save)) {
        snprintf(exe, sizeof exe, "%s/nginx", d);
        if (access(exe, X_OK) == 0)
            return true;
    }
    return false;
}

// nginxstart: nginx in the foreground on 127.0.0.1 at port to port+2, serving the 13-byte
// greeting to every request and closing each connection, everything it
// writes (configuration, pid file, logs, temporary files) in the new folder
// dir; its pid, or -1 when there is no nginx.
pid_t nginxstart(int port, char (&dir)[4096], const char *logpath)
{
    char exe[4096];
    if (!findnginx(exe))
        return -1;
    const char *tmp = getenv("TMPDIR");
    snprintf(dir, sizeof dir, "%s/loadgen-nginx.XXXXXX", tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    if (mkdtemp(dir) == nullptr)
        err(1, "mkdtemp");
    char conf[4200];
    snprintf(conf, sizeof conf, "%s/nginx.conf", dir);
    FILE *f = fopen(conf, "w");
    if (f == nullptr)
        err(1, "%s", conf);
    // One worker, no access log: a single busy process, as the page servers
    // are, with no more work per request than it must do.
    fprintf(f,
            "daemon off;\n"
            "worker_processes 1;\n"
            "pid %s/nginx.pid;\n"
            "error_log %s/error.log;\n"
            "events { worker_connections 512; }\n"
            "http {\n"
            "    access_log off;\n"
            "    keepalive_timeout 0;\n",
            dir, dir);
    for (const char *t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        fprintf(f, "    %s_temp_path %s/%s;\n", t, dir, t);
    fprintf(f,
            "    server {\n"
            "        listen 127.0.0.1:%d;\n"
            "        listen 127.0.0.1:%d;\n"
            "        listen 127.0.0.1:%d;\n"
            "        default_type text/plain;\n"
            "        location / { return 200 \"Hello World!\\n\"; }\n"
            "    }\n"
            "}\n",
            port, port + 1, port + 2);
    fclose(f);
    char errlog[4200];
    snprintf(errlog, sizeof errlog, "%s/error.log", dir);
    const char *argv[] = {exe, "-p", dir, "-e", errlog, "-c", conf, nullptr};
    return spawnserver(argv, logpath);
}

int removeentry(const char *path, const struct stat *, int, FTW *)
{
    return remove(path);
}

// nginxstop: stops nginx by its pid and removes its folder.
void nginxstop(pid_t pid, const char *dir)
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (dir[0] != '\0')
        nftw(dir, removeentry, 16, FTW_DEPTH | FTW_PHYS);
}

// rsskb: the resident memory of pid in KiB (VmRSS); 0 if unknown.
long rsskb(pid_t pid)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    long kb = 0;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = atol(line + 6);
    fclose(f);
    return kb;
}

// What /proc/PID/stat says of a process: its state, its parent, and the
// clock ticks of CPU it and the children it has reaped have used.
struct pstat {
    char state;
    int ppid;
    long ticks;
};

bool readstat(const char *pid, pstat *ps)
{
    char path[300], line[1024];
    snprintf(path, sizeof path, "/proc/%s/stat", pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return false;
    bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    const char *rp = got ? strrchr(line, ')') : nullptr; // the name may hold anything
    long ut, st, cut, cst;
    if (rp == nullptr || sscanf(rp + 2, "%c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld %ld %ld",
                                &ps->state, &ps->ppid, &ut, &st, &cut, &cst) != 6)
        return false;
    ps->ticks = ut + st + cut + cst;
    return true;
}

// Children of a process, from /proc: how many live, how many zombies, their
// resident KiB and the CPU ticks of the live ones.
struct kids {
    int live;
    int zombies;
    long rsskb;
    long ticks;
};

kids childrenof(pid_t pid)
{
    kids k{};
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return k;
    while (dirent *e = readdir(d)) {
        pstat ps;
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || !readstat(e->d_name, &ps) ||
            ps.ppid != pid)
            continue;
        if (ps.state == 'Z') {
            ++k.zombies;
        } else {
            ++k.live;
            k.rsskb += rsskb(pid_t(atoi(e->d_name)));
            k.ticks += ps.ticks;
        }
    }
    closedir(d);
    return k;
}

// cputicks: the clock ticks of CPU that pid has used with all its children,
// reaped (quadserv's, the fork reference's) or running (nginx's worker).
long cputicks(pid_t pid)
{
    char name[16];
    snprintf(name, sizeof name, "%d", int(pid));
    pstat ps;
    return (readstat(name, &ps) ? ps.ticks : 0) + childrenof(pid).ticks;
}

// median: of the first n values (sorted in place).
double median(double *v, int n)
{
    std::sort(v, v + n);
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One run of a mode against one server: its rate in the mode's unit, the
// operations (or MiB) it made of, and what it cost the server.
struct runstat {
    double rate;
    double ops;
    long ticks;
    long errors;
    long lost;
};

// measure: one run of mode m against server sv.
runstat measure(const mode &m, const server &sv, double secs)
{
    job j = {.kind = m.kind, .port = sv.port[m.key], .clients = m.clients,
             .count = m.kind == load::echobulk || m.kind == load::chargen ? 1L << 20 : 200000,
             .secs = secs, .expect = m.expect, .udptime = m.key == k_utime};
    double took;
    long before = cputicks(sv.pid);
    tally t = runjob(j, &took);
    long ticks = cputicks(sv.pid) - before;
    bool bulk = m.kind == load::echobulk || m.kind == load::chargen;
    double ops = bulk ? t.bytes / (1024 * 1024) : double(t.ops);
    return {.rate = ops / took, .ops = ops, .ticks = ticks, .errors = t.errors, .lost = t.lost};
}

// compared: the servers that mode m runs against, subject first.
int compared(const mode &m, const server *svs, srvidx *out)
{
    int n = 0;
    out[n++] = m.subject;
    if (m.subject == s_quad && m.kind != load::udp)
        out[n++] = s_fork;
    out[n++] = s_inproc;
    if (m.vsnginx >= 0 && svs[s_nginx].up)
        out[n++] = s_nginx;
    return n;
}

// selected: whether mode m runs: its name begins with only (all when null).
bool selected(const mode &m, const char *only)
{
    return only == nullptr || strncmp(m.name, only, strlen(only)) == 0;
}

// runrounds: every selected mode against its servers, rounds times, servers
// in alternating order; a warm-up pass first that is not counted. Each
// counted run's rate goes to runs as a line too.
void runrounds(results &r, server *svs, int rounds, double secs, const char *only, FILE *runs)
{
    for (int round = -1; round < rounds; ++round) {
        double t = round < 0 ? secs / 5 : secs;
        for (size_t mi = 0; mi < nmodes; ++mi) {
            const mode &m = modes[mi];
            if (!svs[m.subject].up || !selected(m, only))
                continue;
            srvidx order[4];
            int n = compared(m, svs, order);
            if (round % 2 == 1)
                std::reverse(order, order + n);
            for (int i = 0; i < n; ++i) {
                runstat rs = measure(m, svs[order[i]], t);
                if (round >= 0) {
                    fprintf(runs, "round=%d mode=%s server=%s rate=%.1f cpu_ticks=%ld\n",
                            round + 1, m.name, svs[order[i]].name, rs.rate, rs.ticks);
                    r.rate[mi][order[i]][round] = rs.rate;
                    r.ops[mi][order[i]] += rs.ops;
                    r.ticks[mi][order[i]] += rs.ticks;
                    r.errors[mi][order[i]] += rs.errors;
                    r.lost[mi][order[i]] += rs.lost;
                }
            }
        }
        if (round >= 0) {
            r.nrounds = round + 1;
            fprintf(stderr, "loadgen: round %d of %d done\n", round + 1, rounds);
        }
    }
}

// The name of a reference server in results.txt.
constexpr const char *resname[nservers] = {"quadserv", "fork_ref", "inproc_ref", "datepage",
                                           "clockpage", "greetpage", "nginx"};

// cpuus: the CPU microseconds server s spent per operation (per MiB in the
// MiB/s modes) over the rounds of mode mi; 0 when it did none.
double cpuus(const results &r, size_t mi, int s)
{
    const double ustick = 1e6 / double(sysconf(_SC_CLK_TCK));
    return r.ops[mi][s] > 0 ? double(r.ticks[mi][s]) * ustick / r.ops[mi][s] : 0;
}

// cputable: for each mode, what an operation cost each server in CPU: a
// measure of its work that the machine's noise hardly moves, unlike rates.
void cputable(const results &r, const server *svs, const char *only)
{
    printf("\nCPU of the server per operation, microseconds (per MiB in the MiB/s modes),\n"
           "over all rounds, children included:\n%-18s %10s %10s %10s %10s\n",
           "mode", "subject", "fork-ref", "inproc-ref", "nginx");
    for (size_t mi = 0; mi < nmodes; ++mi) {
        const mode &m = modes[mi];
        if (!selected(m, only) || !svs[m.subject].up)
            continue;
        srvidx order[4];
        int n = compared(m, svs, order);
        char col[nservers][32];
        for (auto &c : col)
            snprintf(c, sizeof c, "-");
        for (int i = 0; i < n; ++i)
            snprintf(col[order[i]], sizeof col[0], "%.2f", cpuus(r, mi, order[i]));
        printf("%-18s %10s %10s %10s %10s\n", m.name, col[m.subject], col[s_fork], col[s_inproc],
               col[s_nginx]);
    }
}

// report: the table on stdout, one "loadgen ..." line per mode in
// OUTDIR/results.txt and stdout, and the ratios for the chart in ratios.dat;
// the number of targets missed.
int report(results &r, server *svs, const char *outdir, const char *only)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/results.txt", outdir);
    FILE *res = fopen(path, "w");
    snprintf(path, sizeof path, "%s/ratios.dat", outdir);
    FILE *dat = fopen(path, "w");
    if (res == nullptr || dat == nullptr)
        err(1, "%s", outdir);
    fprintf(dat, "# mode ratio target ratio-to-nginx nginx-target\n");

    int failed = 0;
    printf("\n%-18s %10s %10s %10s %10s %-7s %6s %6s %7s %6s %s\n", "mode", "subject", "fork-ref",
           "inproc-ref", "nginx", "unit", "ratio", "target", "v-nginx", "target", "verdict");
    for (size_t mi = 0; mi < nmodes; ++mi) {
        const mode &m = modes[mi];
        if (!selected(m, only))
            continue;
        if (!svs[m.subject].up) {
            printf("%-18s %s is not running: not measured\n", m.name, svs[m.subject].name);
            continue;
        }
        double med[nservers] = {};
        bool has[nservers] = {};
        srvidx order[4];
        int n = compared(m, svs, order);
        for (int i = 0; i < n; ++i) {
            med[order[i]] = median(r.rate[mi][order[i]], r.nrounds);
            has[order[i]] = true;
        }
        double ceiling = m.ceiling == ceil::fork     ? med[s_fork]
                         : m.ceiling == ceil::inproc ? med[s_inproc]
                                                     : std::max(med[s_fork], med[s_inproc]);
        double ratio = ceiling > 0 ? med[m.subject] / ceiling : 0;
        double vsnginx = med[s_nginx] > 0 ? med[m.subject] / med[s_nginx] : 0;
        long errs = r.errors[mi][m.subject], lost = r.lost[mi][m.subject];
        bool ok = (m.target == 0 || ratio >= m.target) && errs == 0 &&
                  (!has[s_nginx] || m.vsnginx == 0 || vsnginx >= m.vsnginx);
        failed += !ok;
        const char *verdict = !ok ? "BELOW" : m.target == 0 ? "info" : "ok";
        char forkcol[32] = "-", nginxcol[32] = "-", vscol[32] = "-", vstarget[32] = "-";
        if (has[s_fork])
            snprintf(forkcol, sizeof forkcol, "%.1f", med[s_fork]);
        if (has[s_nginx]) {
            snprintf(nginxcol, sizeof nginxcol, "%.1f", med[s_nginx]);
            snprintf(vscol, sizeof vscol, "%.3f", vsnginx);
            if (m.vsnginx > 0)
                snprintf(vstarget, sizeof vstarget, "%.2f", m.vsnginx);
        }
        printf("%-18s %10.1f %10s %10.1f %10s %-7s %6.3f %6.2f %7s %6s %s%s%s\n", m.name,
               med[m.subject], forkcol, med[s_inproc], nginxcol, m.unit, ratio, m.target, vscol,
               vstarget, verdict, errs != 0 ? " (errors)" : "", lost != 0 ? " (lost)" : "");
        fprintf(res, "loadgen mode=%s subject=%s median=%.1f", m.name, svs[m.subject].name,
                med[m.subject]);
        if (has[s_fork])
            fprintf(res, " fork_ref=%.1f", med[s_fork]);
        fprintf(res, " inproc_ref=%.1f", med[s_inproc]);
        if (has[s_nginx])
            fprintf(res, " nginx=%.1f nginx_ratio=%.3f nginx_target=%.2f nginx_errors=%ld",
                    med[s_nginx], vsnginx, m.vsnginx, r.errors[mi][s_nginx]);
        for (int i = 0; i < n; ++i)
            fprintf(res, " %s_cpu_us=%.2f", order[i] == m.subject ? "subject" : resname[order[i]],
                    cpuus(r, mi, order[i]));
        fprintf(res, " unit=%s ceiling=%s ratio=%.3f target=%.2f errors=%ld lost=%ld rounds=%d\n",
                m.unit,
                m.ceiling == ceil::fork ? "fork" : m.ceiling == ceil::inproc ? "inproc" : "better",
                ratio, m.target, errs, lost, r.nrounds);
        fprintf(dat, "%s %.3f %.2f %.3f %.2f\n", m.name, ratio, m.target,
                has[s_nginx] ? vsnginx : -1.0, has[s_nginx] ? m.vsnginx : -1.0);
    }
    fclose(dat);
    fclose(res);
    cputable(r, svs, only);
    return failed;
}

// memline: resident memory and children of sv at rest, after warm-up and
// after the load; 1 when quadserv breaks its limits.
int memline(const server &sv, long rest, long warm, const char *outdir)
{
    kids k = childrenof(sv.pid);
    long after = rsskb(sv.pid);
    bool isquad = strcmp(sv.name, "quadserv") == 0;
    bool ok = !isquad || (rest <= 2048 && after - warm <= 8 && k.zombies == 0);
    char path[4096];
    snprintf(path, sizeof path, "%s/results.txt", outdir);
    FILE *res = fopen(path, "a");
    for (FILE *f : {stdout, res})
        if (f != nullptr)
            fprintf(f, "loadgen memory server=%s rest_kb=%ld warm_kb=%ld after_kb=%ld "
                       "children=%d children_kb=%ld zombies=%d verdict=%s\n",
                    sv.name, rest, warm, after, k.live, k.rsskb, k.zombies,
                    ok ? (isquad ? "ok" : "info") : "BELOW");
    if (res != nullptr)
        fclose(res);
    return !ok;
}

// suite: starts every server, runs the rounds of the modes that only
// selects (all when null), reports; exit status 1 when a target is missed.
int suite(const char *bindir, const char *outdir, int rounds, double secs, const char *only)
{
    mkdir(outdir, 0755);
    server svs[nservers] = {};
    const char *names[nservers] = {"quadserv", "fork-ref", "inproc-ref", "datepage",
                                   "clockpage", "greetpage", "nginx"};
    srand(unsigned(getpid()));
    int bases[3];
    for (int i = 0; i < 3; ++i)
        bases[i] = pickbase(bases, i);
    for (int s = 0; s < nservers; ++s) {
        svs[s].name = names[s];
        svs[s].port.fill(-1);
    }
    for (int k = 0; k < nkeys; ++k) {
        for (int s : {s_quad, s_fork, s_inproc})
            svs[s].port[size_t(k)] = bases[s] + keyoff[size_t(k)];
    }
    svs[s_date].port[k_date] = bases[s_quad] + 200;
    svs[s_clock].port[k_clock] = bases[s_quad] + 201;
    svs[s_greet].port[k_greet] = 5678;
    // nginx serves its one page on a port per page mode, as the references
    // do, so that no port gathers more closed connections than theirs.
    for (int k : {k_date, k_clock, k_greet})
        svs[s_nginx].port[size_t(k)] = bases[s_quad] + 202 + (k - k_date);

    char qb[16], fb[16], ib[16], dp[16], cp[16], path[4096];
    snprintf(qb, sizeof qb, "%d", bases[s_quad]);
    snprintf(fb, sizeof fb, "%d", bases[s_fork]);
    snprintf(ib, sizeof ib, "%d", bases[s_inproc]);
    snprintf(dp, sizeof dp, "%d", svs[s_date].port[k_date]);
    snprintf(cp, sizeof cp, "%d", svs[s_clock].port[k_clock]);
    const char *prog[nservers] = {"quadserv", "refserver", "refserver", "datepage",
                                  "clockpage", "greetpage", nullptr};
    const char *arg[nservers] = {qb, fb, ib, dp, cp, nullptr, nullptr};

    char nginxdir[4096] = "";
    for (int s = 0; s < nservers; ++s) {
        char exe[4096];
        snprintf(path, sizeof path, "%s/trace-%s.txt", outdir, names[s]);
        if (s == s_nginx) {
            svs[s].pid = nginxstart(svs[s].port[k_date], nginxdir, path);
            if (svs[s].pid < 0) {
                fprintf(stderr, "loadgen: nginx not found (scripts/setup.sh --bench installs "
                                "nginx-light): not compared\n");
                continue;
            }
        } else {
            snprintf(exe, sizeof exe, "%s/%s", bindir, prog[s]);
            if (access(exe, X_OK) != 0) {
                fprintf(stderr, "loadgen: %s not built: not measured\n", exe);
                continue;
            }
            if (s == s_greet && !portfree(5678)) {
                fprintf(stderr, "loadgen: port 5678 is taken by another program: "
                                "greetpage not measured\n");
                continue;
            }
            const char *argv[] = {exe, arg[s], nullptr, nullptr};
            if (s == s_fork || s == s_inproc) {
                argv[1] = s == s_fork ? "fork" : "inproc";
                argv[2] = arg[s];
            }
            svs[s].pid = spawnserver(argv, path);
        }
        int probe = s == s_quad || s == s_fork || s == s_inproc ? svs[s].port[k_daytime]
                    : s == s_date                               ? svs[s].port[k_date]
                    : s == s_clock                              ? svs[s].port[k_clock]
                                                                : svs[s].port[k_greet];
        svs[s].up = waitlisten(probe, svs[s].pid);
        if (!svs[s].up)
            fprintf(stderr, "loadgen: %s did not start (see %s)\n", names[s], path);
    }
    if (!svs[s_fork].up || !svs[s_inproc].up)
        errx(1, "the reference servers did not start");

    // Connections made by waitlisten are over; give children time to end.
    usleep(300000);
    long rest[nservers];
    for (int s = 0; s < nservers; ++s)
        rest[s] = svs[s].up ? rsskb(svs[s].pid) : 0;

    static results r;
    printf("loadgen: %d rounds of %.2f s per run; quadserv base %d, fork-ref %d, inproc-ref %d\n",
           rounds, secs, bases[s_quad], bases[s_fork], bases[s_inproc]);
    snprintf(path, sizeof path, "%s/runs.txt", outdir);
    FILE *runs = fopen(path, "w");
    if (runs == nullptr)
        err(1, "%s", path);
    runrounds(r, svs, 0, secs, only, runs); // the warm-up pass
    usleep(500000);
    long warm[nservers];
    for (int s = 0; s < nservers; ++s)
        warm[s] = svs[s].up ? rsskb(svs[s].pid) : 0;
    r.nrounds = 0;
    runrounds(r, svs, rounds, secs, only, runs);
    fclose(runs);
    sleep(1);

    int failed = report(r, svs, outdir, only);
    for (int s = 0; s < nservers; ++s)
        if (svs[s].up && s != s_nginx)
            failed += memline(svs[s], rest[s], warm[s], outdir);

    for (int s = 0; s < nservers; ++s) {
        if (svs[s].pid <= 0)
            continue;
        if (waitpid(svs[s].pid, nullptr, WNOHANG) == svs[s].pid) {
            fprintf(stderr, "loadgen: %s ended during the run\n", names[s]);
            ++failed;
            continue;
        }
        if (s == s_nginx)
            continue;
        kill(svs[s].pid, SIGTERM);
        waitpid(svs[s].pid, nullptr, 0);
    }
    nginxstop(svs[s_nginx].pid, nginxdir);
    return failed == 0 ? 0 : 1;
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: loadgen suite BINDIR OUTDIR [rounds] [seconds] [mode-prefix]\n");
    exit(2);
}

} // namespace

int main(int argc, char *argv[])
{
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 4 && argc <= 7 && strcmp(argv[1], "suite") == 0) {
        int rounds = argc > 4 ? atoi(argv[4]) : 21; // as bench/run.sh
        double secs = argc > 5 ? atof(argv[5]) : 0.3;
        if (rounds < 1 || rounds > maxrounds || secs <= 0 || secs > 30)
            errx(1, "rounds must be 1-%d and seconds above 0 and at most 30", maxrounds);
        return suite(argv[2], argv[3], rounds, secs, argc > 6 ? argv[6] : nullptr);
    }
    usage();
}
