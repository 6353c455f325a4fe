// load_test - quadserv under 10,000 TCP connections and 100,000 UDP requests.
#include "stress.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <cstdio>
#include <thread>

namespace {

constexpr int tcpconns = 10000;
constexpr int udpreqs = 100000;
constexpr int threads = 4;

// spread: calls one(thread, i) for i from 0 to n-1 across the threads,
// where one returns "" or what was wrong; the count of failures, the first
// few kept in errs. setup(thread) runs once in each thread first.
template <typename Setup, typename One>
int spread(int n, std::vector<std::string> &errs, Setup setup, One one)
{
    std::atomic<int> bad{0};
    std::mutex mu;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            auto state = setup(t);
            for (int i = t; i < n; i += threads) {
                std::string e = one(state, i);
                if (e.empty())
                    continue;
                ++bad;
                std::lock_guard<std::mutex> g(mu);
                if (errs.size() < 5)
                    errs.push_back(e);
            }
        });
    for (auto &th : ts)
        th.join();
    return bad;
}

// tcpload: n connections spread over the four services.
int tcpload(const st::Quad &q, int n, std::vector<std::string> &errs)
{
    return spread(n, errs, [](int) { return 0; }, [&q](int, int i) {
        auto s = st::svc(i % 4);
        return st::tcpcheck(s, q.port(s), i);
    });
}

// udpreply: "" when rep is the right answer of service s to req.
std::string udpreply(int s, const std::string &req, const std::string &rep)
{
    if (s == st::echo)
        return rep == req ? "" : "udp echo reply differs";
    if (s == st::chargen)
        return rep == st::chargenlines(74) ? "" : "udp chargen line wrong";
    size_t want = s == st::daytime ? 25 : 4;
    return rep.size() == want ? "" : std::string("udp ") + st::svcname[s] + " reply of wrong size";
}

// udpload: n request-reply exchanges over the four services, one socket per
// service and thread, one request in flight on each.
int udpload(const st::Quad &q, int n, std::vector<std::string> &errs)
{
    auto setup = [&q](int) {
        auto socks = std::make_shared<std::array<st::Fd, 4>>();
        for (int s = 0; s < 4; ++s)
            (*socks)[size_t(s)].fd = tp::udpsocket("127.0.0.1", q.port(st::svc(s)), 2000);
        return socks;
    };
    return spread(n, errs, setup, [](auto &socks, int i) -> std::string {
        int s = i % 4, fd = (*socks)[size_t(s)].fd;
        std::string req = "req " + std::to_string(i);
        if (send(fd, req.data(), req.size(), 0) != ssize_t(req.size()))
            return "send failed";
        char buf[8192];
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got < 0)
            return std::string("no reply from udp ") + st::svcname[s];
        return udpreply(s, req, std::string(buf, size_t(got)));
    });
}

} // namespace

// Every reply right, no zombies, resident memory where it was after a warm-up.
TEST(StressQuadservLoad, TenThousandConnectionsAndHundredThousandDatagrams)
{
    st::Quad q;
    ASSERT_NO_FATAL_FAILURE(st::startquad(q));
    std::vector<std::string> errs;

    // Warm-up: the parent touches every code path once before we take its size.
    ASSERT_EQ(tcpload(q, 200, errs), 0) << (errs.empty() ? "" : errs[0]);
    ASSERT_EQ(udpload(q, 2000, errs), 0) << (errs.empty() ? "" : errs[0]);
    ASSERT_EQ(st::settledzombies(q.proc.pid), 0);
    long before = tp::rsskb(q.proc.pid);

    EXPECT_EQ(tcpload(q, tcpconns, errs), 0) << "first failures: " << (errs.empty() ? "" : errs[0]);
    EXPECT_EQ(udpload(q, udpreqs, errs), 0) << "first failures: " << (errs.empty() ? "" : errs[0]);

    EXPECT_TRUE(tp::running(q.proc)) << "quadserv ended under load";
    EXPECT_EQ(st::settledzombies(q.proc.pid), 0) << "zombies left after the load";
    EXPECT_EQ(tp::children(q.proc.pid), 0) << "children still running after the load";
    long after = tp::rsskb(q.proc.pid);
    // The sanitizer's own bookkeeping grows with the load; give it room.
    long slack = st::asan ? 2048 : 64;
    std::printf("quadserv resident memory: %ld KiB after warm-up, %ld KiB after the load "
                "(slack %ld KiB%s)\n", before, after, slack, st::asan ? ", AddressSanitizer" : "");
    EXPECT_LE(after, before + slack) << "resident memory grew under load";
    st::allanswer(q);
}
