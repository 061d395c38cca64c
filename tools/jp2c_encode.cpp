#include "jp2c.h"

#include <cstdio>

int jp2c_encode(int, char**)
{
    std::fputs("jp2c: encode is not available yet\n", stderr);
    return 1;
}
