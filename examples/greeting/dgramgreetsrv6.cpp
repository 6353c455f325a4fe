// dgramgreetsrv6 - IPv6 UDP greeting server on port 5678:
// the one design of dgramgreetsrv.cpp, built for the IPv6 family.
#define GREET_INET6
#include "dgramgreetsrv.cpp"
