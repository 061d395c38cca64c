// The packet header reader: a fixed main header (chosen among variants by
// the first two input bytes: progression, layers, levels, precincts, SOP and
// EPH markers, code-block style) and one tile-part whose packet data are
// the rest of the input.
#include "fuzz_util.h"
#include "base/image.h"
#include "decoder/jpdec.h"

#include <vector>

namespace {

void put16(std::vector<uint8_t>& v, unsigned x)
{
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}

void put32(std::vector<uint8_t>& v, uint32_t x)
{
    put16(v, x >> 16);
    put16(v, x & 0xffff);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const unsigned a = data[0], b = data[1];
    const int prg = a % 5;
    const int sopeph = (a >> 3) & 3;          // Scod bits 1 and 2
    const int prcs = (a >> 5) & 1;            // precinct sizes given
    const int numcomps = (a >> 6) & 1 ? 3 : 1;
    const int numlyrs = 1 + (b & 3);
    const int numdlvls = (b >> 2) & 3;
    const int cblksty = (b >> 4) & 0x0f;      // bypass, reset, termall, vsc
    const uint32_t width = 37, height = 29;   // odd sizes: partial blocks

    std::vector<uint8_t> cs;
    put16(cs, 0xff4f);  // SOC
    put16(cs, 0xff51);  // SIZ
    put16(cs, 38 + 3 * numcomps);
    put16(cs, 0);
    put32(cs, width);
    put32(cs, height);
    put32(cs, 0);
    put32(cs, 0);
    put32(cs, width);
    put32(cs, height);
    put32(cs, 0);
    put32(cs, 0);
    put16(cs, numcomps);
    for (int k = 0; k < numcomps; ++k) {
        cs.push_back(7);  // 8-bit unsigned
        cs.push_back(1);
        cs.push_back(1);
    }
    put16(cs, 0xff52);  // COD
    put16(cs, 12 + (prcs ? numdlvls + 1 : 0));
    cs.push_back(uint8_t(prcs | sopeph << 1));
    cs.push_back(uint8_t(prg));
    put16(cs, numlyrs);
    cs.push_back(numcomps == 3 ? 1 : 0);
    cs.push_back(uint8_t(numdlvls));
    cs.push_back(2);  // 16 x 16 code blocks
    cs.push_back(2);
    cs.push_back(uint8_t(cblksty));
    cs.push_back(1);  // 5/3
    for (int r = 0; prcs && r <= numdlvls; ++r)
        cs.push_back(r == 0 ? 0x33 : 0x44);  // 8x8 at level 0, 16x16 above
    const int numbands = 3 * numdlvls + 1;
    put16(cs, 0xff5c);  // QCD
    put16(cs, 3 + numbands);
    cs.push_back(2 << 5);  // two guard bits, no quantization
    for (int i = 0; i < numbands; ++i)
        cs.push_back(uint8_t((9 + (i > 0) + (i > 3 * numdlvls - 3 && i > 0)) << 3));
    put16(cs, 0xff90);  // SOT
    put16(cs, 10);
    put16(cs, 0);
    put32(cs, 0);  // up to EOC
    cs.push_back(0);
    cs.push_back(1);
    put16(cs, 0xff93);  // SOD
    cs.insert(cs.end(), data + 2, data + size);
    put16(cs, 0xffd9);  // EOC

    stream_t* in = fuzz_memstream(cs.data(), cs.size());
    if (!in)
        return 0;
    int status = 0;
    image_t* image = jpdec_decode_status(in, "", nullptr, &status);
    image_destroy(image);
    stream_close(in);
    return 0;
}
