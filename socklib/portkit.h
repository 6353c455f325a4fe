// portkit - open server sockets by service name and print socket addresses.
#ifndef PORTKIT_H
#define PORTKIT_H

#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

// Added to every port the library opens; zero unless the caller writes it
// before its first passiveTCP or passiveUDP.
extern unsigned short portbase;

// passiveTCP: a listening TCP socket for service (a services-database name or
// a decimal port 1-65535) at that port plus portbase, on every local address.
// Never fails: ends the process through errx/err with status 1.
int passiveTCP(const char *service, int qlen);

// passiveUDP: a bound UDP socket for service, as passiveTCP. Never fails.
int passiveUDP(const char *service);

// Sockets handed over at start by a service manager (systemd's LISTEN_PID
// and LISTEN_FDS): passiveTCP and passiveUDP take the one of their type
// bound to their port instead of opening one. The variables are cleared at
// the first call of any of these functions, so that no child takes them up.

// passivehanded: how many handed sockets passiveTCP and passiveUDP have not
// taken yet; 0 when the process was handed none.
int passivehanded(void);

// passiveoffered: 1 when a handed socket waits for service over type
// (SOCK_STREAM: passiveTCP's, SOCK_DGRAM: passiveUDP's), else 0. Never
// fails: a service it cannot resolve ends the process as passiveTCP does.
int passiveoffered(const char *service, int type);

// passiveready: called once every socket is open. Ends the process (status
// 1) when a handed socket was left untaken; otherwise tells the service
// manager that the server is ready (READY=1 to NOTIFY_SOCKET), which does
// nothing without one.
void passiveready(void);

// satop: writes "address:port" (IPv4, and IPv4-mapped IPv6) or
// "[address]:port" (IPv6) into buf; returns buf, or null with errno set
// (EINVAL for a null sa or buf, EAFNOSUPPORT, ENOSPC) without writing past
// buflen bytes.
const char *satop(const struct sockaddr *sa, char *buf, socklen_t buflen);

#ifdef __cplusplus
}
#endif

#endif
