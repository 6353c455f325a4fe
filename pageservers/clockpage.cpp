// clockpage - HTTP/1.1 server on the time port that answers every connection with the local time.
#include <err.h>
#include <unistd.h>

#include "datecommon.h"
#include "portkit.h"

// The first send for an ASCII date; one that is not names its charset.
constexpr auto response = pagejoin(pagehead, "Local time is: ");
static_assert(response.size() - 1 == 79);

// clockpage: serves one connection with the page; failures show in the trace only.
static void clockpage(const int tsd)
{
    dateexchange(tsd);
}

// Serves one connection at a time until stopped; ends when the socket
// cannot be had, accept fails for good or a peer cannot be printed.
int main(int argc, char **argv)
{
    const char *service = dateservice(argc, argv, "time");
    int msock = datelisten(service, 32, {response.data(), response.size() - 1});
    for (;;) {
        sockaddr_storage fsa;
        socklen_t salen;
        int ssock = pageaccept(msock, sap(&fsa), sizeof fsa, &salen);
        char fmtaddr[128];
        if (satop(sap(&fsa), fmtaddr, sizeof fmtaddr) == nullptr)
            err(1, "main() satop failed");
        printf("connection from %s\n", fmtaddr);
        clockpage(ssock);
        close(ssock);
    }
}
