// stress - server start-up, reply checks and hostile clients for the stress tests.
#include "stress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace st {

// An abortive close: the server never holds the port in TIME_WAIT for us,
// which would keep a server without address reuse from binding it again.
Fd::~Fd()
{
    if (fd < 0)
        return;
    tp::resetclose(fd);
}

std::optional<std::string> ask(const std::string &host, int port, const std::string &req)
{
    Fd s(tp::tcpconnect(host, port, 10000));
    if (s.fd < 0)
        return std::nullopt;
    if (!req.empty())
        tp::sendall(s.fd, req);
    shutdown(s.fd, SHUT_WR);
    return tp::recvall(s.fd, 10000);
}

namespace {

// lingering: whether a TCP socket that is not listening still holds port
// (TIME_WAIT and the like), read from /proc.
bool lingering(int port)
{
    for (const char *f : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(f);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream is(line);
            std::string slot, local, remote, state;
            is >> slot >> local >> remote >> state;
            auto colon = local.rfind(':');
            if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port &&
                state != "0A")
                return true;
        }
    }
    return false;
}

} // namespace

void startquad(Quad &q, const std::vector<std::string> &prefix)
{
    for (int tries = 0; tries < 3; ++tries) {
        q.base = tp::pickbase();
        ASSERT_GT(q.base, 0) << "no free port base";
        tp::SpawnOpts o;
        o.prefix = prefix;
        q.proc = tp::spawn({tp::bin("quadserv"), std::to_string(q.base)}, o);
        bool up = true;
        for (int off : svcoff)
            up = up && tp::waitbound(q.base + off, "tcp") && tp::waitbound(q.base + off, "udp");
        if (up)
            return;
        // Another test may have taken a port between the pick and the bind.
        tp::stop(q.proc);
    }
    FAIL() << "quadserv did not bind its eight sockets";
}

tp::Proc startserver(const std::string &prog, const std::vector<std::string> &args, int port,
                     const std::string &proto)
{
    // Servers that bind without address reuse cannot start while connections
    // of an earlier test linger on the port (at most a minute).
    for (int i = 0; i < 700 && proto == "tcp" && lingering(port); ++i)
        usleep(100000);
    std::vector<std::string> argv = {tp::bin(prog)};
    argv.insert(argv.end(), args.begin(), args.end());
    // The trace goes nowhere: a pipe that nobody reads would fill and stall
    // the server. Errors still reach the test on stderr.
    tp::SpawnOpts o;
    o.prefix = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/null"};
    tp::Proc p = tp::spawn(argv, o);
    EXPECT_TRUE(tp::waitbound(port, proto)) << prog << " did not bind " << proto << " port " << port;
    return p;
}

void requirefree5678()
{
    // A network of our own: no other program's port, no connections that an
    // earlier server left closing.
    if (tp::isolate())
        return;
    for (const char *proto : {"tcp", "udp"}) {
        std::string why = tp::fixedportproblem(5678, proto);
        ASSERT_TRUE(why.empty()) << why;
    }
}

std::string chargenlines(size_t n)
{
    std::string s;
    char c = ' ';
    while (s.size() < n) {
        for (int i = 0; i < 72; ++i) {
            s += c;
            if (++c == 0x7f)
                c = ' ';
        }
        s += "\r\n";
    }
    s.resize(n);
    return s;
}

namespace {

// timeok: whether four bytes are an RFC 868 time within 5 s of ours.
std::string timeok(const std::string &got)
{
    if (got.size() != 4)
        return "time reply of " + std::to_string(got.size()) + " bytes";
    uint32_t v;
    std::memcpy(&v, got.data(), 4);
    long diff = long(ntohl(v)) - long(uint32_t(uint64_t(time(nullptr)) + 2208988800U));
    return diff < -5 || diff > 5 ? "time off by " + std::to_string(diff) + " s" : "";
}

// dayok: whether got has the 25-character asctime form.
std::string dayok(const std::string &got)
{
    if (got.size() != 25 || got.back() != '\n' || got[3] != ' ' || got[7] != ' ' || got[13] != ':')
        return "daytime reply \"" + got + "\"";
    return "";
}

} // namespace

std::string tcpcheck(svc s, int port, int tag, const std::string &host)
{
    switch (s) {
    case echo: {
        std::string msg = "echo " + std::to_string(tag) + std::string(size_t(tag % 300), 'e');
        auto got = tp::tcpask(host, port, msg);
        return got && *got == msg ? "" : "echo reply wrong or missing";
    }
    case chargen: {
        int fd = tp::tcpconnect(host, port);
        if (fd < 0)
            return "chargen: no connection";
        Fd guard(fd);
        std::string got = tp::recvn(fd, 148);
        return got == chargenlines(148) ? "" : "chargen lines wrong";
    }
    case daytime: {
        auto got = tp::tcpask(host, port);
        return got ? dayok(*got) : "daytime: no connection";
    }
    case timesvc: {
        auto got = tp::tcpask(host, port);
        return got ? timeok(*got) : "time: no connection";
    }
    }
    return "no such service";
}

std::string udpcheck(svc s, int port, const std::string &req, const std::string &host)
{
    auto got = tp::udpask(host, port, req);
    if (!got)
        return std::string("udp ") + svcname[s] + ": no reply";
    switch (s) {
    case echo:
        return *got == req.substr(0, 4096) ? "" : "udp echo reply differs";
    case chargen:
        return *got == chargenlines(74) ? "" : "udp chargen line wrong";
    case daytime:
        return dayok(*got);
    case timesvc:
        return timeok(*got);
    }
    return "no such service";
}

void allanswer(const Quad &q)
{
    for (svc s : {echo, chargen, daytime, timesvc}) {
        EXPECT_EQ(tcpcheck(s, q.port(s)), "") << "tcp " << svcname[s];
        EXPECT_EQ(udpcheck(s, q.port(s)), "") << "udp " << svcname[s];
    }
}

void resetstorm(const std::string &host, int port, int n)
{
    for (int i = 0; i < n; ++i) {
        int fd = tp::tcpconnect(host, port, 2000);
        if (fd < 0)
            continue; // a full backlog may refuse some; the server must survive
        if (i % 2 == 1)
            (void)!send(fd, "GET /junk\r\n", 11, MSG_NOSIGNAL);
        tp::resetclose(fd);
    }
}

std::string halfopen(const std::string &host, int port, const std::string &req, size_t cap)
{
    int fd = tp::tcpconnect(host, port);
    if (fd < 0)
        return "";
    Fd guard(fd);
    if (!req.empty())
        tp::sendall(fd, req);
    shutdown(fd, SHUT_WR);
    return tp::recvn(fd, cap, 10000);
}

std::vector<Fd> silent(const std::string &host, int port, int n)
{
    std::vector<Fd> fds;
    for (int i = 0; i < n; ++i) {
        int fd = tp::tcpconnect(host, port);
        if (fd >= 0)
            fds.emplace_back(fd);
    }
    return fds;
}

int settledzombies(pid_t pid)
{
    tp::waitchildren(pid, 0);
    return tp::zombies(pid);
}

} // namespace st
