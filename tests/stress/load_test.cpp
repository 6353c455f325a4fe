// load_test - quadserv under 10,000 TCP connections and 100,000 UDP requests.
#include "stress.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <thread>

namespace {

constexpr int tcpconns = 10000;
constexpr int udpreqs = 100000;
constexpr int threads = 4;

// tcpload: n connections spread over the four services from threads; the
// first few failures are kept in errs.
int tcpload(const st::Quad &q, int n, std::vector<std::string> &errs)
{
    std::atomic<int> bad{0};
    std::mutex mu;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            for (int i = t; i < n; i += threads) {
                auto s = st::svc(i % 4);
                std::string e = st::tcpcheck(s, q.port(s), i);
                if (!e.empty()) {
                    ++bad;
                    std::lock_guard<std::mutex> g(mu);
                    if (errs.size() < 5)
                        errs.push_back(e);
                }
            }
        });
    for (auto &th : ts)
        th.join();
    return bad;
}

// udpload: n request-reply exchanges over the four services, one socket per
// service and thread, one request in flight on each; the wrong or missing replies.
int udpload(const st::Quad &q, int n, std::vector<std::string> &errs)
{
    std::atomic<int> bad{0};
    std::mutex mu;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            st::Fd socks[4];
            for (int s = 0; s < 4; ++s)
                socks[s].fd = tp::udpsocket("127.0.0.1", q.port(st::svc(s)), 2000);
            std::string chargen = st::chargenlines(74);
            char buf[8192];
            for (int i = t; i < n; i += threads) {
                int s = i % 4;
                std::string req = "req " + std::to_string(i);
                std::string e;
                if (send(socks[s].fd, req.data(), req.size(), 0) != ssize_t(req.size())) {
                    e = "send failed";
                } else {
                    ssize_t got = recv(socks[s].fd, buf, sizeof buf, 0);
                    std::string rep = got >= 0 ? std::string(buf, size_t(got)) : "";
                    if (got < 0)
                        e = std::string("no reply from udp ") + st::svcname[s];
                    else if (s == st::echo && rep != req)
                        e = "udp echo reply differs";
                    else if (s == st::chargen && rep != chargen)
                        e = "udp chargen line wrong";
                    else if ((s == st::daytime && rep.size() != 25) || (s == st::timesvc && rep.size() != 4))
                        e = std::string("udp ") + st::svcname[s] + " reply of wrong size";
                }
                if (!e.empty()) {
                    ++bad;
                    std::lock_guard<std::mutex> g(mu);
                    if (errs.size() < 5)
                        errs.push_back(e);
                }
            }
        });
    for (auto &th : ts)
        th.join();
    return bad;
}

} // namespace

// Every reply right, no zombies, resident memory where it was after a warm-up.
TEST(QuadservLoad, TenThousandConnectionsAndHundredThousandDatagrams)
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
