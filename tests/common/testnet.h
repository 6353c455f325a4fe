// testnet - ports, namespaces, socket addresses and sockets for tests that
// talk to the real programs over loopback.
#ifndef TESTNET_H
#define TESTNET_H

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

namespace tp {

// Fd: a descriptor closed when it goes out of scope; reset instead of
// closing in order when it is a TCP socket and reset is set, so that no
// TIME_WAIT is left behind on a port a fixed-port server needs again.
struct Fd {
    int fd = -1;
    bool reset = false;
    Fd() = default;
    explicit Fd(int f, bool rst = false) : fd(f), reset(rst) {}
    Fd(Fd &&o) noexcept : fd(o.fd), reset(o.reset) { o.fd = -1; }
    Fd &operator=(Fd &&o) noexcept;
    ~Fd();
    operator int() const { return fd; }
};

// resetclose: closes a TCP socket with a reset instead of an orderly end, as
// a client that vanishes does (and leaving no TIME_WAIT behind).
void resetclose(int fd);

// Addr: a socket address built from a numeric host ("127.0.0.1", "::1",
// "::ffff:127.0.0.1") and a port; len is 0 when host is not numeric.
struct Addr {
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family() const { return ss.ss_family; }
    sockaddr *sa() { return reinterpret_cast<sockaddr *>(&ss); }
    const sockaddr *sa() const { return reinterpret_cast<const sockaddr *>(&ss); }
};
Addr addr(const std::string &host, int port);

// portof: the port of an IPv4 or IPv6 address, host order; -1 otherwise.
int portof(const sockaddr_storage &ss);
// localport, peerport: a socket's own port, or its peer's; -1 on failure.
int localport(int fd);
int peerport(int fd);

// A socket on this host as /proc/net lists it.
struct NetSock {
    int port;        // local port
    bool listening;  // TCP LISTEN, or an unconnected bound UDP socket
    int peer;        // remote port
    long unread;     // bytes received and not yet read
};
// netsockets: every TCP ("tcp") or UDP ("udp") socket of this network, IPv4
// and IPv6, read from /proc without touching any port.
std::vector<NetSock> netsockets(const std::string &proto);

// bound: whether something listens on port (tcp) or has it bound (udp).
bool bound(int port, const std::string &proto);

// isolate: moves this test process, and everything it starts from now on,
// into a new network namespace of its own with loopback up (through a user
// namespace mapping us to root when we are not root); each call makes a fresh
// one. Fixed ports, low ports and raw sockets then belong to this test alone.
// False where the host allows no namespaces: the test shares the host's.
bool isolate();
// isolated: whether isolate() has succeeded in this process.
bool isolated();

// fixedport: for a server without address reuse on a fixed port: a network
// of the test's own, or else waits (up to 70 s) until the host's port is
// free. Empty when the port can be had; otherwise why not, in words for a
// failure message.
std::string fixedport(int port, const std::string &proto);

// freeport: a port free for both TCP and UDP right now, below the ephemeral
// range so that no client socket takes it before the server binds it.
int freeport();
// pickbase: a port base b with b plus each offset free for TCP and UDP.
int pickbase(const std::vector<int> &offsets);

// connected: a socket of type connected to host and port, from address src
// when it is given, with receive and send time-outs of timeoutms; -1 on
// failure.
int connected(int type, const std::string &host, int port, int timeoutms = 5000,
              const std::string &src = "");
inline int tcpconnect(const std::string &host, int port, int timeoutms = 5000,
                      const std::string &src = "")
{
    return connected(SOCK_STREAM, host, port, timeoutms, src);
}
inline int udpsocket(const std::string &host, int port, int timeoutms = 2000)
{
    return connected(SOCK_DGRAM, host, port, timeoutms);
}
// localsock: a socket of type bound to host at port (0: any free one), with
// SO_REUSEADDR; -1 on failure with errno set.
int localsock(const std::string &host, int type, int port = 0);
// connectfrom: a TCP connection from src (at srcport, 0: any) to host at
// port, made at once, or under way when nonblocking; -1 on failure.
int connectfrom(const std::string &src, int srcport, const std::string &host, int port,
                bool nonblocking = false);
// holder: a socket that holds port of proto on host (listening for tcp), as
// another program would; -1 on failure with errno set.
int holder(const std::string &host, int port, const std::string &proto);

// readable: whether fd has input (or an end) within timeoutms.
bool readable(int fd, int timeoutms);

bool sendall(int fd, const std::string &data);

// Reply: what a stream gave until it ended, and how it ended.
struct Reply {
    std::string data;
    bool cleanend = false; // end of stream, not a reset, an error or a time-out
    int error = 0;         // errno of the failed receive, ETIMEDOUT after timeoutms
    int localport = -1;    // the client's own port, when ask made the connection
};
// readtoend: every byte of a socket or pipe until its end, an error or
// timeoutms.
Reply readtoend(int fd, int timeoutms = 5000);
// readall: readtoend's bytes alone.
std::string readall(int fd, int timeoutms = 5000);
// recvn: up to n bytes, stopping early at end of stream or timeoutms.
std::string recvn(int fd, size_t n, int timeoutms = 5000);
// recvone: the next datagram on fd within timeoutms, its sender in from.
std::optional<std::string> recvone(int fd, int timeoutms, sockaddr_storage *from = nullptr);

// ask: connect (from src when given), send req (if any), half-close, read to
// the end; error is ECONNREFUSED when no connection was made or the request
// could not go.
Reply ask(const std::string &host, int port, const std::string &req = "", int timeoutms = 5000,
          const std::string &src = "");
// tcpask: ask's bytes, nullopt when no connection was made.
inline std::optional<std::string> tcpask(const std::string &host, int port,
                                         const std::string &req = "", int timeoutms = 5000,
                                         const std::string &src = "")
{
    Reply r = ask(host, port, req, timeoutms, src);
    return r.localport < 0 ? std::nullopt : std::optional(r.data);
}
// udpask: one request datagram from a fresh socket, one reply datagram
// (nullopt on time-out or error).
std::optional<std::string> udpask(const std::string &host, int port, const std::string &req,
                                  int timeoutms = 2000);

} // namespace tp

#endif
