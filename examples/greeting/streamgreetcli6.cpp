// streamgreetcli6 - IPv6 TCP greeting client of ::1 port 5678:
// the one design of streamgreetcli.cpp, built for the IPv6 family.
#define GREET_INET6
#include "streamgreetcli.cpp"
