// streamgreetsrv6 - IPv6 TCP greeting server on port 5678:
// the one design of streamgreetsrv.cpp, built for the IPv6 family.
#define GREET_INET6
#include "streamgreetsrv.cpp"
