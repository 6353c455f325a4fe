// dgramgreetcli6 - IPv6 UDP greeting client of ::1 port 5678:
// the one design of dgramgreetcli.cpp, built for the IPv6 family.
#define GREET_INET6
#include "dgramgreetcli.cpp"
