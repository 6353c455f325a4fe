// load_test - quadserv under 10,000 TCP connections and 100,000 UDP requests
// (a tenth under AddressSanitizer), from many clients at once.
#include "quadcheck.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr int threads = 4;
// UDP comes from many client sockets, each asking one request at a time and
// at most 250 a second, as real clients do: quadserv answers one peer no
// more than 1,000 times a second.
constexpr int socketsperthread = 64;
constexpr auto spacing = std::chrono::microseconds(4000);
// A slow machine does less of the volume in the time given; it never fails
// for being slow. Under AddressSanitizer, which looks for faults in memory,
// not for the limits of the volume, and where every fork and exchange costs
// several times more, a tenth of the volume in a tenth of the time.
constexpr long tcpms = 120000, udpms = 90000, warmms = 20000;
#if defined(__SANITIZE_ADDRESS__)
constexpr int slow = 10;
#else
constexpr int slow = 1;
#endif

// Tally: requests done and failed across the threads, the first failure kept.
struct Tally {
    std::mutex mu;
    int done = 0, bad = 0;
    std::string first;
    void add(const std::string &err)
    {
        std::lock_guard g(mu);
        ++done;
        if (!err.empty() && bad++ == 0)
            first = err;
    }
};

// spread: runs body(t) on each of the threads and waits for them all.
template <typename Body> void spread(Body body)
{
    std::vector<std::jthread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back(body, t);
}

// tcpload: up to n connections spread over the four services, for ms at
// most, from 16 addresses in turn: children that take their time to end (a
// sanitizer's exit) must not add up to one address's share of 64.
void tcpload(const tp::Quad &q, int n, long ms, Tally &tally)
{
    long deadline = monotonicms() + ms;
    spread([&](int t) {
        for (int i = t; i < n && monotonicms() < deadline; i += threads) {
            auto s = tp::svc(i % 4);
            tally.add(tp::tcpcheck(s, q.port(s), i, "127.0.0.1", "127.0.0." + std::to_string(2 + i % 16)));
        }
    });
}

// udpload: up to n request-reply exchanges over the four services, for ms at
// most; each thread takes its sockets in turn, so each is paced.
void udpload(const tp::Quad &q, int n, long ms, Tally &tally)
{
    long deadline = monotonicms() + ms;
    spread([&](int t) {
        struct Client {
            tp::Fd fd;
            tp::svc s;
            std::chrono::steady_clock::time_point next;
        };
        std::vector<Client> clients;
        for (int k = 0; k < socketsperthread; ++k) {
            auto s = tp::svc(k % 4);
            clients.push_back({tp::Fd(tp::udpsocket("127.0.0.1", q.port(s), 2000)), s, {}});
        }
        for (int i = t, k = 0; i < n && monotonicms() < deadline; i += threads) {
            Client &c = clients[size_t(k)];
            k = (k + 1) % socketsperthread;
            std::this_thread::sleep_until(c.next);
            c.next = std::chrono::steady_clock::now() + spacing;
            std::string req = "req " + std::to_string(i);
            bool sent = send(c.fd, req.data(), req.size(), 0) == ssize_t(req.size());
            auto rep = sent ? tp::recvone(c.fd, 2000) : std::nullopt;
            tally.add(rep ? tp::replycheck(c.s, req, *rep)
                          : (sent ? "no reply from udp " : "send failed to udp ") +
                                std::string(tp::svcname(c.s)));
        }
    });
}

} // namespace

// Every reply right, no zombies, resident memory where it was after a warm-up.
TEST(StressQuadservLoad, TenThousandConnectionsAndHundredThousandDatagrams)
{
    tp::Quad q = tp::startquad();
    ASSERT_TRUE(tp::running(q.proc));

    // Warm-up: the parent touches every code path once before we take its size.
    Tally warm;
    tcpload(q, 200, warmms / slow, warm);
    udpload(q, 2000, warmms / slow, warm);
    ASSERT_EQ(warm.bad, 0) << warm.first;
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, 0));
    long before = tp::procinfo(q.proc.pid).rsskb;

    Tally tcp, udp;
    const int tcpconns = 10000 / slow, udpreqs = 100000 / slow;
    long t0 = monotonicms();
    tcpload(q, tcpconns, tcpms / slow, tcp);
    long t1 = monotonicms();
    udpload(q, udpreqs, udpms / slow, udp);
    long t2 = monotonicms();
    std::printf("%d of %d connections in %ld ms, %d of %d datagrams in %ld ms\n", tcp.done,
                tcpconns, t1 - t0, udp.done, udpreqs, t2 - t1);
    EXPECT_EQ(tcp.bad, 0) << "first failure: " << tcp.first;
    EXPECT_EQ(udp.bad, 0) << "first failure: " << udp.first;

    EXPECT_TRUE(tp::running(q.proc)) << "quadserv ended under load";
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0))
        << tp::children(q.proc.pid) << " children, " << tp::zombies(q.proc.pid) << " zombies left";
    long after = tp::procinfo(q.proc.pid).rsskb;
    // The sanitizer's own bookkeeping grows with the load; give it room.
    long slack = slow > 1 ? 2048 : 64;
    std::printf("quadserv resident memory: %ld KiB after warm-up, %ld KiB after the load\n", before,
                after);
    EXPECT_LE(after, before + slack) << "resident memory grew under load";
    EXPECT_EQ(tp::allanswer(q), "");
}
