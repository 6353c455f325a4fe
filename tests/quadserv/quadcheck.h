// quadcheck - quadserv for tests: its service table, starting it, and what
// each service must answer.
#ifndef QUADCHECK_H
#define QUADCHECK_H

#include "testproc.h"

#include <ctime>
#include <string>

namespace tp {

// quadserv's four services and their ports, as offsets from the port base.
enum svc { echo, chargen, daytime, timesvc };
struct QuadService {
    svc id;
    const char *name;
    int off;
};
constexpr QuadService quadservices[] = {
    {echo, "echo", 7}, {chargen, "chargen", 19}, {daytime, "daytime", 13}, {timesvc, "time", 37}};
inline const std::vector<int> quadoffsets = {7, 13, 19, 37};
inline const char *svcname(svc s) { return quadservices[s].name; }
inline int svcoff(svc s) { return quadservices[s].off; }

// A running quadserv and its port base (0: the standard ports).
struct Quad {
    Proc proc;
    int base = -1;
    int port(svc s) const { return base + svcoff(s); }
};

// QuadOpts: how to start it: args(base), the command line after the program
// (default: the base; none with stdports); stdports, on the well-known ports
// (base 0); prog, another copy of the program (default: this build's).
struct QuadOpts {
    SpawnOpts spawn;
    std::vector<std::string> (*args)(int base) = nullptr;
    bool stdports = false;
    std::string prog;
};

// childpids: the children of pid: all (state 0), the live ones (any other
// state) or the ended ones not yet reaped ('Z').
std::vector<pid_t> childpids(pid_t pid, char state = 0);
// children: count of live child processes of pid; zombies: of unreaped ones.
inline int children(pid_t pid) { return int(childpids(pid, 'R').size()); }
inline int zombies(pid_t pid) { return int(childpids(pid, 'Z').size()); }
// waitchildren: polls until pid has exactly n live children and no zombies;
// false after timeoutms.
bool waitchildren(pid_t pid, int n, int timeoutms = 10000);

// startquad: quadserv on a free port base, once it serves (its SIGCHLD
// handler is installed only when every socket is open); tries other bases
// when a test beside it takes a port first. On failure it records a test
// failure with quadserv's report and returns a Quad without a process.
Quad startquad(const QuadOpts &opts = {});

// QuadTest: a test with quadserv (q) started before it on a free port base,
// as startopts say: a derived fixture may set them in its constructor.
class QuadTest : public testing::Test {
protected:
    QuadOpts startopts;
    Quad q;
    void SetUp() override { ASSERT_TRUE(running((q = startquad(startopts)).proc)); }
};

// chargenbytes: the first n bytes of the character generator's stream.
std::string chargenbytes(size_t n);
// timeat: the 4-byte RFC 868 reply for Unix time t.
std::string timeat(time_t t);

// tcpcheck / udpcheck: one exchange with service s at host and port (over
// TCP from src when given); "" when the reply has the right form (daytime's
// text, a time within 5 s of ours), else what was wrong. tag makes echo
// payloads distinct.
std::string tcpcheck(svc s, int port, int tag = 0, const std::string &host = "127.0.0.1",
                     const std::string &src = "");
std::string udpcheck(svc s, int port, const std::string &req = "ping",
                     const std::string &host = "127.0.0.1");
// replycheck: "" when reply is service s's right answer to req over UDP
// (daytime's and time's over TCP too).
std::string replycheck(svc s, const std::string &req, const std::string &reply);
// allanswer: the services of q that fail their check on host (" tcp/echo
// udp/time" ...), "" when all eight answer. With settle, each TCP check first
// waits for quadserv's children of the last one to end (a process limit).
std::string allanswer(const Quad &q, const std::string &host = "127.0.0.1", bool settle = false);

} // namespace tp

#endif
