// testmain - GoogleTest entry point shared by every test program.
#include <gtest/gtest.h>

#include <signal.h>

int main(int argc, char **argv)
{
    // A server that closes early must fail the test, not kill it with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
