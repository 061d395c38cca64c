#include "jp2c.h"

#include <cstdio>

int jp2c_decode(int, char**)
{
    std::fputs("jp2c: decode is not available yet\n", stderr);
    return 1;
}
