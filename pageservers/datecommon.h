// datecommon - what datepage and clockpage share: the command line, the accept
// loop with the library's peer text, and the locale's date text.
#ifndef DATECOMMON_H
#define DATECOMMON_H

#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <ctime>

#include "pagecommon.h"
#include "portkit.h"

// dateservice: argv[1], or dflt without an argument. Any other argument count
// ends the process with the usage report and, as these programs always have,
// status 0.
inline const char *dateservice(int argc, char **argv, const char *dflt)
{
    if (argc == 2)
        return argv[1];
    if (argc != 1)
        errx(0, "usage: %s [port]\n", argv[0]);
    return dflt;
}

// datetext: the local date and time in the environment's locale, read again
// on every call; an empty text when it cannot be formatted, never garbage.
inline void datetext(char (&dts)[256])
{
    setlocale(LC_ALL, "");
    time_t now;
    time(&now);
    const tm *local = localtime(&now);
    // strftime leaves the buffer undefined when the text does not fit.
    if (local == nullptr || strftime(dts, sizeof dts, nl_langinfo(D_T_FMT), local) == 0)
        dts[0] = '\0';
}

// dateexchange: one connection's exchange: the request read, response, then
// the date text; failures show in the trace only.
inline void dateexchange(int sd, std::string_view response)
{
    pagestart(sd, response);
    char dts[256];
    datetext(dts);
    pagefinish(sd, dts);
}

// dateloop: serves msock for ever, one connection at a time, through handler;
// ends the process (err) when accept fails for good or satop fails.
template <typename Handler> [[noreturn]] void dateloop(int msock, Handler handler)
{
    pagesignals();
    for (;;) {
        sockaddr_storage fsa;
        socklen_t salen;
        int ssock = pageaccept(msock, sap(&fsa), sizeof fsa, &salen);
        char fmtaddr[128];
        if (satop(sap(&fsa), fmtaddr, sizeof fmtaddr) == nullptr)
            err(1, "main() satop failed");
        printf("connection from %s\n", fmtaddr);
        handler(ssock);
        close(ssock);
    }
}

#endif
