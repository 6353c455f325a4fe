// faultshim - preloaded into a server to fail, on demand, what a healthy kernel
// on loopback does not:
//   FAULTSHIM_ACCEPT=103,71  the first accepts fail with these errno values
//   FAULTSHIM_GETNAMEINFO=1  every getnameinfo fails (EAI_FAIL)
//   FAULTSHIM_NODEFER=1      deferred accept is refused, as where the platform lacks it
//   FAULTSHIM_WRITECAP=3     each write to a stream socket takes 3 bytes at the most
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

// next: the call the shim stands in front of, as the C library has it.
template <typename F> F *next(F &, const char *name)
{
    return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

extern "C" int accept(int fd, sockaddr *sa, socklen_t *len)
{
    static int calls = 0;
    const char *plan = std::getenv("FAULTSHIM_ACCEPT");
    int n = calls++;
    for (const char *p = plan; p != nullptr && *p != '\0'; --n) {
        char *end;
        long e = std::strtol(p, &end, 10);
        if (end == p)
            break;
        if (n == 0) {
            // A kernel fails an accept for a connection that is there: the
            // failure meets the server once a client has come.
            pollfd pfd = {.fd = fd, .events = POLLIN, .revents = 0};
            poll(&pfd, 1, -1);
            errno = int(e);
            return -1;
        }
        p = *end == ',' ? end + 1 : end;
    }
    static auto real = next(accept, "accept");
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
    static auto real = next(getnameinfo, "getnameinfo");
    return real(sa, salen, host, hostlen, serv, servlen, flags);
}

extern "C" int setsockopt(int fd, int level, int name, const void *val, socklen_t len)
{
    if (level == IPPROTO_TCP && name == TCP_DEFER_ACCEPT && std::getenv("FAULTSHIM_NODEFER") != nullptr) {
        errno = ENOPROTOOPT;
        return -1;
    }
    static auto real = next(setsockopt, "setsockopt");
    return real(fd, level, name, val, len);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    static auto real = next(write, "write");
    static const char *cap = std::getenv("FAULTSHIM_WRITECAP");
    int type = 0;
    socklen_t len = sizeof type;
    if (cap != nullptr && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM)
        n = std::min(n, size_t(std::strtoul(cap, nullptr, 10)));
    return real(fd, buf, n);
}
