// satop_test - libportkit's address texts: the form of each family, the
// refusals, and the bounds of the caller's buffer at every length.
#include "portkit.h"
#include "testnet.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

// A row is an address (or a null argument) and its text, or the errno of
// the refusal, which leaves the buffer as it was.
TEST(Satop, EachFamilyGivesItsFormOrARefusal)
{
    struct {
        tp::Addr a;
        bool nullsa, nullbuf;
        const char *text;
        int err;
    } cases[] = {
        {tp::addr("127.0.0.1", 40000), false, false, "127.0.0.1:40000", 0},
        {tp::addr("0.0.0.0", 0), false, false, "0.0.0.0:0", 0},
        {tp::addr("::1", 40000), false, false, "[::1]:40000", 0},
        {tp::addr("fe80::1:2", 65535), false, false, "[fe80::1:2]:65535", 0},
        // A client of a dual-stack socket reads as the IPv4 address it is.
        {tp::addr("::ffff:127.0.0.1", 40000), false, false, "127.0.0.1:40000", 0},
        // A family satop has no form for.
        {[] { tp::Addr a; a.ss.ss_family = AF_UNIX; return a; }(), false, false, nullptr, EAFNOSUPPORT},
        {tp::addr("::1", 1), true, false, nullptr, EINVAL},
        {tp::addr("::1", 1), false, true, nullptr, EINVAL},
    };
    for (const auto &c : cases) {
        char buf[128] = "untouched";
        errno = 0;
        const char *p = satop(c.nullsa ? nullptr : c.a.sa(), c.nullbuf ? nullptr : buf, sizeof buf);
        if (c.text != nullptr) {
            EXPECT_EQ(p, buf) << c.text;
            EXPECT_STREQ(buf, c.text);
        } else {
            EXPECT_EQ(p, nullptr) << c.err;
            EXPECT_EQ(errno, c.err);
            EXPECT_STREQ(buf, "untouched");
        }
    }
}

// Each length from none to one past the text: the text with its end where
// it fits, else ENOSPC and the buffer as it was; never a byte past the length.
TEST(Satop, EveryBufferLengthNeverOverruns)
{
    const tp::Addr addrs[] = {tp::addr("255.255.255.255", 65535),
                              tp::addr("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535),
                              tp::addr("::ffff:10.1.2.3", 1)};
    for (const auto &a : addrs) {
        char fullbuf[128];
        ASSERT_NE(satop(a.sa(), fullbuf, sizeof fullbuf), nullptr);
        std::string full = fullbuf;
        for (socklen_t len = 0; len <= full.size() + 1; ++len) {
            char buf[160];
            std::memset(buf, '#', sizeof buf);
            errno = 0;
            const char *p = satop(a.sa(), buf, len);
            if (len > full.size()) {
                EXPECT_EQ(p, buf);
                EXPECT_EQ(std::string(buf), full);
            } else {
                EXPECT_EQ(p, nullptr) << full << " in " << len;
                EXPECT_EQ(errno, ENOSPC);
            }
            for (size_t i = p != nullptr ? len : 0; i < sizeof buf; ++i)
                ASSERT_EQ(buf[i], '#') << "wrote byte " << i << " of " << len;
        }
    }
}
