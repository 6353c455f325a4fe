// pkport_fuzz - fuzz target for pk_port: service texts, transports and port bases.
#include "portkit_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char untouched[] = "untouched";

// port: pk_port's answer for service; aborts unless a refusal names a
// reason and a success leaves the reason as it was. The reason in *why.
unsigned port(const char *service, const char *proto, unsigned base, const char **why)
{
    const char *reason = untouched;
    unsigned got = pk_port(service, proto, uint16_t(base), &reason);
    bool told = reason != untouched && reason != nullptr && *reason != '\0';
    if (got == 0 ? !told : reason != untouched)
        std::abort();
    *why = reason;
    return got;
}

} // namespace

// LLVMFuzzerTestOneInput: two bytes of port base, one of transport, then the
// service text; aborts when a property of pk_port fails. The base only moves
// a port: a text has its own port, or its own reason, whatever the base, and
// that reason never blames the base.
// A decimal text's own port is its number while that is a port; a name's is
// the port its decimal text gives. A null text is refused.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    unsigned base = unsigned(data[0]) << 8 | data[1];
    const char *proto = (data[2] & 1) != 0 ? "udp" : "tcp";
    // The library reads a NUL-terminated text; an embedded NUL ends it there.
    std::string service(reinterpret_cast<const char *>(data + 3), size - 3);
    service.resize(std::strlen(service.c_str()));

    const char *why = nullptr, *ownwhy = nullptr;
    unsigned got = port(service.c_str(), proto, base, &why);
    unsigned own = port(service.c_str(), proto, 0, &ownwhy);
    if (own == 0 ? got != 0 || std::strcmp(why, ownwhy) != 0
                 : got != (own + base <= 65535 ? own + base : 0))
        std::abort();
    // Without a base a refusal is the text's own fault, never the sum's.
    const char *sumwhy = nullptr;
    port("65535", proto, 1, &sumwhy);
    if (own == 0 && std::strcmp(ownwhy, sumwhy) == 0)
        std::abort();

    bool decimal = !service.empty() && service.find_first_not_of("0123456789") == std::string::npos;
    if (decimal) {
        // Too many digits for any port saturate instead of wrapping.
        unsigned long long n = std::strtoull(service.c_str(), nullptr, 10);
        if (own != (n >= 1 && n <= 65535 ? n : 0))
            std::abort();
    } else if (own != 0 && port(std::to_string(own).c_str(), proto, 0, &why) != own) {
        std::abort();
    }

    if (size == 3 && port(nullptr, proto, base, &why) != 0)
        std::abort();
    return 0;
}
