// fault - hostile-client and bad-datagram rounds run against any server.
#ifndef FAULT_H
#define FAULT_H

#include "stress.h"

#include <functional>
#include <string>

namespace st {

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

// tcpfaults: reset storm, half-open and silent clients against t; the server
// must answer during and after each (gtest expectations).
void tcpfaults(const TcpTarget &t, const tp::Proc &p);

// A UDP server: the reply it must give to a request of req.
struct UdpTarget {
    std::string name;
    std::string host;
    int port;
    std::function<std::string(const std::string &req, const std::string &reply)> check;
};

// udpfaults: empty, oversized and garbage datagrams, one by one and as a
// burst; each single one answered rightly and the server answering after.
void udpfaults(const UdpTarget &u, const tp::Proc &p);

// pagecheck: "" when a GET to port returns the page of the given body label
// (or exact body when exactbody is set).
std::string pagecheck(const std::string &host, int port, const std::string &label, bool exactbody);

} // namespace st

#endif
