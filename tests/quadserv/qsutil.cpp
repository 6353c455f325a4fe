// qsutil - starting quadserv for tests and looking at it from outside.
#include "qsutil.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace qs {
namespace {

// caught: whether pid has a handler installed for sig.
bool caught(pid_t pid, int sig)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("SigCgt:", 0) == 0) {
            unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
            return (mask >> (sig - 1)) & 1;
        }
    return false;
}

std::vector<std::string> defaultargs(int base)
{
    return {tp::bin("quadserv"), std::to_string(base)};
}

} // namespace

long nowms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool ready(tp::Proc &p, int timeoutms)
{
    long deadline = nowms() + timeoutms;
    while (nowms() < deadline) {
        if (!tp::running(p))
            return false;
        if (caught(p.pid, SIGCHLD))
            return true;
        usleep(5000);
    }
    return false;
}

Server start(const tp::SpawnOpts &opts, std::string *err,
             std::vector<std::string> (*args)(int base))
{
    if (args == nullptr)
        args = defaultargs;
    std::string why;
    for (int attempt = 0; attempt < 5; ++attempt) {
        Server s;
        s.base = tp::pickbase();
        s.proc = tp::spawn(args(s.base), opts);
        if (ready(s.proc))
            return s;
        tp::stop(s.proc);
        why = s.proc.err >= 0 ? tp::readfor(s.proc.err, 1000) : "(no standard error)";
        // Only a port taken between pickbase and bind is worth another try.
        if (why.find("in use") == std::string::npos)
            break;
    }
    if (err != nullptr)
        *err = "quadserv did not start: " + why;
    return {};
}

std::vector<pid_t> childpids(pid_t pid)
{
    std::string p = std::to_string(pid);
    std::ifstream f("/proc/" + p + "/task/" + p + "/children");
    std::vector<pid_t> kids;
    for (long child; f >> child;)
        kids.push_back(pid_t(child));
    return kids;
}

std::vector<std::string> fdtargets(pid_t pid)
{
    std::vector<std::string> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[256];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out.push_back(std::string(e->d_name) + " -> " + target);
    }
    closedir(d);
    return out;
}

std::string dayat(time_t t, long offset)
{
    time_t shifted = t + offset;
    tm tmv;
    gmtime_r(&shifted, &tmv);
    char buf[64];
    asctime_r(&tmv, buf);
    return buf;
}

TcpReply readtoend(int fd, int timeoutms)
{
    TcpReply r;
    long deadline = nowms() + timeoutms;
    for (;;) {
        long left = deadline - nowms();
        pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, int(left)) <= 0) {
            r.error = ETIMEDOUT;
            return r;
        }
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            r.error = errno;
            return r;
        }
        if (n == 0)
            return r;
        r.data.append(buf, size_t(n));
    }
}

std::string allanswer(const std::string &host, int base, pid_t settle)
{
    struct Probe {
        const char *name;
        int off;
        bool tcp;
        const char *req;
        size_t size;
    };
    constexpr Probe probes[] = {
        {"tcp/echo", echo, true, "ping", 4},       {"tcp/daytime", daytime, true, "", 25},
        {"tcp/time", timep, true, "", 4},          {"udp/echo", echo, false, "pong", 4},
        {"udp/chargen", chargen, false, "x", 74},  {"udp/daytime", daytime, false, "x", 25},
        {"udp/time", timep, false, "", 4},
    };
    std::string bad;
    for (const Probe &p : probes) {
        if (p.tcp && settle > 0)
            tp::waitchildren(settle, 0);
        auto got = p.tcp ? tp::tcpask(host, base + p.off, p.req) : tp::udpask(host, base + p.off, p.req);
        if (!got || got->size() != p.size || (p.off == echo && *got != p.req))
            bad += std::string(" ") + p.name;
    }
    // chargen never ends: take one line and hang up.
    if (settle > 0)
        tp::waitchildren(settle, 0);
    int s = tp::tcpconnect(host, base + chargen);
    if (s < 0 || tp::recvn(s, 74).size() != 74)
        bad += " tcp/chargen";
    if (s >= 0)
        close(s);
    return bad;
}

} // namespace qs
