// hostile - clients that misbehave, bounded, and the rounds that throw them at
// a server while checking that it still answers everyone else.
#ifndef HOSTILE_H
#define HOSTILE_H

#include "testproc.h"

#include <functional>
#include <string>
#include <vector>

namespace tp {

// resetstorm: n connections, each aborted with a reset (half of them after
// sending junk); connections the backlog refuses are skipped.
void resetstorm(const std::string &host, int port, int n);
// halfopen: connects, sends req, shuts its sending side and returns what
// came back (cap bytes at most).
std::string halfopen(const std::string &host, int port, const std::string &req,
                     size_t cap = 1 << 20);
// silent: n connections that send nothing and stay open while held.
std::vector<Fd> silent(const std::string &host, int port, int n);

// A TCP server under attack: how to tell it still answers, what a half-open
// client sends and whether its reply is right, and how many silent clients
// it can hold while still answering others (iterative servers: one).
struct TcpTarget {
    std::string name;
    std::string host;
    int port;
    std::function<std::string()> check;
    std::string halfreq;
    std::function<bool(const std::string &)> halfok;
    int silentn;
    size_t halfcap = 1 << 20; // stop reading a half-open reply here
};
// tcpfaults: reset storm, clients that leave early, half-open and silent
// clients against t; the server must answer during and after each.
void tcpfaults(const TcpTarget &t, Proc &p);

// A UDP server: what it must reply to a request of req ("" when right).
struct UdpTarget {
    std::string name;
    std::string host;
    int port;
    std::function<std::string(const std::string &req, const std::string &reply)> check;
};
// udpfaults: empty, oversized and garbage datagrams, one by one and as a
// burst; each single one answered rightly and the server answering after.
void udpfaults(const UdpTarget &u, Proc &p);

} // namespace tp

#endif
