// benchcommon - what the load tool and the reference servers share: the
// services' port offsets, the chargen stream and the way sockets are bound.
#ifndef BENCHCOMMON_H
#define BENCHCOMMON_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "sockhelp.h"

constexpr uint32_t unix1900 = 2208988800U;
constexpr std::size_t chargenperiod = 95 * 74; // the line pattern repeats after 95 lines

// The references' services by key, at these offsets from their base, as
// quadserv adds its base to the standard ports; the references serve the
// three pages at their base plus 80, 81 and 82.
enum svckey { k_echo, k_chargen, k_daytime, k_time, k_uecho, k_utime, k_date, k_clock, k_greet, nkeys };
constexpr std::array<int, nkeys> keyoff = {7, 19, 13, 37, 7, 37, 80, 81, 82};
constexpr std::array<bool, nkeys> keytcp = {true, true, true, true, false, false, true, true, true};

// chargenfill: n bytes of the chargen stream from its start into buf.
inline void chargenfill(char *buf, std::size_t n)
{
    char c = ' ';
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t col = i % 74;
        if (col == 72) {
            buf[i] = '\r';
        } else if (col == 73) {
            buf[i] = '\n';
        } else {
            buf[i] = c;
            if (++c == 0x7f)
                c = ' ';
        }
    }
}

// setopt: sets an int socket option; failures are harmless here and ignored.
inline void setopt(int s, int level, int name, int value)
{
    (void)setsockopt(s, level, name, &value, sizeof value);
}

// bindsock: a socket of type bound to the dual-stack wildcard at port, as
// the suite's library opens them; -1 with errno set on failure.
inline int bindsock(int type, int port)
{
    int s = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    setopt(s, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    if (type == SOCK_STREAM)
        setopt(s, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    sin6.sin6_port = htons(uint16_t(port));
    if (bind(s, sap(&sin6), sizeof sin6) < 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}

#endif
