// greetpage - HTTP/1.1 server on port 5678 that answers every connection with the greeting.
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "pagecommon.h"

constexpr char hellomsg[] = "Hello World!\n";
static_assert(sizeof hellomsg - 1 == 13);

// passiveTCPsock: a socket listening on the IPv4 wildcard at service, backlog
// 10; never fails: ends the process through errx with status 1.
static int passiveTCPsock(const char *service)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;

    addrinfo *res;
    int ret = getaddrinfo(nullptr, service, &hints, &res);
    if (ret != 0)
        errx(1, "getaddrinfo: %s\n", gai_strerror(ret));
    int pasvsd = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (pasvsd < 0)
        errx(1, "socket() failed. : %s\n", strerror(errno));
    if (bind(pasvsd, res->ai_addr, res->ai_addrlen) < 0)
        errx(1, "bind() failed. : %s\n", strerror(errno));
    if (listen(pasvsd, 10) < 0)
        errx(1, "listen() failed. : %s\n", strerror(errno));
    freeaddrinfo(res);
    return pasvsd;
}

// greetpage: serves one connection with the greeting page; returns 0, failures
// show in the trace only.
static int greetpage(int tsockd)
{
    pagestart(tsockd, pagehead);
    pagefinish(tsockd, hellomsg);
    return 0;
}

// Arguments are not read: the port is fixed.
int main([[maybe_unused]] int argc, [[maybe_unused]] char **argv)
{
    const char *service = "5678";
    int listensd = passiveTCPsock(service);
    pagesignals();
    for (;;) {
        sockaddr_in fsa;
        socklen_t fsalen;
        int connectionsd = pageaccept(listensd, sap(&fsa), sizeof fsa, &fsalen);
        char host_buf[128], serv_buf[128];
        int rc = getnameinfo(sap(&fsa), fsalen, host_buf, sizeof host_buf, serv_buf,
                             sizeof serv_buf, NI_NUMERICHOST);
        if (rc == 0)
            printf("connection from %s:%s\n", host_buf, serv_buf);
        else // the buffers hold nothing printable then
            printf("connection from %s\n", gai_strerror(rc));
        greetpage(connectionsd);
        close(connectionsd);
    }
}
