// testproc - processes for tests that drive the real programs; testnet.h has
// the network side.
#ifndef TESTPROC_H
#define TESTPROC_H

#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sockhelp.h"
#include "testnet.h"

namespace tp {

// bin: path of a program built by this project.
std::string bin(const std::string &name);

struct SpawnOpts {
    std::vector<std::string> env;   // "NAME=value" added to (or replacing in) the environment
    bool pty = false;               // stdout and stderr on a pseudo-terminal (line-buffered output)
    bool closestd = false;          // start with stdin, stdout and stderr closed
    std::string workdir;            // empty: the test's own
    std::vector<std::string> prefix;// run under this command (setpriv, prlimit, ...)
    int stdinfd = -1;               // the child's standard input; -1: /dev/null
    std::vector<int> handed;        // sockets handed over as systemd does: at 3 on, LISTEN_FDS, LISTEN_PID
};

// A started program. out reads its stdout (the pty with SpawnOpts::pty: stdout
// and stderr together); err reads its stderr (-1 with a pty or closestd).
struct Proc {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string buffered; // read from out but not yet taken by readline
    Proc() = default;
    Proc(Proc &&o) noexcept { *this = std::move(o); }
    Proc &operator=(Proc &&o) noexcept; // o ends ours as it goes
    ~Proc(); // SIGKILL and reap if still running
};

Proc spawn(const std::vector<std::string> &argv, const SpawnOpts &opts = {});
// notifysocket: a datagram socket bound at name (a path, or an abstract
// name after "@"), named to the server as its NOTIFY_SOCKET in opts, as a
// service manager's; -1 on failure.
int notifysocket(SpawnOpts &opts, const std::string &name);

// stop: SIGTERM, then wait (SIGKILL after 10 s); the wait status.
int stop(Proc &p);
// stopstalled: stops p, whose standard output is a pipe (no pty) that
// nobody reads, once its trace has stalled: the pipe is shrunk to a page and
// exchange() repeated (n times at most) until it fails, p being blocked on
// its trace; then SIGTERM. The wait status if p ended within 2 s, else
// nullopt (the Proc kills it when it goes).
std::optional<int> stopstalled(Proc &p, const std::function<bool()> &exchange, int n);
// wait: the wait status once it has exited by itself, nullopt after timeoutms.
std::optional<int> wait(Proc &p, int timeoutms);
bool running(Proc &p);

// readline: the next line of p.out without its line end ("\r\n" from a pty);
// nullopt on end of file or after timeoutms.
std::optional<std::string> readline(Proc &p, int timeoutms = 5000);

struct Result {
    int status = -1; // wait status
    std::string out, err;
};
// run: a short-lived program to its end, with optional input; kills it after timeoutms.
Result run(const std::vector<std::string> &argv, const std::string &input = "",
           const SpawnOpts &opts = {}, int timeoutms = 10000);

// exitcode: the exit code of a wait status, or -1 when it died by a signal.
int exitcode(int status);
// outcome: how a run ended, as one text to compare with the one wanted:
// the exit code, standard output and standard error.
std::string outcome(int code, const std::string &out, const std::string &err);
inline std::string outcome(const Result &r) { return outcome(exitcode(r.status), r.out, r.err); }

// tool: the path of a system command, looked up on PATH and then in
// /usr/sbin and /sbin (off an ordinary user's PATH, where rdate lives);
// empty when it is not installed.
std::string tool(const std::string &cmd);
inline bool have(const std::string &cmd) { return !tool(cmd).empty(); }

// serve: starts a server (argv[0] a program of this build or a command) and
// waits until port is listening (tcp) or bound (udp). On failure it records a
// test failure with what the server wrote to its standard error; check
// running() on the result before using it.
Proc serve(const std::vector<std::string> &argv, int port, const std::string &proto,
           const SpawnOpts &opts = {});
// servefixed: serve for a server on a fixed port (5678, the standard ones):
// in the test's network when it has one of its own (fixedport makes a
// fresh one), else on the host's port once it is free; records a failure
// and starts nothing when it stays taken.
Proc servefixed(const std::vector<std::string> &argv, int port, const std::string &proto,
                const SpawnOpts &opts = {});
// runheld: runs argv to its end while a socket of ours holds port of proto
// on host, as another program would.
Result runheld(const std::vector<std::string> &argv, const std::string &host, int port,
               const std::string &proto, const SpawnOpts &opts = {});
// lowports: "" when this test may bind ports below 1024 (in a network of its
// own, or as root), else why not, for a skip.
std::string lowports();

// endedby: whether the wait status st (nullopt: still running) is an end by
// signal sig, with what it was otherwise.
testing::AssertionResult endedby(std::optional<int> st, int sig);
// filelines: the lines of the file at path.
std::vector<std::string> filelines(const std::string &path);

// fdlimit: the command prefix that runs a program with at most n open
// descriptors (prlimit, the hard limit kept); empty when prlimit is missing.
// fdraise then gives running process pid 64 again.
std::vector<std::string> fdlimit(int n);
bool fdraise(pid_t pid);

// faults: the environment that preloads the fault shim (faultshim.cpp) with
// plan, one of its variables set.
inline std::vector<std::string> faults(const std::string &plan)
{
    return {"LD_PRELOAD=" FAULTSHIM, "ASAN_OPTIONS=verify_asan_link_order=0", plan};
}

// fdtargets: "fd -> target" of every open descriptor of pid.
std::vector<std::string> fdtargets(pid_t pid);

// A process as /proc tells of it; pid is -1 and the rest unknown when it
// has gone.
struct ProcInfo {
    pid_t pid = -1, ppid = -1;
    char state = '?';              // 'Z' for a zombie
    long uid = -1;                 // real user id
    long rsskb = -1;               // resident memory in KiB
    long cputicks = -1;            // user and system time in clock ticks
    unsigned long long caught = 0; // signals with a handler: bit sig - 1
};
ProcInfo procinfo(pid_t pid);
// processes: every process of the host.
std::vector<ProcInfo> processes();

} // namespace tp

#endif
