// greetlocal - prints the greeting without any network.
#include <err.h>

#include <cstdio>

// Prints the greeting; with any argument, a usage report instead. Both end
// with status 0: a wrong call here is not a failure.
int main(int argc, char *argv[])
{
    // argc is 0 only when started with an empty argument vector: nothing was
    // asked for, and there is no argv[0] to name.
    if (argc <= 1) {
        puts("Hello World!");
        return 0;
    }
    errx(0, "usage: %s\n", argv[0]);
}
