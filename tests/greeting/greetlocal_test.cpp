// greetlocal: the greeting, or a usage report with status 0.
#include "testproc.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string prog = tp::bin("greetlocal");

// No argument gives the greeting; any argument the usage with status 0,
// naming the program as invoked, errx's prefix the name's last part.
TEST(GreetLocal, GreetsOrGivesTheUsageUnderTheNameInvoked)
{
    const std::string dir = prog.substr(0, prog.rfind('/'));
    struct {
        std::vector<std::string> argv;
        std::string out, err;
    } cases[] = {
        {{prog}, "Hello World!\n", ""},
        {{prog, "x"}, "", "greetlocal: usage: " + prog + "\n\n"},
        {{prog, ""}, "", "greetlocal: usage: " + prog + "\n\n"},
        {{prog, "a", "b", "c"}, "", "greetlocal: usage: " + prog + "\n\n"},
        {{prog, "-h"}, "", "greetlocal: usage: " + prog + "\n\n"},
        {{"./greetlocal", "x"}, "", "greetlocal: usage: ./greetlocal\n\n"},
        {{"bash", "-c", "exec -a some/where/hello \"$0\" x", prog}, "", "hello: usage: some/where/hello\n\n"},
    };
    tp::SpawnOpts o;
    o.workdir = dir;
    for (const auto &c : cases)
        EXPECT_EQ(tp::outcome(tp::run(c.argv, "", o)), tp::outcome(0, c.out, c.err)) << c.argv.back();
}

TEST(GreetLocal, EmptyArgumentVectorIsNoArgument)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        char *none[] = {nullptr};
        execve(prog.c_str(), none, none);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(out[1]);
    tp::Fd got(out[0]);
    EXPECT_EQ(tp::readall(got, 5000), "Hello World!\n");
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(tp::exitcode(st), 0);
}

} // namespace
