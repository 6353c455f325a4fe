// refserver fork|inproc BASE - the benchmark's reference servers: what quadserv
// and the page servers serve (at BASE+7, +19, +13, +37 and +80 to +82), with
// nothing but the work on the wire, a child forked per connection or all
// answered in the one process.
#include "benchcommon.h"
#include "datecommon.h"
#include "portkit.h"

#include <err.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// The pages' first sends as the page servers send them for an ASCII date.
constexpr auto datefirst = pagejoin(pagehead, "Local daytime is: ");
constexpr auto clockfirst = pagejoin(pagehead, "Local time is: ");
constexpr char hellomsg[] = "Hello World!\n";

// refreaper: collects ended children of the fork reference.
void refreaper(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        ;
    errno = saved;
}

void refecho(int s)
{
    char buf[4096];
    for (ssize_t n; (n = read(s, buf, sizeof buf)) > 0;)
        if (write(s, buf, size_t(n)) < 0)
            return;
}

// refchargen: the stream a whole 95-line period per write, as quadserv sends it.
void refchargen(int s)
{
    char buf[chargenperiod];
    chargenfill(buf, sizeof buf);
    for (;;)
        if (write(s, buf, sizeof buf) < 0)
            return;
}

void refdaytime(int s)
{
    char buf[72];
    time_t now = time(nullptr);
    snprintf(buf, sizeof buf, "%s", asctime(localtime(&now)));
    (void)!write(s, buf, strlen(buf));
}

void reftime(int s)
{
    uint32_t v = htonl(uint32_t(uint64_t(time(nullptr)) + unix1900));
    (void)!write(s, &v, sizeof v);
}

// refudp: answers one datagram on s with its echo, or with the time value.
void refudp(int s, bool timereply)
{
    char buf[4096];
    sockaddr_storage fsin;
    socklen_t alen = sizeof fsin;
    ssize_t n = recvfrom(s, buf, sizeof buf, 0, sap(&fsin), &alen);
    uint32_t v = timereply ? htonl(uint32_t(uint64_t(time(nullptr)) + unix1900)) : 0;
    if (n >= 0)
        sendto(s, timereply ? static_cast<void *>(&v) : buf, timereply ? sizeof v : size_t(n), 0,
               sap(&fsin), alen);
}

void refuecho(int s) { refudp(s, false); }
void refutime(int s) { refudp(s, true); }

// refpage: the page servers' exchange without their trace: one receive,
// waiting as they do, the date text (or the greeting), the two sends as
// they make them, then the same end of the connection.
void refpage(int s, std::string_view first, bool date)
{
    char request[1024], dts[256];
    int n = pagerecv(s, request, sizeof request);
    std::string_view body(hellomsg, sizeof hellomsg - 1);
    if (date) {
        datetext(dts);
        body = dts;
    }
    (void)send(s, first.data(), first.size(), MSG_MORE);
    (void)send(s, body.data(), body.size(), 0);
    pageend(s, pagefound(request, n));
}

void refdate(int s) { refpage(s, {datefirst.data(), datefirst.size() - 1}, true); }
void refclock(int s) { refpage(s, {clockfirst.data(), clockfirst.size() - 1}, true); }
void refgreet(int s) { refpage(s, {pagehead, sizeof pagehead - 1}, false); }

// The services at these offsets from the base, as quadserv adds its base to
// the standard ports; the pages' listeners defer as the page servers' do.
struct refservice {
    const char *rs_off;
    bool rs_tcp;
    bool rs_page;
    void (*rs_func)(int);
    int rs_sock;
};
constinit refservice refservices[] = {
    {.rs_off = "7", .rs_tcp = true, .rs_page = false, .rs_func = refecho, .rs_sock = -1},
    {.rs_off = "19", .rs_tcp = true, .rs_page = false, .rs_func = refchargen, .rs_sock = -1},
    {.rs_off = "13", .rs_tcp = true, .rs_page = false, .rs_func = refdaytime, .rs_sock = -1},
    {.rs_off = "37", .rs_tcp = true, .rs_page = false, .rs_func = reftime, .rs_sock = -1},
    {.rs_off = "7", .rs_tcp = false, .rs_page = false, .rs_func = refuecho, .rs_sock = -1},
    {.rs_off = "37", .rs_tcp = false, .rs_page = false, .rs_func = refutime, .rs_sock = -1},
    {.rs_off = "80", .rs_tcp = true, .rs_page = true, .rs_func = refdate, .rs_sock = -1},
    {.rs_off = "81", .rs_tcp = true, .rs_page = true, .rs_func = refclock, .rs_sock = -1},
    {.rs_off = "82", .rs_tcp = true, .rs_page = true, .rs_func = refgreet, .rs_sock = -1},
    {.rs_off = nullptr, .rs_tcp = false, .rs_page = false, .rs_func = nullptr, .rs_sock = -1},
};

// refserve: runs a reference server at base for ever; exits through err.
[[noreturn]] void refserve(bool forking, int base)
{
    signal(SIGPIPE, SIG_IGN);
    setlocale(LC_ALL, "");
    tzset();
    fd_set afds;
    FD_ZERO(&afds);
    int nfds = 0;
    portbase = static_cast<unsigned short>(base); // opened as quadserv opens its sockets
    for (refservice *rs = refservices; rs->rs_off != nullptr; ++rs) {
        rs->rs_sock = rs->rs_tcp ? passiveTCP(rs->rs_off, 32) : passiveUDP(rs->rs_off);
        if (rs->rs_sock >= FD_SETSIZE)
            errx(1, "reference: descriptor %d is too high for select", rs->rs_sock);
        if (rs->rs_page)
            pagedefer(rs->rs_sock);
        FD_SET(rs->rs_sock, &afds);
        nfds = std::max(nfds, rs->rs_sock + 1);
    }
    if (forking)
        signal(SIGCHLD, refreaper);

    for (;;) {
        fd_set rfds = afds;
        if (select(nfds, &rfds, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            err(1, "reference: select");
        }
        for (refservice *rs = refservices; rs->rs_off != nullptr; ++rs) {
            if (!FD_ISSET(rs->rs_sock, &rfds))
                continue;
            if (!rs->rs_tcp) {
                rs->rs_func(rs->rs_sock);
                continue;
            }
            int c = accept(rs->rs_sock, nullptr, nullptr);
            if (c < 0) { // skipped, or rested on a shortage, as the programs do
                acceptfailed("reference: accept");
                continue;
            }
            if (!forking) {
                rs->rs_func(c);
            } else if (fork() == 0) {
                rs->rs_func(c);
                exit(0);
            }
            close(c);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3 || (strcmp(argv[1], "fork") != 0 && strcmp(argv[1], "inproc") != 0))
        errx(2, "usage: refserver fork|inproc BASE");
    refserve(strcmp(argv[1], "fork") == 0, atoi(argv[2]));
}
