// qsutil - starting quadserv for tests and looking at it from outside.
#include "qsutil.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qs {
namespace {

long nowms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

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

// forchildren: calls f(state letter, child pid) for every child of pid.
template <typename F> void forchildren(pid_t pid, F f)
{
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return;
    while (dirent *e = readdir(d)) {
        char *end;
        long child = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || child <= 0)
            continue;
        std::ifstream st("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        if (!std::getline(st, line))
            continue;
        auto rp = line.rfind(')');
        if (rp == std::string::npos)
            continue;
        std::istringstream is(line.substr(rp + 2));
        char state;
        long ppid;
        is >> state >> ppid;
        if (ppid == pid)
            f(state, pid_t(child));
    }
    closedir(d);
}

std::vector<std::string> defaultargs(int base)
{
    return {tp::bin("quadserv"), std::to_string(base)};
}

} // namespace

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
    std::vector<pid_t> kids;
    forchildren(pid, [&](char state, pid_t child) {
        if (state != 'Z')
            kids.push_back(child);
    });
    return kids;
}

bool waitchildren(pid_t pid, int n, int timeoutms)
{
    long deadline = nowms() + timeoutms;
    for (;;) {
        if (tp::children(pid) == n && tp::zombies(pid) == 0)
            return true;
        if (nowms() >= deadline)
            return false;
        usleep(10000);
    }
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

void rstclose(int fd)
{
    linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

std::string allanswer(const std::string &host, int base)
{
    std::string bad;
    auto tcp = [&](int off, const std::string &req) { return tp::tcpask(host, base + off, req); };
    auto udp = [&](int off, const std::string &req) { return tp::udpask(host, base + off, req); };

    if (tcp(echo, "ping") != "ping")
        bad += " tcp/echo";
    // chargen never ends: take one line and hang up.
    int s = tp::tcpconnect(host, base + chargen);
    if (s < 0 || tp::recvn(s, 74).size() != 74)
        bad += " tcp/chargen";
    if (s >= 0)
        close(s);
    auto dt = tcp(daytime, "");
    if (!dt || dt->size() != 25)
        bad += " tcp/daytime";
    auto tm = tcp(timep, "");
    if (!tm || tm->size() != 4)
        bad += " tcp/time";
    if (udp(echo, "pong") != "pong")
        bad += " udp/echo";
    auto ucg = udp(chargen, "x");
    if (!ucg || ucg->size() != 74)
        bad += " udp/chargen";
    auto udt = udp(daytime, "x");
    if (!udt || udt->size() != 25)
        bad += " udp/daytime";
    auto utm = udp(timep, "");
    if (!utm || utm->size() != 4)
        bad += " udp/time";
    return bad;
}

} // namespace qs
