#include "base/fatal.h"

#include <cstdio>
#include <cstdlib>

void fatal_check_failed(const char* cond, const char* file, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", cond, file, line);
    std::fflush(stderr);
    std::abort();
}
