// servicetext_test - how libportkit turns a service text and the port base
// into a port, or refuses it with a reason.
#include "portkit_internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// Every rule once: a row is a text, its transport and base, and the port it
// must give, or 0 and the reason for the refusal. A success leaves the
// reason as it was, here the empty text.
TEST(ServiceText, EachTextGivesItsPortOrItsReason)
{
    constexpr const char *range = "port out of range 1-65535";
    constexpr const char *unknown = "unknown service";
    constexpr const char *sum = "port plus port base is above 65535";
    struct {
        const char *service, *proto;
        unsigned short base;
        uint16_t port;
        const char *reason;
    } cases[] = {
        // Names, from the services database of the transport asked for.
        {"echo", "tcp", 0, 7, ""},
        {"echo", "udp", 0, 7, ""},
        {"chargen", "udp", 0, 19, ""},
        {"daytime", "tcp", 0, 13, ""},
        {"time", "udp", 0, 37, ""},
        {"time", "tcp", 1000, 1037, ""},
        // Decimal ports 1-65535, leading zeros allowed; no wrap of a long one.
        {"8013", "tcp", 0, 8013, ""},
        {"1", "tcp", 0, 1, ""},
        {"65535", "udp", 0, 65535, ""},
        {"007", "tcp", 0, 7, ""},
        {"0", "tcp", 0, 0, range},
        {"65536", "tcp", 0, 0, range},
        {"70000", "udp", 0, 0, range},
        {"99999999999999999999", "tcp", 0, 0, range},
        // Neither a name nor a plain number: no sign, blank or suffix.
        {"80x", "tcp", 0, 0, unknown},
        {"-7", "tcp", 0, 0, unknown},
        {"+7", "tcp", 0, 0, unknown},
        {" 7", "tcp", 0, 0, unknown},
        {"7 ", "tcp", 0, 0, unknown},
        {"nosuchservice", "udp", 0, 0, unknown},
        {"", "tcp", 0, 0, "empty service"},
        {nullptr, "udp", 0, 0, "empty service"},
        // The base is added, and the sum must stay a port.
        {"7", "tcp", 65528, 65535, ""},
        {"37", "udp", 65499, 0, sum},
        {"65535", "tcp", 1, 0, sum},
        {"time", "tcp", 65535, 0, sum},
    };
    for (const auto &c : cases) {
        const char *reason = "";
        std::string row = std::string(c.service != nullptr ? c.service : "(null)") + "/" + c.proto +
                          " + " + std::to_string(c.base);
        EXPECT_EQ(pk_port(c.service, c.proto, c.base, &reason), c.port) << row;
        EXPECT_STREQ(reason, c.reason) << row;
    }
}
