// qsutil - starting quadserv for tests and looking at it from outside.
#ifndef QSUTIL_H
#define QSUTIL_H

#include "testproc.h"

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace qs {

// Offsets of the services from the port base: the standard ports.
constexpr int echo = 7, daytime = 13, chargen = 19, timep = 37;
constexpr int offsets[] = {echo, daytime, chargen, timep};
constexpr uint32_t unix1900 = 2208988800U;

// nowms: milliseconds on a monotonic clock.
long nowms();

struct Server {
    tp::Proc proc;
    int base = -1;
    int port(int offset) const { return base + offset; }
};

// ready: waits until pid has installed its SIGCHLD handler, which quadserv does
// once every socket is open; false if it exits first or after timeoutms.
bool ready(tp::Proc &p, int timeoutms = 10000);

// start: quadserv on a free port base, ready to serve; retries with another
// base when a racing test took a port first. args(base) gives the arguments.
// On failure the returned Server has no process and err holds why.
Server start(const tp::SpawnOpts &opts = {}, std::string *err = nullptr,
             std::vector<std::string> (*args)(int base) = nullptr);

// childpids: the children of pid (ended ones too, until they are reaped).
std::vector<pid_t> childpids(pid_t pid);
// fdtargets: "fd -> target" of every open descriptor of pid.
std::vector<std::string> fdtargets(pid_t pid);

// dayat: asctime's text for Unix time t shifted by offset seconds.
std::string dayat(time_t t, long offset);

// Reply of a TCP connection read to its end, and whether it ended in an error
// (a reset) rather than a clean end of stream.
struct TcpReply {
    std::string data;
    int error = 0;
};
TcpReply readtoend(int fd, int timeoutms = 5000);


// allanswer: the services of the server at base that fail a quick check on
// host (" tcp/echo udp/time" ...), empty when all eight answer.
// With settle, the pid of a server under a process limit, each TCP check
// first waits for the children of the last one to end.
std::string allanswer(const std::string &host, int base, pid_t settle = 0);

} // namespace qs

#endif
