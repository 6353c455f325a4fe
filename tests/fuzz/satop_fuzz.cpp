// satop_fuzz - fuzz target for satop over every address family and buffer length.
#include "portkit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// reference: the text satop must write for a, formed apart from the library; "" if none.
std::string reference(int family, const uint8_t *rec)
{
    char host[INET6_ADDRSTRLEN];
    char text[INET6_ADDRSTRLEN + 16];
    if (family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, rec, sizeof sin);
        inet_ntop(AF_INET, &sin.sin_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "%s:%u", host, unsigned(ntohs(sin.sin_port)));
        return text;
    }
    sockaddr_in6 sin6;
    std::memcpy(&sin6, rec, sizeof sin6);
    if (IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr)) {
        inet_ntop(AF_INET, &sin6.sin6_addr.s6_addr[12], host, sizeof host);
        std::snprintf(text, sizeof text, "%s:%u", host, unsigned(ntohs(sin6.sin6_port)));
    } else {
        inet_ntop(AF_INET6, &sin6.sin6_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "[%s]:%u", host, unsigned(ntohs(sin6.sin6_port)));
    }
    return text;
}

} // namespace

// LLVMFuzzerTestOneInput: byte 0 picks the family, byte 1 the buffer length,
// the rest fills an address record of exactly the family's size; aborts when
// satop writes outside the buffer, leaves it unterminated or formats wrongly.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    int family = data[0];
    size_t buflen = data[1];

    size_t reclen = family == AF_INET ? sizeof(sockaddr_in)
                    : family == AF_INET6 ? sizeof(sockaddr_in6)
                    : family == AF_UNIX ? sizeof(sockaddr_un)
                                        : sizeof(sockaddr);
    // Heap records of the exact size, so any read or write past them is caught.
    std::vector<uint8_t> rec(reclen, 0);
    std::memcpy(rec.data(), data + 2, std::min(reclen, size - 2));
    sa_family_t fam = sa_family_t(family);
    std::memcpy(rec.data() + offsetof(sockaddr, sa_family), &fam, sizeof fam);

    std::vector<char> buf(buflen == 0 ? 1 : buflen, '\x5a');
    errno = 0;
    const char *got = satop(reinterpret_cast<const sockaddr *>(rec.data()), buf.data(),
                            socklen_t(buflen));

    if (family != AF_INET && family != AF_INET6) {
        if (got != nullptr || errno != EAFNOSUPPORT)
            std::abort();
    } else {
        std::string want = reference(family, rec.data());
        bool fits = want.size() < buflen;
        if (fits && (got != buf.data() || want != buf.data()))
            std::abort();
        if (!fits && (got != nullptr || errno != ENOSPC))
            std::abort();
    }
    // A refusal leaves the caller's buffer as it was.
    if (got == nullptr)
        for (char c : buf)
            if (c != '\x5a')
                std::abort();
    return 0;
}
