// hostile - clients that misbehave, bounded, and the rounds that throw them at
// a server while checking that it still answers everyone else.
#ifndef HOSTILE_H
#define HOSTILE_H

#include "testproc.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tp {

// Drain: reads p's output away in the background while it lives, so that a
// server whose trace goes to a pipe or pty nobody reads during a round never
// fills it and stalls.
struct Drain {
    explicit Drain(Proc &p) : reader([this, &p] {
        while (!done)
            if (readall(p.out, 50).empty()) // an ended server: do not spin
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }) {}
    ~Drain()
    {
        done = true;
        reader.join();
    }
    std::atomic<bool> done = false;
    std::thread reader;
};

// A TCP server under attack: how to tell it still answers, what a half-open
// client sends and whether its reply is right, and how many silent clients
// it can hold while still answering others (iterative servers: one; 0: none).
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
