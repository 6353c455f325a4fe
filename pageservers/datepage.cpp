// datepage - HTTP/1.1 server that answers every connection with the local date and time.
#include "datecommon.h"

// The first send in an ASCII locale; others name their charset in the head.
constexpr auto response = pagejoin(pagehead, "Local daytime is: ");
static_assert(response.size() - 1 == 82);

// datepage: serves one connection with the page; failures show in the trace only.
static void datepage(int tsd)
{
    dateexchange(tsd);
}

int main(int argc, char **argv)
{
    const char *service = dateservice(argc, argv, "8013");
    int msock = passiveTCP(service, 10);
    dateloop(msock, {response.data(), response.size() - 1}, datepage);
}
