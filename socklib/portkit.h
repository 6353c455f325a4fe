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

// satop: writes "address:port" (IPv4, and IPv4-mapped IPv6) or
// "[address]:port" (IPv6) into buf; returns buf, or null with errno set
// (EINVAL for a null sa or buf, EAFNOSUPPORT, ENOSPC) without writing past
// buflen bytes.
const char *satop(const struct sockaddr *sa, char *buf, socklen_t buflen);

#ifdef __cplusplus
}
#endif

#endif
