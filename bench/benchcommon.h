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

#endif
