// A program that installs the crash handler and then fails the way its argument says.
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "crashdump.h"

namespace
{
#pragma GCC diagnostic ignored "-Winfinite-recursion"
    int recurse(volatile int *depth)
    {
        volatile char pad[4096];
        pad[0] = char(*depth);
        ++*depth;
        return recurse(depth) + pad[0];
    }
}

int main(int argc, char **argv)
{
    platform::installCrashHandler("2.03", 20211213);
    const char *how = argc > 1 ? argv[1] : "";
    if (!std::strcmp(how, "segv"))
        *static_cast<volatile int *>(nullptr) = 1;
    else if (!std::strcmp(how, "fpe"))
    {
        volatile int one = 1, zero = 0;
        volatile int quotient = one / zero;
        return quotient;
    }
    else if (!std::strcmp(how, "abort"))
        std::abort();
    else if (!std::strcmp(how, "terminate"))
        throw std::runtime_error("nobody catches this");
    else if (!std::strcmp(how, "overflow"))
    {
        volatile int depth = 0;
        return recurse(&depth);
    }
    else if (!std::strcmp(how, "thread"))
    {
        std::thread t([] { *static_cast<volatile int *>(nullptr) = 2; });
        t.join();
    }
    return 0;
}
