// pkport_fuzz - fuzz target for pk_port: service names, decimal ports and port base sums.
#include "portkit_internal.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// expected: the port pk_port must give for service, proto and base; 0 when it must refuse.
unsigned expected(const std::string &service, const char *proto, unsigned base)
{
    if (service.empty())
        return 0;
    unsigned long long port = 0;
    bool digits = service.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        // Saturate instead of wrapping so an overlong number stays too large.
        for (char c : service)
            port = port > 1000000 ? port : port * 10 + unsigned(c - '0');
        if (port == 0 || port > 65535)
            return 0;
    } else {
        const servent *pse = getservbyname(service.c_str(), proto);
        if (pse == nullptr)
            return 0;
        port = ntohs(uint16_t(pse->s_port));
        if (port == 0)
            return 0;
    }
    return port + base > 65535 ? 0 : unsigned(port + base);
}

} // namespace

// LLVMFuzzerTestOneInput: two bytes of port base, one of protocol, then the
// service text; aborts when pk_port disagrees with an independent reckoning.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    unsigned base = unsigned(data[0]) << 8 | data[1];
    const char *proto = (data[2] & 1) != 0 ? "udp" : "tcp";
    // The library reads a NUL-terminated text; an embedded NUL ends it there.
    std::string service(reinterpret_cast<const char *>(data + 3), size - 3);
    service.resize(std::strlen(service.c_str()));

    const char *reason = nullptr;
    unsigned got = pk_port(service.c_str(), proto, uint16_t(base), &reason);
    if (got != expected(service, proto, base))
        std::abort();
    // A refusal always says why; a success leaves the reason alone.
    if ((got == 0) != (reason != nullptr))
        std::abort();
    if (reason != nullptr && std::strlen(reason) == 0)
        std::abort();

    if (size == 3) { // the null service must be refused, not read
        reason = nullptr;
        if (pk_port(nullptr, proto, uint16_t(base), &reason) != 0 || reason == nullptr)
            std::abort();
    }
    return 0;
}
