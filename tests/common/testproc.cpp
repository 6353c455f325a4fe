// testproc - processes and sockets for tests that drive the real programs.
#include "testproc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#ifndef TEST_BIN_DIR
#error "TEST_BIN_DIR must name the folder of the built programs"
#endif

extern char **environ;

namespace tp {
namespace {

long nowms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// waitreadable: poll fd for input until the deadline (ms on the monotonic clock).
bool waitreadable(int fd, long deadline)
{
    for (;;) {
        long left = deadline - nowms();
        if (left <= 0)
            return false;
        pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, int(left));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

void settimeouts(int fd, int timeoutms)
{
    timeval tv = {timeoutms / 1000, (timeoutms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// resolve: a socket address for a numeric host and port.
socklen_t resolve(const std::string &host, int port, sockaddr_storage &ss)
{
    ss = {};
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    if (inet_pton(AF_INET6, host.c_str(), &sin6->sin6_addr) == 1) {
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(uint16_t(port));
        return sizeof *sin6;
    }
    if (inet_pton(AF_INET, host.c_str(), &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
        sin->sin_port = htons(uint16_t(port));
        return sizeof *sin;
    }
    return 0;
}

bool portfree(int port, int type)
{
    int s = socket(AF_INET6, type, 0);
    if (s < 0)
        return false;
    int off = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    sin6.sin6_port = htons(uint16_t(port));
    bool ok = bind(s, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6) == 0;
    close(s);
    return ok;
}

bool portfreeboth(int port)
{
    return portfree(port, SOCK_STREAM) && portfree(port, SOCK_DGRAM);
}

std::mt19937 &rng()
{
    static std::mt19937 gen(unsigned(getpid()) ^ unsigned(nowms()));
    return gen;
}

} // namespace

std::string bin(const std::string &name) { return std::string(TEST_BIN_DIR) + "/" + name; }

Proc::Proc(Proc &&o) noexcept
    : pid(o.pid), out(o.out), err(o.err), buffered(std::move(o.buffered))
{
    o.pid = -1;
    o.out = o.err = -1;
}

Proc &Proc::operator=(Proc &&o) noexcept
{
    if (this != &o) {
        this->~Proc();
        pid = o.pid;
        out = o.out;
        err = o.err;
        buffered = std::move(o.buffered);
        o.pid = -1;
        o.out = o.err = -1;
    }
    return *this;
}

Proc::~Proc()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        int st;
        waitpid(pid, &st, 0);
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
}

Proc spawn(const std::vector<std::string> &argv, const SpawnOpts &opts)
{
    std::vector<std::string> full = opts.prefix;
    if (opts.linebuf) {
        full.push_back("stdbuf");
        full.push_back("-oL");
    }
    full.insert(full.end(), argv.begin(), argv.end());

    std::vector<char *> cargv;
    for (auto &a : full)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);

    int outp[2] = {-1, -1}, errp[2] = {-1, -1}, master = -1, slave = -1;
    if (opts.pty) {
        termios tio{};
        cfmakeraw(&tio);
        tio.c_oflag |= OPOST | ONLCR;
        if (openpty(&master, &slave, nullptr, &tio, nullptr) < 0)
            return {};
        // Later children must not inherit this terminal.
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
    } else if (!opts.closestd) {
        if (pipe2(outp, O_CLOEXEC) < 0 || pipe2(errp, O_CLOEXEC) < 0)
            return {};
    }

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // A test that dies must not leave its servers holding ports.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        signal(SIGPIPE, SIG_DFL);
        for (auto &e : opts.env)
            putenv(const_cast<char *>(e.c_str()));
        if (!opts.workdir.empty() && chdir(opts.workdir.c_str()) < 0)
            _exit(127);
        if (opts.pty) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            int in = opts.stdinfd >= 0 ? opts.stdinfd : open("/dev/null", O_RDONLY | O_CLOEXEC);
            dup2(in, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            close(slave);
            close(master);
        } else if (opts.closestd) {
            close(0);
            close(1);
            close(2);
        } else {
            int in = opts.stdinfd >= 0 ? opts.stdinfd : open("/dev/null", O_RDONLY | O_CLOEXEC);
            dup2(in, 0);
            dup2(outp[1], 1);
            dup2(errp[1], 2);
        }
        execvp(cargv[0], cargv.data());
        _exit(127);
    }

    Proc p;
    p.pid = pid;
    if (opts.pty) {
        close(slave);
        p.out = master;
    } else if (!opts.closestd) {
        close(outp[1]);
        close(errp[1]);
        p.out = outp[0];
        p.err = errp[0];
    }
    return p;
}

std::optional<int> wait(Proc &p, int timeoutms)
{
    if (p.pid <= 0)
        return std::nullopt;
    long deadline = nowms() + timeoutms;
    for (;;) {
        int st;
        pid_t r = waitpid(p.pid, &st, WNOHANG);
        if (r == p.pid) {
            p.pid = -1;
            return st;
        }
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (nowms() >= deadline)
            return std::nullopt;
        usleep(5000);
    }
}

bool running(Proc &p)
{
    if (p.pid <= 0)
        return false;
    int st;
    pid_t r = waitpid(p.pid, &st, WNOHANG);
    if (r == p.pid) {
        p.pid = -1;
        return false;
    }
    return r == 0;
}

int stop(Proc &p)
{
    if (p.pid <= 0)
        return -1;
    kill(p.pid, SIGTERM);
    if (auto st = wait(p, 5000))
        return *st;
    kill(p.pid, SIGKILL);
    int st = -1;
    waitpid(p.pid, &st, 0);
    p.pid = -1;
    return st;
}

std::optional<std::string> readline(Proc &p, int timeoutms)
{
    long deadline = nowms() + timeoutms;
    for (;;) {
        size_t nl = p.buffered.find('\n');
        if (nl != std::string::npos) {
            std::string line = p.buffered.substr(0, nl);
            p.buffered.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (p.out < 0 || !waitreadable(p.out, deadline))
            return std::nullopt;
        char buf[4096];
        ssize_t n = read(p.out, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // EIO on a pty whose slave side has closed
            return std::nullopt;
        p.buffered.append(buf, size_t(n));
    }
}

std::string readfor(int fd, int timeoutms)
{
    std::string got;
    long deadline = nowms() + timeoutms;
    while (fd >= 0 && waitreadable(fd, deadline)) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

Result run(const std::vector<std::string> &argv, const std::string &input, const SpawnOpts &opts,
           int timeoutms)
{
    Result r;
    int inp[2];
    if (pipe2(inp, O_CLOEXEC) < 0)
        return r;
    SpawnOpts o = opts;
    o.stdinfd = inp[0];
    Proc p = spawn(argv, o);
    close(inp[0]);
    (void)!write(inp[1], input.data(), input.size());
    close(inp[1]);

    long deadline = nowms() + timeoutms;
    // Read both streams until both close or time runs out.
    int fds[2] = {p.out, p.err};
    std::string *dst[2] = {&r.out, &r.err};
    for (;;) {
        pollfd pfd[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                pfd[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        if (n == 0)
            break;
        long left = deadline - nowms();
        if (left <= 0)
            break;
        int k = poll(pfd, nfds_t(n), int(left));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        for (int j = 0; j < n; ++j) {
            if (pfd[j].revents == 0)
                continue;
            char buf[4096];
            ssize_t got = read(pfd[j].fd, buf, sizeof buf);
            if (got > 0)
                dst[which[j]]->append(buf, size_t(got));
            else
                fds[which[j]] = -1;
        }
    }
    long left = deadline - nowms();
    if (auto st = wait(p, int(left > 0 ? left : 0)))
        r.status = *st;
    else
        r.status = stop(p);
    return r;
}

int exitcode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool bound(int port, const std::string &proto)
{
    for (const char *suffix : {"", "6"}) {
        std::ifstream f("/proc/net/" + proto + suffix);
        std::string line;
        std::getline(f, line); // header
        while (std::getline(f, line)) {
            std::istringstream is(line);
            std::string slot, local, remote, state;
            is >> slot >> local >> remote >> state;
            auto colon = local.rfind(':');
            if (colon == std::string::npos)
                continue;
            int lport = int(std::strtol(local.c_str() + colon + 1, nullptr, 16));
            if (lport != port)
                continue;
            // TCP: 0A is LISTEN. UDP: 07 is an unconnected bound socket.
            if ((proto == "tcp" && state == "0A") || (proto == "udp" && state == "07"))
                return true;
        }
    }
    return false;
}

bool waitbound(int port, const std::string &proto, int timeoutms)
{
    long deadline = nowms() + timeoutms;
    for (;;) {
        if (bound(port, proto))
            return true;
        if (nowms() >= deadline)
            return false;
        usleep(10000);
    }
}

namespace {

bool writefile(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// enternet: a fresh network namespace; without privileges it comes with a
// user namespace that maps us to root inside.
bool enternet()
{
    if (unshare(CLONE_NEWNET) == 0)
        return true;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    writefile("/proc/self/setgroups", "deny");
    return writefile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writefile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool loopbackup()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

} // namespace

bool isolate()
{
    return enternet() && loopbackup();
}

std::string fixedportproblem(int port, const std::string &proto)
{
    std::string what = "port " + std::to_string(port) + "/" + proto;
    if (bound(port, proto))
        return what + " is already taken by another program on this host; stop it and run the test again";
    int type = proto == "tcp" ? SOCK_STREAM : SOCK_DGRAM;
    // Connections closed by an earlier run linger for a minute on a shared
    // loopback, and servers without address reuse cannot bind meanwhile.
    for (int tries = 0; tries < 700; ++tries) {
        if (portfree(port, type))
            return "";
        usleep(100000);
    }
    return what + " stays unavailable (closing connections of another run?)";
}

// Ports are taken below Linux's ephemeral range (32768 and up), so that no
// client socket of a test running beside us takes one between our check and
// the server's bind.
constexpr int lowport = 10000, ephemeral = 32768;

int freeport()
{
    std::uniform_int_distribution<int> d(lowport, ephemeral - 1);
    for (int tries = 0; tries < 1000; ++tries) {
        int port = d(rng());
        if (portfreeboth(port))
            return port;
    }
    return -1;
}

int pickbase()
{
    std::uniform_int_distribution<int> d(lowport, ephemeral - 1 - 37);
    for (int tries = 0; tries < 1000; ++tries) {
        int base = d(rng());
        if (portfreeboth(base + 7) && portfreeboth(base + 13) && portfreeboth(base + 19) &&
            portfreeboth(base + 37))
            return base;
    }
    return -1;
}

namespace {
// connectedsock: a socket of type connected to host and port, with time-outs.
int connectedsock(int type, const std::string &host, int port, int timeoutms)
{
    sockaddr_storage ss;
    socklen_t len = resolve(host, port, ss);
    if (len == 0)
        return -1;
    int s = socket(ss.ss_family, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    settimeouts(s, timeoutms);
    if (connect(s, reinterpret_cast<sockaddr *>(&ss), len) < 0) {
        close(s);
        return -1;
    }
    return s;
}
} // namespace

int tcpconnect(const std::string &host, int port, int timeoutms)
{
    return connectedsock(SOCK_STREAM, host, port, timeoutms);
}

int udpsocket(const std::string &host, int port, int timeoutms)
{
    return connectedsock(SOCK_DGRAM, host, port, timeoutms);
}

bool sendall(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += size_t(n);
    }
    return true;
}

std::string recvall(int fd, int timeoutms)
{
    return readfor(fd, timeoutms);
}

std::string recvn(int fd, size_t n, int timeoutms)
{
    std::string got;
    long deadline = nowms() + timeoutms;
    while (got.size() < n && waitreadable(fd, deadline)) {
        char buf[4096];
        size_t want = std::min(sizeof buf, n - got.size());
        ssize_t k = recv(fd, buf, want, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        got.append(buf, size_t(k));
    }
    return got;
}

std::optional<std::string> udpask(const std::string &host, int port, const std::string &req,
                                  int timeoutms)
{
    int s = udpsocket(host, port, timeoutms);
    if (s < 0)
        return std::nullopt;
    std::optional<std::string> reply;
    if (send(s, req.data(), req.size(), 0) == ssize_t(req.size())) {
        long deadline = nowms() + timeoutms;
        if (waitreadable(s, deadline)) {
            static char buf[65536];
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n >= 0)
                reply = std::string(buf, size_t(n));
        }
    }
    close(s);
    return reply;
}

std::optional<std::string> tcpask(const std::string &host, int port, const std::string &req,
                                  int timeoutms)
{
    int s = tcpconnect(host, port, timeoutms);
    if (s < 0)
        return std::nullopt;
    if (!req.empty() && !sendall(s, req)) {
        close(s);
        return std::nullopt;
    }
    shutdown(s, SHUT_WR);
    std::string got = recvall(s, timeoutms);
    close(s);
    return got;
}

namespace {
// forchildren: calls f(state letter, pid) for every child of pid.
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
} // namespace

void resetclose(int fd)
{
    linger lg = {.l_onoff = 1, .l_linger = 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

bool waitchildren(pid_t pid, int n, int timeoutms)
{
    long deadline = nowms() + timeoutms;
    for (;;) {
        if (children(pid) == n && zombies(pid) == 0)
            return true;
        if (nowms() >= deadline)
            return false;
        usleep(10000);
    }
}

int zombies(pid_t pid)
{
    int n = 0;
    forchildren(pid, [&](char state, pid_t) { n += state == 'Z'; });
    return n;
}

int children(pid_t pid)
{
    int n = 0;
    forchildren(pid, [&](char state, pid_t) { n += state != 'Z'; });
    return n;
}

long rsskb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

bool have(const std::string &cmd)
{
    std::string c = "command -v '" + cmd + "' >/dev/null 2>&1";
    return std::system(c.c_str()) == 0;
}

} // namespace tp
