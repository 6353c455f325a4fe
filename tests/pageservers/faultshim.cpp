// faultshim - preloaded into a page server to make accept and getnameinfo fail
// on demand, which a healthy kernel does not do when asked.
//   FAULTSHIM_ACCEPT=ECONNABORTED,EPROTO  the first accepts fail with these
//   FAULTSHIM_GETNAMEINFO=1               every getnameinfo fails (EAI_FAIL)
//   FAULTSHIM_NODEFER=1                   deferred accept is refused, as where
//                                         the platform lacks it
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int errnonamed(const char *name, size_t len)
{
    struct row { const char *name; int value; };
    static constexpr row rows[] = {
        {"ECONNABORTED", ECONNABORTED}, {"EPROTO", EPROTO},       {"EINTR", EINTR},
        {"ENOBUFS", ENOBUFS},           {"ENOMEM", ENOMEM},       {"ENETDOWN", ENETDOWN},
        {"ENOPROTOOPT", ENOPROTOOPT},   {"EHOSTDOWN", EHOSTDOWN}, {"ENONET", ENONET},
        {"EHOSTUNREACH", EHOSTUNREACH}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ENETUNREACH", ENETUNREACH},
        {"EBADF", EBADF},               {nullptr, 0}};
    for (const row *r = rows; r->name != nullptr; ++r)
        if (std::strlen(r->name) == len && std::strncmp(r->name, name, len) == 0)
            return r->value;
    return EINVAL;
}

} // namespace

extern "C" int accept(int fd, sockaddr *sa, socklen_t *len)
{
    static int calls = 0;
    const char *plan = std::getenv("FAULTSHIM_ACCEPT");
    int n = calls++;
    for (const char *p = plan; p != nullptr && *p != '\0'; --n) {
        const char *end = std::strchr(p, ',');
        size_t len_ = end ? size_t(end - p) : std::strlen(p);
        if (n == 0) {
            // A kernel fails an accept for a connection that is there: the
            // failure meets the server once a client has come.
            pollfd pfd = {.fd = fd, .events = POLLIN, .revents = 0};
            poll(&pfd, 1, -1);
            errno = errnonamed(p, len_);
            return -1;
        }
        p = end ? end + 1 : p + len_;
    }
    using acceptfn = int (*)(int, sockaddr *, socklen_t *);
    static auto real = reinterpret_cast<acceptfn>(dlsym(RTLD_NEXT, "accept"));
    return real(fd, sa, len);
}

extern "C" int getnameinfo(const sockaddr *sa, socklen_t salen, char *host, socklen_t hostlen,
                           char *serv, socklen_t servlen, int flags)
{
    if (std::getenv("FAULTSHIM_GETNAMEINFO") != nullptr) {
        // Leave the buffers as unterminated junk, the worst a failure can do.
        if (host != nullptr)
            std::memset(host, 'J', hostlen);
        if (serv != nullptr)
            std::memset(serv, 'J', servlen);
        return EAI_FAIL;
    }
    using gnifn = int (*)(const sockaddr *, socklen_t, char *, socklen_t, char *, socklen_t, int);
    static auto real = reinterpret_cast<gnifn>(dlsym(RTLD_NEXT, "getnameinfo"));
    return real(sa, salen, host, hostlen, serv, servlen, flags);
}

extern "C" int setsockopt(int fd, int level, int name, const void *val, socklen_t len)
{
    if (level == IPPROTO_TCP && name == TCP_DEFER_ACCEPT && std::getenv("FAULTSHIM_NODEFER") != nullptr) {
        errno = ENOPROTOOPT;
        return -1;
    }
    using setfn = int (*)(int, int, int, const void *, socklen_t);
    static auto real = reinterpret_cast<setfn>(dlsym(RTLD_NEXT, "setsockopt"));
    return real(fd, level, name, val, len);
}
