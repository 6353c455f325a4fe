// testproc - processes and sockets for tests that drive the real programs.
#ifndef TESTPROC_H
#define TESTPROC_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tp {

// bin: path of a program built by this project.
std::string bin(const std::string &name);

struct SpawnOpts {
    std::vector<std::string> env;   // "NAME=value" added to (or replacing in) the environment
    bool pty = false;               // stdout and stderr on a pseudo-terminal (line-buffered output)
    bool linebuf = false;           // run under stdbuf -oL (output read through a pipe)
    bool closestd = false;          // start with stdin, stdout and stderr closed
    std::string workdir;            // empty: the test's own
    std::vector<std::string> prefix;// run under this command (setpriv, prlimit, ...)
    int stdinfd = -1;               // the child's standard input; -1: /dev/null
};

// A started program. out reads its stdout (the pty with SpawnOpts::pty: stdout
// and stderr together); err reads its stderr (-1 with a pty or closestd).
struct Proc {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string buffered; // read from out but not yet taken by readline
    Proc() = default;
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;
    Proc(Proc &&o) noexcept;
    Proc &operator=(Proc &&o) noexcept;
    ~Proc(); // SIGKILL and reap if still running
};

Proc spawn(const std::vector<std::string> &argv, const SpawnOpts &opts = {});

// stop: SIGTERM, then wait (SIGKILL after 5 s); the wait status.
int stop(Proc &p);
// wait: the wait status once it has exited by itself, nullopt after timeoutms.
std::optional<int> wait(Proc &p, int timeoutms);
bool running(Proc &p);

// readline: the next line of p.out without its line end ("\r\n" from a pty);
// nullopt on end of file or after timeoutms.
std::optional<std::string> readline(Proc &p, int timeoutms = 5000);
// readfor: everything from fd until end of file or timeoutms.
std::string readfor(int fd, int timeoutms);

struct Result {
    int status = -1; // wait status
    std::string out, err;
};
// run: a short-lived program to its end, with optional input; kills it after timeoutms.
Result run(const std::vector<std::string> &argv, const std::string &input = "",
           const SpawnOpts &opts = {}, int timeoutms = 10000);

// Exit code of a wait status, or -1 when it died by a signal.
int exitcode(int status);

// bound: whether something on this host has port bound for proto ("tcp" is
// listening, "udp" bound), read from /proc without touching the port.
bool bound(int port, const std::string &proto);
// waitbound: polls bound() until true or timeoutms.
bool waitbound(int port, const std::string &proto, int timeoutms = 5000);

// isolate: moves this test process, and everything it starts from now on,
// into a new network namespace of its own with loopback up (through a user
// namespace when not root); each call makes a fresh one. Fixed ports and the connections that linger on
// them after a test then belong to this test alone. False where the host
// allows no namespaces: the test then shares the host's loopback.
bool isolate();

// fixedportproblem: empty when a server without address reuse can bind port
// for proto now (waiting up to a minute for closing connections to go);
// otherwise why not, in words for a failure message.
std::string fixedportproblem(int port, const std::string &proto);

// freeport: a port free for both TCP and UDP right now.
int freeport();
// pickbase: a port base b with b+7, b+13, b+19 and b+37 free for TCP and UDP.
int pickbase();

// tcpconnect: a connected TCP socket to host ("127.0.0.1", "::1") and port,
// with receive and send time-outs of timeoutms; -1 on failure.
int tcpconnect(const std::string &host, int port, int timeoutms = 5000);
// udpsocket: a UDP socket of host's family connected to host and port.
int udpsocket(const std::string &host, int port, int timeoutms = 2000);

bool sendall(int fd, const std::string &data);
// recvall: bytes until end of stream, error or timeoutms.
std::string recvall(int fd, int timeoutms = 5000);
// recvn: up to n bytes, stopping early at end of stream or timeoutms.
std::string recvn(int fd, size_t n, int timeoutms = 5000);
// udpask: one request datagram, one reply datagram (nullopt on time-out).
std::optional<std::string> udpask(const std::string &host, int port, const std::string &req,
                                  int timeoutms = 2000);

// tcpask: connect, send req (if any), half-close, read to the end.
std::optional<std::string> tcpask(const std::string &host, int port, const std::string &req = "",
                                  int timeoutms = 5000);

// resetclose: closes a TCP socket with a reset instead of an orderly end,
// as a client that vanishes does (and leaving no TIME_WAIT behind).
void resetclose(int fd);

// waitchildren: polls until pid has exactly n live children and no zombies;
// false after timeoutms.
bool waitchildren(pid_t pid, int n, int timeoutms = 5000);

// zombies: count of zombie children of pid.
int zombies(pid_t pid);
// children: count of live child processes of pid.
int children(pid_t pid);
// rsskb: resident memory of pid in KiB.
long rsskb(pid_t pid);

// have: whether a command is on PATH.
bool have(const std::string &cmd);

} // namespace tp

#endif
