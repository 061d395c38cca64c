// The neighbourhood of the HT SigProp pass (T.814), shared by the HT block
// encoder and decoder.  Significance is kept one byte per stripe column,
// rows 0-3 as bits 0-3.
#ifndef JPEG2000_HTREF_H
#define JPEG2000_HTREF_H

#include <cstdint>

// The rows of stripe column x (bits 0-3) that have a significant
// neighbour: c holds the stripe's significance after the cleanup pass, n
// what SigProp made significant in it so far (columns before x), ca and na
// the same of the stripe above (its bottom row counts), cbelow the cleanup
// significance of the stripe below (its top row counts).  ca, na and
// cbelow are nullptr where there is no such stripe or it does not count.
inline unsigned ht_spneighbours(const uint8_t* c, const uint8_t* n, const uint8_t* ca,
                                const uint8_t* na, const uint8_t* cbelow, int x)
{
    const unsigned side = c[x - 1] | n[x - 1] | c[x + 1];
    unsigned nb = side | (side << 1) | (side >> 1) | (c[x] << 1) | (c[x] >> 1);
    if (ca)
        nb |= ((ca[x - 1] | na[x - 1] | ca[x] | na[x] | ca[x + 1] | na[x + 1]) >> 3) & 1;
    if (cbelow)
        nb |= ((cbelow[x - 1] | cbelow[x] | cbelow[x + 1]) & 1) << 3;
    return nb;
}

#endif
