// datecommon - what datepage and clockpage share: the command line, the
// locale and the head that names the date's charset, the local date text,
// and the exchange of one connection.
#ifndef DATECOMMON_H
#define DATECOMMON_H

#include <langinfo.h>

#include <clocale>
#include <cstring>
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

// The codesets whose IANA name differs from the C library's; a null name
// marks ASCII, which the head leaves unnamed. HTTP ignores case, so
// "BIG5" and "Big5" need no row.
struct charsetname {
    std::string_view cs_libc;
    const char *cs_iana;
};
constexpr charsetname charsetnames[] = {
    {"ANSI_X3.4-1968", nullptr}, {"ASCII", nullptr},          {"US-ASCII", nullptr},
    {"CP1250", "windows-1250"},  {"CP1251", "windows-1251"},  {"CP1252", "windows-1252"},
    {"CP1253", "windows-1253"},  {"CP1254", "windows-1254"},  {"CP1255", "windows-1255"},
    {"CP1256", "windows-1256"},  {"CP1257", "windows-1257"},  {"CP1258", "windows-1258"},
    {"PT154", "PTCP154"},        {"RK1048", "KZ-1048"},       {"", nullptr},
};

// datecharset: the IANA name of codeset, or null for ASCII and for a name
// that cannot stand in a header (empty, too long, not a token).
inline const char *datecharset(const char *codeset)
{
    std::string_view cs = codeset;
    for (const charsetname *p = charsetnames; !p->cs_libc.empty(); ++p)
        if (p->cs_libc == cs)
            return p->cs_iana;
    if (cs.empty() || cs.size() > 40 ||
        cs.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                             "0123456789!#$%&'*+-.^_`|~") != std::string_view::npos)
        return nullptr;
    return codeset;
}

// datehead: response (head and label) with charset named in the head,
// built into buf; response unchanged should it not fit.
inline std::string_view datehead(std::string_view response, const char *charset, char (&buf)[192])
{
    constexpr std::size_t typeend = sizeof pagehead - 1 - 4; // before the head's last CR LF CR LF
    constexpr std::string_view named = "; charset=";
    std::string_view cs = charset;
    std::size_t n = response.size() + named.size() + cs.size();
    if (n >= sizeof buf)
        return response;
    char *p = std::copy_n(response.data(), typeend, buf);
    p = std::copy(named.begin(), named.end(), p);
    p = std::copy(cs.begin(), cs.end(), p);
    std::copy(response.begin() + typeend, response.end(), p);
    buf[n] = '\0';
    return {buf, n};
}

// The first send as this process sends it, built once at start: plain, and
// with the charset of the date text named for a text that is not ASCII.
inline std::string_view dateplain, datenamed;
inline char datenamedbuf[192];

// datestart: takes the locale from the environment, once (a running
// process's environment does not change), then builds both first sends
// from response. The date text follows the time category of the locale, so
// the charset named is that category's codeset.
inline void datestart(std::string_view response)
{
    setlocale(LC_ALL, "");
    dateplain = datenamed = response;
    locale_t timeloc = newlocale(LC_CTYPE_MASK, setlocale(LC_TIME, nullptr), locale_t(0));
    if (timeloc == locale_t(0))
        return;
    if (const char *charset = datecharset(nl_langinfo_l(CODESET, timeloc)))
        datenamed = datehead(response, charset, datenamedbuf);
    freelocale(timeloc);
}

// datefirst: the first send for the date text dts: the plain head unless
// the text holds a byte that is not ASCII.
inline std::string_view datefirst(const char *dts)
{
    for (const char *p = dts; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80)
            return datenamed;
    return dateplain;
}

// datelisten: the listening socket for service, handed over or opened by
// passiveTCP with a queue of qlen, once the process is ready to serve it
// with the first send response (datestart, pagesetup) and its service
// manager has been told; never fails.
inline int datelisten(const char *service, int qlen, std::string_view response)
{
    bool handed = passivehanded() > 0;
    int msock = passiveTCP(service, qlen);
    datestart(response);
    pagesetup(msock, handed);
    passiveready();
    return msock;
}

// The monotonic second in which the time zone was last read.
inline long datezonesec = -1;

// datetext: the local date and time in the locale taken at start; an empty
// text when it cannot be formatted, never garbage. The zone is read again
// at most once a second, so that a change of the system's zone shows within
// a second without a look at the zone file for every connection.
inline void datetext(char (&dts)[256])
{
    long sec = monotonicms() / 1000;
    if (sec != datezonesec) {
        tzset();
        datezonesec = sec;
    }
    time_t now;
    time(&now);
    tm local;
    // strftime leaves the buffer undefined when the text does not fit.
    if (localtime_r(&now, &local) == nullptr ||
        strftime(dts, sizeof dts, nl_langinfo(D_T_FMT), &local) == 0)
        dts[0] = '\0';
}

// dateexchange: one connection's exchange: the request read, the date text
// formatted, then the two sends; failures show in the trace only.
inline void dateexchange(int sd)
{
    pagereq req = pageread(sd);
    char dts[256];
    datetext(dts);
    pagereply(sd, datefirst(dts), dts, req);
}

#endif
