// greetpage - HTTP/1.1 server on port 5678 that answers every connection with the greeting.
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "pagecommon.h"

constexpr char hellomsg[] = "Hello World!\n";
static_assert(sizeof hellomsg - 1 == 13);

// The services database's TCP names by port, sorted by port, read once at
// start: a lookup per connection would read and parse the whole database
// each time. When the database does not fit, the table keeps what came
// first and servfull is set: ports it lacks are then asked of the resolver.
struct servname {
    uint16_t sn_port;
    uint16_t sn_name; // offset into servpool
};
constinit static std::array<servname, 2048> servtab{};
constinit static std::array<char, 32768> servpool{};
constinit static std::size_t nserv = 0;
constinit static bool servfull = false;

// servat: where port stands, or would stand, in the table.
static servname *servat(uint16_t port)
{
    return std::lower_bound(servtab.begin(), servtab.begin() + nserv, port,
                            [](const servname &s, uint16_t p) { return s.sn_port < p; });
}

// servload: fills the table from the services database. The first TCP entry
// of a port wins, as in a lookup by port.
static void servload()
{
    std::size_t used = 0;
    setservent(0);
    while (const servent *se = getservent()) {
        if (strcmp(se->s_proto, "tcp") != 0)
            continue;
        uint16_t port = ntohs(uint16_t(se->s_port));
        servname *end = servtab.begin() + nserv;
        servname *at = servat(port);
        if (at != end && at->sn_port == port)
            continue;
        std::size_t len = strlen(se->s_name) + 1;
        // A name too long for the trace's buffer is left to the resolver too.
        if (nserv == servtab.size() || len > servpool.size() - used || len > 128) {
            servfull = true;
            break;
        }
        std::copy_backward(at, end, end + 1);
        *at = {.sn_port = port, .sn_name = uint16_t(used)};
        memcpy(servpool.data() + used, se->s_name, len);
        used += len;
        ++nserv;
    }
    endservent();
}

// servfind: port's name from the table; null when it has none.
static const char *servfind(uint16_t port)
{
    const servname *at = servat(port);
    return at != servtab.begin() + nserv && at->sn_port == port ? servpool.data() + at->sn_name : nullptr;
}

// peertext: as getnameinfo with NI_NUMERICHOST fills host_buf and serv_buf
// for fsa, and its result, with the service name taken from the table.
static int peertext(const sockaddr_in &fsa, socklen_t fsalen, char (&host_buf)[128],
                    char (&serv_buf)[128])
{
    const char *name = servfind(ntohs(fsa.sin_port));
    int flags = NI_NUMERICHOST | (name != nullptr || !servfull ? NI_NUMERICSERV : 0);
    int rc = getnameinfo(reinterpret_cast<const sockaddr *>(&fsa), fsalen, host_buf,
                         sizeof host_buf, serv_buf, sizeof serv_buf, flags);
    if (rc == 0 && name != nullptr)
        strcpy(serv_buf, name); // fits: longer names are not in the table
    return rc;
}

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

// greetpage: serves one connection with the greeting page; failures show in
// the trace only.
static void greetpage(const int tsockd)
{
    pagereply(tsockd, pagehead, hellomsg, pageread(tsockd));
}

// Arguments are not read: the port is fixed.
int main([[maybe_unused]] int argc, [[maybe_unused]] char **argv)
{
    const char *service = "5678";
    int listensd = passiveTCPsock(service);
    servload();
    pagesetup(listensd);
    sockaddr_in fsa; // filled anew by every accept
    socklen_t fsalen;
    for (;;) {
        int connectionsd = pageaccept(listensd, sap(&fsa), sizeof fsa, &fsalen);
        char host_buf[128], serv_buf[128];
        int rc = peertext(fsa, fsalen, host_buf, serv_buf);
        if (rc == 0)
            printf("connection from %s:%s\n", host_buf, serv_buf);
        else // the buffers hold nothing printable then
            printf("connection from %s\n", gai_strerror(rc));
        greetpage(connectionsd);
        close(connectionsd);
    }
}
