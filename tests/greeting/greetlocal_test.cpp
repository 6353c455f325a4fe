// greetlocal: the greeting, or a usage report with status 0.
#include "testproc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

const std::string prog = tp::bin("greetlocal");

TEST(GreetLocal, WithoutArgumentsPrintsTheGreeting)
{
    EXPECT_EQ(tp::outcome(tp::run({prog})), tp::outcome(0, "Hello World!\n", ""));
}

TEST(GreetLocal, AnyArgumentGivesTheUsageWithStatusZero)
{
    for (auto args : std::vector<std::vector<std::string>>{{"x"}, {""}, {"a", "b", "c"}, {"-h"}}) {
        std::vector<std::string> argv = {prog};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(tp::outcome(tp::run(argv)), tp::outcome(0, "", "greetlocal: usage: " + prog + "\n\n"))
            << args.size() << " arguments";
    }
}

TEST(GreetLocal, UsageNamesTheProgramAsInvoked)
{
    tp::SpawnOpts o;
    o.workdir = prog.substr(0, prog.rfind('/'));
    EXPECT_EQ(tp::outcome(tp::run({"./greetlocal", "x"}, "", o)),
              tp::outcome(0, "", "greetlocal: usage: ./greetlocal\n\n"));
    // A name other than the file's: errx's prefix is its last part.
    EXPECT_EQ(tp::outcome(tp::run({"bash", "-c", "exec -a some/where/hello \"$0\" x", prog})),
              tp::outcome(0, "", "hello: usage: some/where/hello\n\n"));
}

TEST(GreetLocal, EmptyArgumentVectorIsNoArgument)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        char *noargs[] = {nullptr};
        char *noenv[] = {nullptr};
        execve(prog.c_str(), noargs, noenv);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(out[1]);
    std::string got = tp::readall(out[0], 5000);
    close(out[0]);
    EXPECT_EQ(got, "Hello World!\n");
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(tp::exitcode(st), 0);
}

} // namespace
