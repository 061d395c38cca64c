// Tier-1 decoder (T.800 Annex D).
#include "t1dec.h"

#include <cstdio>

int t1dec_decodecblk(const dec_ccp_t*, const dec_band_t*, dec_cblk_t*, int, int)
{
    fputs("tier-1 decoding is not available yet\n", stderr);
    return -1;
}

int t1dec_decodetile(dec_t*, dec_tile_t*)
{
    fputs("tier-1 decoding is not available yet\n", stderr);
    return -1;
}
