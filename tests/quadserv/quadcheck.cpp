// quadcheck - quadserv for tests: starting it and checking its replies.
#include "quadcheck.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace tp {

constexpr uint32_t unix1900 = 2208988800U; // seconds from 1900 to 1970

Quad startquad(const QuadOpts &opts)
{
    std::string why;
    for (int attempt = 0; attempt < 5; ++attempt) {
        Quad q;
        q.base = opts.stdports ? 0 : pickbase(quadoffsets);
        std::vector<std::string> argv = {opts.prog.empty() ? bin("quadserv") : opts.prog};
        auto args = opts.args ? opts.args(q.base)
                              : std::vector<std::string>(!opts.stdports, std::to_string(q.base));
        argv.insert(argv.end(), args.begin(), args.end());
        q.proc = spawn(argv, opts.spawn);
        // Whether quadserv has its SIGCHLD handler installed.
        auto caught = [&q] { return (procinfo(q.proc.pid).caught >> (SIGCHLD - 1)) & 1; };
        long deadline = monotonicms() + 10000;
        while (running(q.proc) && !caught() && monotonicms() < deadline)
            usleep(5000);
        if (running(q.proc) && caught())
            return q;
        stop(q.proc);
        why = q.proc.err >= 0 ? readall(q.proc.err, 1000) : "(no standard error)";
        // Only a port taken between pickbase and bind is worth another try.
        if (opts.stdports || why.find("in use") == std::string::npos)
            break;
    }
    ADD_FAILURE() << "quadserv did not start: " << why;
    return {};
}

std::vector<pid_t> childpids(pid_t pid, char state)
{
    std::vector<pid_t> kids;
    for (const ProcInfo &pi : processes())
        if (pi.ppid == pid && (state == 0 || (state == 'Z') == (pi.state == 'Z')))
            kids.push_back(pi.pid);
    return kids;
}

bool waitchildren(pid_t pid, int n, int timeoutms)
{
    for (long deadline = monotonicms() + timeoutms; children(pid) != n || zombies(pid) != 0;
         usleep(10000))
        if (monotonicms() >= deadline)
            return false;
    return true;
}

std::string chargenbytes(size_t n)
{
    std::string s;
    for (size_t i = 0; s.size() < n; ++i) {
        s += char(' ' + i % 95);
        if (i % 72 == 71)
            s += "\r\n";
    }
    s.resize(n);
    return s;
}

std::string timeat(time_t t)
{
    uint32_t v = htonl(uint32_t(uint64_t(t) + unix1900));
    return std::string(reinterpret_cast<const char *>(&v), 4);
}

// timeok: whether got is an RFC 868 time within 5 s of ours.
static std::string timeok(const std::string &got)
{
    if (got.size() != 4)
        return "time reply of " + std::to_string(got.size()) + " bytes";
    uint32_t v;
    std::memcpy(&v, got.data(), 4);
    long diff = long(ntohl(v)) - long(uint32_t(uint64_t(time(nullptr)) + unix1900));
    return diff < -5 || diff > 5 ? "time off by " + std::to_string(diff) + " s" : "";
}

// dayok: whether got has the 25-character asctime form.
static std::string dayok(const std::string &got)
{
    if (got.size() != 25 || got.back() != '\n' || got[3] != ' ' || got[7] != ' ' || got[13] != ':')
        return "daytime reply \"" + got + "\"";
    return "";
}

std::string tcpcheck(svc s, int port, int tag, const std::string &host, const std::string &src)
{
    if (s == chargen) {
        // It never ends by itself: take two lines and hang up.
        Fd fd(tcpconnect(host, port, 5000, src), true);
        if (fd < 0)
            return "chargen: no connection";
        return recvn(fd, 148) == chargenbytes(148) ? "" : "chargen lines wrong";
    }
    std::string msg = s == echo ? "echo " + std::to_string(tag) + std::string(size_t(tag % 300), 'e') : "";
    auto got = tcpask(host, port, msg, 5000, src);
    if (!got)
        return std::string(svcname(s)) + ": no connection";
    return s == echo ? (*got == msg ? "" : "echo reply wrong") : replycheck(s, msg, *got);
}

std::string replycheck(svc s, const std::string &req, const std::string &reply)
{
    switch (s) {
    case echo:
        return reply == req.substr(0, 4096) ? "" : "udp echo reply differs";
    case chargen:
        return reply == chargenbytes(74) ? "" : "udp chargen line wrong";
    case daytime:
        return dayok(reply);
    case timesvc:
        return timeok(reply);
    }
    return "no such service";
}

std::string udpcheck(svc s, int port, const std::string &req, const std::string &host)
{
    auto got = udpask(host, port, req);
    return got ? replycheck(s, req, *got) : std::string("udp ") + svcname(s) + ": no reply";
}

std::string allanswer(const Quad &q, const std::string &host, bool settle)
{
    std::string bad;
    for (const QuadService &s : quadservices) {
        if (settle)
            waitchildren(q.proc.pid, 0);
        if (!tcpcheck(s.id, q.port(s.id), 0, host).empty())
            bad += std::string(" tcp/") + s.name;
        if (!udpcheck(s.id, q.port(s.id), "ping", host).empty())
            bad += std::string(" udp/") + s.name;
    }
    return bad;
}

} // namespace tp
