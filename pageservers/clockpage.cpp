// clockpage - HTTP/1.1 server on the time port that answers every connection with the local time.
#include "datecommon.h"

// The first send in an ASCII locale; others name their charset in the head.
constexpr auto response = pagejoin(pagehead, "Local time is: ");
static_assert(response.size() - 1 == 79);

// clockpage: serves one connection with the page; returns 0, failures show in
// the trace only.
static int clockpage(int tsd)
{
    dateexchange(tsd);
    return 0;
}

int main(int argc, char **argv)
{
    const char *service = dateservice(argc, argv, "time");
    int msock = passiveTCP(service, 32);
    dateloop(msock, {response.data(), response.size() - 1}, clockpage);
}
