// satop_fuzz - fuzz target for satop over every address family and buffer length.
#include "portkit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// readsback: whether text parses back with inet_pton to the address and
// port of rec: "[IPv6]:port", or "IPv4:port" for an IPv4 address or an
// IPv4-mapped IPv6 one.
bool readsback(const std::string &text, int family, const uint8_t *rec)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size() || text.size() - colon > 6 ||
        text.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return false;
    unsigned port = unsigned(std::stoul(text.substr(colon + 1)));
    std::string host = text.substr(0, colon);
    bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    in6_addr a{};
    if (bracketed) {
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a) != 1)
            return false;
    } else {
        if (inet_pton(AF_INET, host.c_str(), &a.s6_addr[12]) != 1)
            return false;
        a.s6_addr[10] = a.s6_addr[11] = 0xff;
    }
    if (family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, rec, sizeof sin);
        return !bracketed && std::memcmp(&a.s6_addr[12], &sin.sin_addr, 4) == 0 &&
               port == ntohs(sin.sin_port);
    }
    sockaddr_in6 sin6;
    std::memcpy(&sin6, rec, sizeof sin6);
    return std::memcmp(&a, &sin6.sin6_addr, sizeof a) == 0 && port == ntohs(sin6.sin6_port);
}

} // namespace

// Bytes after the caller's buffer, watched for a write past its length.
constexpr size_t guard = 16;
constexpr char fill = '\x5a';

// LLVMFuzzerTestOneInput: byte 0 picks the family, byte 1 the buffer length,
// the rest fills an address record of exactly the family's size; aborts when
// a property of satop fails. Every address of IPv4 or IPv6 fits the 128
// bytes callers give and reads back as itself; a buffer of any length gets
// that same text, terminated, or a refusal with ENOSPC; other families get
// EAFNOSUPPORT. Nothing is written past the length, nor at all on refusal.
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
    const auto *sa = reinterpret_cast<const sockaddr *>(rec.data());

    char full[128];
    const char *whole = satop(sa, full, sizeof full);
    std::vector<char> buf(buflen + guard, fill);
    errno = 0;
    const char *got = satop(sa, buf.data(), socklen_t(buflen));
    int e = errno;

    if (family != AF_INET && family != AF_INET6) {
        if (whole != nullptr || got != nullptr || e != EAFNOSUPPORT)
            std::abort();
    } else {
        if (whole == nullptr || !readsback(full, family, rec.data()))
            std::abort();
        if (std::strlen(full) < buflen ? got != buf.data() || std::strcmp(got, full) != 0
                                       : got != nullptr || e != ENOSPC)
            std::abort();
    }
    for (size_t i = got != nullptr ? buflen : 0; i < buf.size(); ++i)
        if (buf[i] != fill)
            std::abort();
    return 0;
}
