// benchcommon - what the load client and the reference servers share: the
// time value's epoch and the chargen stream.
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

// chargenfill: n bytes of the chargen stream from its start into buf: lines
// of 72 printable characters, one after another, and CR LF.
inline void chargenfill(char *buf, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t col = i % 74;
        buf[i] = col == 72 ? '\r' : col == 73 ? '\n' : char(' ' + (i / 74 * 72 + col) % 95);
    }
}

#endif
