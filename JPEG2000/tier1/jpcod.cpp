// Tier-1 coding tables and pass rules (T.800 Annex D).
#include "tier1/jpcod.h"

#include <algorithm>
#include <cmath>

#include "base/fatal.h"

const mqctx_t jpc_ctxinits[JPC_NUMCTXS] = {
    {0, 3},                                                  // run-length
    {0, 4},                                                  // zero coding, no neighbours
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0},  // zero coding
    {0, 0}, {0, 0}, {0, 0},                                  // refinement
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0},                  // sign
    {0, 46},                                                 // uniform
};

uint8_t jpc_zcctxnos[4][256];
uint8_t jpc_spb[256];
uint8_t jpc_scctxnos[256];

int32_t jpc_signmsedec[JPC_NMSEDEC_SIZE];
int32_t jpc_signmsedec0[JPC_NMSEDEC_SIZE];
int32_t jpc_refnmsedec[JPC_NMSEDEC_SIZE];
int32_t jpc_refnmsedec0[JPC_NMSEDEC_SIZE];

namespace {

constexpr int kOrientLL = 0;
constexpr int kOrientLH = 1;
constexpr int kOrientHL = 2;
constexpr int kOrientHH = 3;

// Table D.1: label 0..8 from the counts of significant horizontal (h),
// vertical (v) and diagonal (d) neighbours.
int zclabel(int orient, int h, int v, int d)
{
    if (orient == kOrientHL)
        std::swap(h, v);
    if (orient != kOrientHH) {
        if (h == 2)
            return 8;
        if (h == 1)
            return v >= 1 ? 7 : (d >= 1 ? 6 : 5);
        if (v == 2)
            return 4;
        if (v == 1)
            return 3;
        return d >= 2 ? 2 : d;
    }
    const int hv = h + v;
    if (d >= 3)
        return 8;
    if (d == 2)
        return hv >= 1 ? 7 : 6;
    if (d == 1)
        return hv >= 2 ? 5 : (hv == 1 ? 4 : 3);
    return hv >= 2 ? 2 : hv;
}

int zcctxno(int f, int orient)
{
    const int h = ((f & JPC_ESIG) != 0) + ((f & JPC_WSIG) != 0);
    const int v = ((f & JPC_NSIG) != 0) + ((f & JPC_SSIG) != 0);
    const int d = ((f & JPC_NESIG) != 0) + ((f & JPC_SESIG) != 0) +
                  ((f & JPC_SWSIG) != 0) + ((f & JPC_NWSIG) != 0);
    const int n = zclabel(orient, h, v, d);
    FATAL_CHECK(n < JPC_NUMZCCTXS);
    return JPC_ZCCTXNO + n;
}

// Contribution of one neighbour pair to the sign context: +1 positive,
// -1 negative, 0 insignificant, summed and clamped to -1..1.
int signcontrib(int f, uint32_t sig1, uint32_t sgn1, uint32_t sig2, uint32_t sgn2)
{
    int c = 0;
    if (f & sig1)
        c += (f & sgn1) ? -1 : 1;
    if (f & sig2)
        c += (f & sgn2) ? -1 : 1;
    return std::clamp(c, -1, 1);
}

// Table D.3: XOR bit and context for flag bits 4..11 given as f.
void scinfo(int f, int* spb, int* ctxno)
{
    const int hc = signcontrib(f, JPC_ESIG, JPC_ESGN, JPC_WSIG, JPC_WSGN);
    const int vc = signcontrib(f, JPC_NSIG, JPC_NSGN, JPC_SSIG, JPC_SSGN);
    FATAL_CHECK(hc >= -1 && hc <= 1 && vc >= -1 && vc <= 1);
    // Rows: hc = 1, 0, -1; columns: vc = 1, 0, -1.
    static const int labels[3][3] = {{13, 12, 11}, {10, 9, 10}, {11, 12, 13}};
    static const int xorbits[3][3] = {{0, 0, 0}, {0, 0, 1}, {1, 1, 1}};
    const int n = labels[1 - hc][1 - vc] - 9;
    FATAL_CHECK(n < JPC_NUMSCCTXS);
    *spb = xorbits[1 - hc][1 - vc];
    *ctxno = JPC_SCCTXNO + n;
}

// q(v): v rounded to 1/64, as fixed14 truncated toward zero.
int32_t nmsedec_q(double v)
{
    return static_cast<int32_t>(std::floor(64.0 * v + 0.5) / 64.0 * 16384.0);
}

// Tables built once when the library is loaded, so that they are ready
// even before the first coder entry.
struct tables_at_start {
    tables_at_start() { jpc_inittables(); }
} const build_tables_at_start;

}  // namespace

void jpc_inittables()
{
    for (int orient = kOrientLL; orient <= kOrientHH; ++orient)
        for (int f = 0; f < 256; ++f)
            jpc_zcctxnos[orient][f] = static_cast<uint8_t>(zcctxno(f, orient));

    for (int i = 0; i < 256; ++i) {
        int spb, ctxno;
        scinfo(i << 4, &spb, &ctxno);
        jpc_spb[i] = static_cast<uint8_t>(spb);
        jpc_scctxnos[i] = static_cast<uint8_t>(ctxno);
    }

    for (int i = 0; i < JPC_NMSEDEC_SIZE; ++i) {
        const double u = i / 64.0;
        const double a = static_cast<float>(u - 1.5);
        const double b = static_cast<float>(u - 0.5);
        const double c = static_cast<float>(u - 1.0);
        jpc_signmsedec[i] = nmsedec_q(u * u - a * a);
        jpc_signmsedec0[i] = nmsedec_q(u * u);
        jpc_refnmsedec[i] = i >= 64 ? nmsedec_q(c * c - a * a) : nmsedec_q(c * c - b * b);
        jpc_refnmsedec0[i] = nmsedec_q(c * c);
    }
}

int jpc_segtype(int passno, int lazy)
{
    if (lazy && passno >= 10 && jpc_passtype(passno) != JPC_CLNPASS)
        return SEG_RAW;
    return SEG_MQ;
}

int jpc_segpasscnt(int passno, int numpasses, int lazy, int termall)
{
    int n;
    if (termall)
        n = 1;
    else if (!lazy)
        n = JPC_MAXPASSES;
    else if (passno < 10)
        n = 10 - passno;
    else
        n = jpc_passtype(passno) == JPC_SIGPASS ? 2 : 1;
    return std::min(n, numpasses - passno);
}

int jpc_isterminated(int passno, int numpasses, int lazy, int termall)
{
    return passno == numpasses - 1 || jpc_segpasscnt(passno, numpasses, lazy, termall) < 2;
}

int jpc_noms_gain(int qmfbid, int numlvls, int lvlno, int orient)
{
    (void)numlvls;
    (void)lvlno;
    if (qmfbid != 1)
        return 0;
    switch (orient) {
    case kOrientLH:
    case kOrientHL:
        return 1;
    case kOrientHH:
        return 2;
    default:
        return 0;
    }
}
