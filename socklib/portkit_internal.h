// portkit internals shared with the library's own tests and fuzz targets.
#ifndef PORTKIT_INTERNAL_H
#define PORTKIT_INTERNAL_H

#include <cstdint>

// pk_port: the port (host order) that service names for proto ("tcp" or
// "udp") once base is added; 0 on failure with *reason set to a static text.
uint16_t pk_port(const char *service, const char *proto, unsigned short base,
                 const char **reason);

#endif
