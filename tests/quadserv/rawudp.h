// rawudp - forging and watching UDP datagrams on IPv4 loopback, for the tests
// of what a server answers to a source it cannot check.
#ifndef RAWUDP_H
#define RAWUDP_H

#include "testnet.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tp {

// Raw: one raw socket to forge datagrams, one to watch every UDP datagram
// that crosses loopback.
struct Raw {
    Fd send, sniff;
};

// rawopen: opens both; false where raw sockets are not allowed, which they
// are for root and inside a network namespace of the test's own (isolate()).
// Watch only inside such a namespace: there the sniffer sees this test's
// datagrams alone.
bool rawopen(Raw &raw);

// forge: sends payload to 127.0.0.1:dport as if from src:sport, with the UDP
// checksum check (0: none, which UDP over IPv4 allows).
bool forge(const Raw &raw, int sport, int dport, const std::string &payload, uint16_t check = 0,
           const std::string &src = "127.0.0.1");

// A datagram the sniffer saw, and when it crossed loopback: the kernel's
// stamp in milliseconds of the monotonic clock, the servers' own.
struct Seen {
    int sport, dport;
    std::string payload;
    long ms;
};
// sniff: the UDP datagrams seen on loopback for ms milliseconds, or until
// none has come for quietms (0: watch the whole time).
std::vector<Seen> sniff(const Raw &raw, int ms, int quietms = 0);
// count: how many of seen went from sport to dport.
int count(const std::vector<Seen> &seen, int sport, int dport);

} // namespace tp

#endif
