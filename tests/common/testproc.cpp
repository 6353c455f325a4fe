// testproc - processes for tests that drive the real programs.
#include "testproc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tp {

namespace fs = std::filesystem;

std::string bin(const std::string &name) { return std::string(TEST_BIN_DIR) + "/" + name; }

Proc &Proc::operator=(Proc &&o) noexcept
{
    std::swap(pid, o.pid);
    std::swap(out, o.out);
    std::swap(err, o.err);
    std::swap(buffered, o.buffered);
    return *this;
}

Proc::~Proc()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
}

Proc spawn(const std::vector<std::string> &argv, const SpawnOpts &opts)
{
    std::vector<std::string> full = opts.prefix;
    full.insert(full.end(), argv.begin(), argv.end());
    // Commands in /usr/sbin are found for an ordinary user too.
    if (std::string found = tool(full[0]); !found.empty())
        full[0] = found;

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

    std::vector<int> copies(opts.handed.size());
    std::string listenfds = "LISTEN_FDS=" + std::to_string(copies.size());
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
        }
        if (opts.closestd) {
            close(0);
            close(1);
            close(2);
        } else {
            dup2(opts.stdinfd >= 0 ? opts.stdinfd : open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
            dup2(opts.pty ? slave : outp[1], 1);
            dup2(opts.pty ? slave : errp[1], 2);
        }
        // The program starts with the standard streams alone, as from a
        // shell, whatever the test runner itself was handed.
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        // Each by way of a copy above them all, so none is overwritten unmoved.
        int n = int(copies.size());
        for (int i = 0; i < n; ++i)
            copies[size_t(i)] = fcntl(opts.handed[size_t(i)], F_DUPFD_CLOEXEC, 3 + n);
        for (int i = 0; i < n; ++i)
            dup2(copies[size_t(i)], 3 + i);
        char listenpid[32];
        snprintf(listenpid, sizeof listenpid, "LISTEN_PID=%d", int(getpid()));
        if (n > 0 && (putenv(listenpid) != 0 || putenv(listenfds.data()) != 0))
            _exit(127);
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

int notifysocket(SpawnOpts &opts, const std::string &name)
{
    opts.env.push_back("NOTIFY_SOCKET=" + name);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    name.copy(sun.sun_path, sizeof sun.sun_path - 1);
    if (name.starts_with("@"))
        sun.sun_path[0] = '\0';
    if (s >= 0 && bind(s, sap(&sun), socklen_t(offsetof(sockaddr_un, sun_path) + name.size())) < 0) {
        close(s);
        return -1;
    }
    return s;
}

std::optional<int> wait(Proc &p, int timeoutms)
{
    if (p.pid <= 0)
        return std::nullopt;
    long deadline = monotonicms() + timeoutms;
    for (;;) {
        int st;
        pid_t r = waitpid(p.pid, &st, WNOHANG);
        if (r == p.pid) {
            p.pid = -1;
            return st;
        }
        if ((r < 0 && errno != EINTR) || monotonicms() >= deadline)
            return std::nullopt;
        usleep(5000);
    }
}

bool running(Proc &p) { return !wait(p, 0) && p.pid > 0; }

int stop(Proc &p)
{
    if (p.pid <= 0)
        return -1;
    kill(p.pid, SIGTERM);
    // A server acts on SIGTERM between exchanges, and ends within a second
    // wherever it is; a slow machine may take longer.
    if (auto st = wait(p, 10000))
        return *st;
    kill(p.pid, SIGKILL);
    return wait(p, 10000).value_or(-1);
}

std::optional<int> stopstalled(Proc &p, const std::function<bool()> &exchange, int n)
{
    if (p.out >= 0)
        fcntl(p.out, F_SETPIPE_SZ, 4096);
    for (int i = 0; i < n && exchange(); ++i)
        ;
    kill(p.pid, SIGTERM);
    return wait(p, 2000);
}

std::optional<std::string> readline(Proc &p, int timeoutms)
{
    long deadline = monotonicms() + timeoutms;
    for (;;) {
        size_t nl = p.buffered.find('\n');
        if (nl != std::string::npos) {
            std::string line = p.buffered.substr(0, nl);
            p.buffered.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (p.out < 0 || !readable(p.out, int(deadline - monotonicms())))
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

    long deadline = monotonicms() + timeoutms;
    // Both streams at once, so that neither fills while the other is read.
    std::thread errs([&] { r.err = readall(p.err, timeoutms); });
    r.out = readall(p.out, timeoutms);
    errs.join();
    if (auto st = wait(p, int(std::max(0L, deadline - monotonicms()))))
        r.status = *st;
    else
        r.status = stop(p);
    return r;
}

std::string outcome(int code, const std::string &out, const std::string &err)
{
    return "exit " + std::to_string(code) + ", out [" + out + "], err [" + err + "]";
}

int exitcode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string tool(const std::string &cmd)
{
    if (cmd.find('/') != std::string::npos)
        return access(cmd.c_str(), X_OK) == 0 ? cmd : "";
    const char *path = getenv("PATH");
    std::istringstream is(std::string(path != nullptr ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(is, dir, ':');)
        if (std::string full = (dir.empty() ? "." : dir) + "/" + cmd; access(full.c_str(), X_OK) == 0)
            return full;
    return "";
}

Proc serve(const std::vector<std::string> &argv, int port, const std::string &proto,
           const SpawnOpts &opts)
{
    Proc p = spawn(argv, opts);
    long deadline = monotonicms() + 10000;
    while (!bound(port, proto) && running(p) && monotonicms() < deadline)
        usleep(5000);
    if (!bound(port, proto)) {
        stop(p);
        std::string why = p.err >= 0 ? readall(p.err, 1000) : readall(p.out, 1000);
        ADD_FAILURE() << argv[0] << " does not listen on " << proto << " port " << port << ": "
                      << why;
    }
    return p;
}

Proc servefixed(const std::vector<std::string> &argv, int port, const std::string &proto,
                const SpawnOpts &opts)
{
    std::string why = isolated() ? "" : fixedport(port, proto);
    if (!why.empty()) {
        ADD_FAILURE() << why;
        return {};
    }
    return serve(argv, port, proto, opts);
}

Result runheld(const std::vector<std::string> &argv, const std::string &host, int port,
               const std::string &proto, const SpawnOpts &opts)
{
    Fd held(holder(host, port, proto));
    if (held < 0)
        ADD_FAILURE() << "cannot hold " << proto << " port " << port << ": " << strerror(errno);
    return run(argv, "", opts);
}

std::string lowports()
{
    if (isolate() || geteuid() == 0)
        return "";
    return "ports below 1024 need root or a network namespace of our own, and this host "
           "allows neither";
}

testing::AssertionResult endedby(std::optional<int> st, int sig)
{
    if (!st)
        return testing::AssertionFailure() << "still running";
    if (WIFSIGNALED(*st) && WTERMSIG(*st) == sig)
        return testing::AssertionSuccess();
    if (WIFSIGNALED(*st))
        return testing::AssertionFailure() << "ended by signal " << WTERMSIG(*st);
    return testing::AssertionFailure() << "exited with status " << exitcode(*st);
}

std::vector<std::string> filelines(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

std::vector<std::string> fdlimit(int n)
{
    if (!have("prlimit"))
        return {};
    rlimit nofile;
    getrlimit(RLIMIT_NOFILE, &nofile);
    std::string hard =
        nofile.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(nofile.rlim_max);
    return {"prlimit", "--nofile=" + std::to_string(n) + ":" + hard, "--"};
}

bool fdraise(pid_t pid)
{
    rlimit nofile;
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = 64;
    return prlimit(pid, RLIMIT_NOFILE, &nofile, nullptr) == 0;
}

std::vector<std::string> fdtargets(pid_t pid)
{
    std::vector<std::string> out;
    std::error_code gone, closed; // the process may end, or close one, meanwhile
    for (fs::directory_iterator e("/proc/" + std::to_string(pid) + "/fd", gone), end; !gone && e != end;
         e.increment(gone))
        out.push_back(e->path().filename().string() + " -> " + fs::read_symlink(*e, closed).string());
    return out;
}

ProcInfo procinfo(pid_t pid)
{
    ProcInfo pi;
    std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream st(dir + "/stat");
    std::string line;
    if (!std::getline(st, line) || line.rfind(')') == std::string::npos)
        return pi;
    std::istringstream is(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    is >> pi.state >> pi.ppid;
    // Fields 5 to 13 (pgrp ... cmajflt) come between; then utime and stime.
    for (int i = 5; i <= 13; ++i)
        is >> field;
    is >> utime >> stime;
    pi.cputicks = utime + stime;
    std::ifstream status(dir + "/status");
    while (std::getline(status, line)) {
        const char *v = line.c_str() + line.find(':') + 1;
        if (line.starts_with("Uid:"))
            pi.uid = std::strtol(v, nullptr, 10);
        else if (line.starts_with("VmRSS:"))
            pi.rsskb = std::strtol(v, nullptr, 10);
        else if (line.starts_with("SigCgt:"))
            pi.caught = std::strtoull(v, nullptr, 16);
    }
    pi.pid = pid;
    return pi;
}

std::vector<ProcInfo> processes()
{
    std::vector<ProcInfo> all;
    std::error_code gone;
    for (fs::directory_iterator e("/proc", gone), last; !gone && e != last; e.increment(gone)) {
        std::string name = e->path().filename();
        char *end;
        long pid = std::strtol(name.c_str(), &end, 10);
        if (*end == '\0' && pid > 0)
            if (ProcInfo pi = procinfo(pid_t(pid)); pi.pid > 0)
                all.push_back(pi);
    }
    return all;
}

} // namespace tp
