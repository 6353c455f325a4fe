// scenarios - the load client's latency scenarios: whether a server stays
// available to ordinary clients while hostile ones hold connections.
#include "loadgen.h"

#include <err.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

// A latency scenario: idle echo connections first; hostile clients that send
// hostile and stall, one every holdgap seconds; ordinary clients of load from
// address from (0: any), one every probegap seconds, each timed from connect
// to the end of its reply, failed after limit seconds.
struct scenario {
    const char *name;
    int idle;
    const char *hostile;
    int holds;
    const char *load;
    int probes;
    unsigned limit;
    uint32_t from;
};
constexpr int idleconns = 300; // quad-share's
constexpr scenario scenarios[] = {
    {"hold-silent", 0, "", 16, "http", 40, 10, 0},
    {"hold-stalled", 0, "G", 16, "http", 40, 10, 0},
    {"quad-share", idleconns, "", 0, "daytime", 10, 5, INADDR_LOOPBACK + 1},
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

// scenariorun: sc against port, each client a short-lived child started on
// its own schedule, so that no slow answer delays the next; prints the result
// line. The hostile connections stay open until every ordinary client is
// done; a client that fails counts with the time it took, one cut off by its
// limit with the limit.
void scenariorun(const scenario &sc, int port, int held, int accepted)
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
            timing t = {oneconn(*loadnamed(sc.load), sc.from, port, int(sc.limit)), 0};
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

} // namespace

bool runscenario(const char *name, int port, int echoport)
{
    for (const scenario *sc = scenarios; sc->name != nullptr; ++sc) {
        if (strcmp(sc->name, name) != 0 || (sc->idle > 0) != (echoport > 0))
            continue;
        static int idle[idleconns];
        rlimit rl; // room for the idle connections
        if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 1024) {
            rl.rlim_cur = std::min<rlim_t>(1024, rl.rlim_max);
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        int accepted = sc->idle > 0 ? holdecho(echoport, sc->idle, idle) : 0;
        scenariorun(*sc, port, sc->idle, accepted);
        return true;
    }
    return false;
}
