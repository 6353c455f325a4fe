// loadgen - what the load client's loads (loadgen.cpp) and its latency
// scenarios (scenarios.cpp) share.
#ifndef LOADGEN_H
#define LOADGEN_H

#include "benchcommon.h"

#include <poll.h>

enum class load { tcpread, echoshort, echobulk, chargen, udp, http };

// A load by name, and the reply length it checks (0: any): short
// connections read to the end, short echo, echo of 4 KiB blocks with up to
// 64 KiB in flight and chargen read (every byte checked), request and reply
// over UDP, and a GET read to the end with its status line checked.
struct loadkind {
    const char *name;
    load kind;
    std::size_t expect;
};
// loadnamed: the load of that name; null when there is none.
const loadkind *loadnamed(const char *name);

// nowsec: seconds on the monotonic clock, finer than monotonicms for rates.
double nowsec();
// peersock: a socket of type (SOCK_NONBLOCK allowed) connected, or on its
// way, to 127.0.0.1:port, from address from when it is not 0, with receive
// and send time-outs of secs when secs > 0; -1 with errno set on failure.
int peersock(int type, uint32_t from, int port, int secs);
// ready: whether fd, when valid, has events by until (nowsec's).
bool ready(int fd, short events, double until);
// oneconn: one short connection of lk from address from (0: any) with
// time-outs of secs; whether its reply was right.
bool oneconn(const loadkind &lk, uint32_t from, int port, int secs);

// runscenario: runs the latency scenario named name against port (and
// echoport, quad-share's) and prints its result line; false when there is
// no such scenario.
bool runscenario(const char *name, int port, int echoport);

#endif
