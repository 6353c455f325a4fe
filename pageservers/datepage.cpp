// datepage - HTTP/1.1 server that answers every connection with the local date and time.
#include <err.h>
#include <unistd.h>

#include "datecommon.h"
#include "portkit.h"

// The first send for an ASCII date; one that is not names its charset.
constexpr auto response = pagejoin(pagehead, "Local daytime is: ");
static_assert(response.size() - 1 == 82);

// datepage: serves one connection with the page; failures show in the trace only.
static void datepage(const int tsd)
{
    dateexchange(tsd);
}

// Serves one connection at a time until stopped; ends when the socket
// cannot be had, accept fails for good or a peer cannot be printed.
int main(int argc, char **argv)
{
    const char *service = dateservice(argc, argv, "8013");
    int msock = datelisten(service, 10, {response.data(), response.size() - 1});
    for (;;) {
        sockaddr_storage sstorage;
        socklen_t salen;
        int ssock = pageaccept(msock, sap(&sstorage), sizeof sstorage, &salen);
        char fmtaddr[128];
        if (satop(sap(&sstorage), fmtaddr, sizeof fmtaddr) == nullptr)
            err(1, "main() satop failed");
        printf("connection from %s\n", fmtaddr);
        datepage(ssock);
        close(ssock);
    }
}
