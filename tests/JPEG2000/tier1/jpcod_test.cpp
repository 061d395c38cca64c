// Tier-1 context tables and pass rules, checked against values worked out by
// hand from T.800 Annex D (Tables D.1 to D.4 and D.7).
#include <gtest/gtest.h>

#include "tier1/jpcod.h"
#include "tier1/t1col.h"

namespace {

constexpr int LL = 0, LH = 1, HL = 2, HH = 3;

int zc(int orient, uint32_t f)
{
    jpc_inittables();
    return jpc_getzcctxno(f, orient);
}

TEST(JpcodTest, ZeroCodingContextsOfLowAndVerticalHighBands)
{
    // Table D.1, first column (LL and LH): label + 1.
    for (int orient : {LL, LH}) {
        SCOPED_TRACE(orient);
        EXPECT_EQ(zc(orient, 0), 1);
        EXPECT_EQ(zc(orient, JPC_NESIG), 2);
        EXPECT_EQ(zc(orient, JPC_NESIG | JPC_SWSIG), 3);
        EXPECT_EQ(zc(orient, JPC_NESIG | JPC_SWSIG | JPC_NWSIG | JPC_SESIG), 3);
        EXPECT_EQ(zc(orient, JPC_NSIG), 4);
        EXPECT_EQ(zc(orient, JPC_NSIG | JPC_NWSIG), 4);
        EXPECT_EQ(zc(orient, JPC_NSIG | JPC_SSIG), 5);
        EXPECT_EQ(zc(orient, JPC_WSIG), 6);
        EXPECT_EQ(zc(orient, JPC_ESIG | JPC_SESIG), 7);
        EXPECT_EQ(zc(orient, JPC_ESIG | JPC_SSIG | JPC_SESIG), 8);
        EXPECT_EQ(zc(orient, JPC_ESIG | JPC_WSIG), 9);
        EXPECT_EQ(zc(orient, 0xff), 9);
    }
}

TEST(JpcodTest, ZeroCodingContextsSwapDirectionsForHorizontalHighBand)
{
    EXPECT_EQ(zc(HL, JPC_ESIG), 4);
    EXPECT_EQ(zc(HL, JPC_ESIG | JPC_WSIG), 5);
    EXPECT_EQ(zc(HL, JPC_NSIG), 6);
    EXPECT_EQ(zc(HL, JPC_SSIG | JPC_NESIG), 7);
    EXPECT_EQ(zc(HL, JPC_SSIG | JPC_WSIG), 8);
    EXPECT_EQ(zc(HL, JPC_NSIG | JPC_SSIG), 9);
    EXPECT_EQ(zc(HL, JPC_SWSIG | JPC_NWSIG), 3);
}

TEST(JpcodTest, ZeroCodingContextsOfDiagonalBandCountDiagonalsFirst)
{
    EXPECT_EQ(zc(HH, 0), 1);
    EXPECT_EQ(zc(HH, JPC_NSIG), 2);
    EXPECT_EQ(zc(HH, JPC_NSIG | JPC_ESIG), 3);
    EXPECT_EQ(zc(HH, JPC_NESIG), 4);
    EXPECT_EQ(zc(HH, JPC_NESIG | JPC_WSIG), 5);
    EXPECT_EQ(zc(HH, JPC_NESIG | JPC_WSIG | JPC_SSIG), 6);
    EXPECT_EQ(zc(HH, JPC_NESIG | JPC_SWSIG), 7);
    EXPECT_EQ(zc(HH, JPC_NESIG | JPC_SWSIG | JPC_ESIG), 8);
    EXPECT_EQ(zc(HH, JPC_NESIG | JPC_SWSIG | JPC_NWSIG), 9);
    EXPECT_EQ(zc(HH, 0xff), 9);
}

TEST(JpcodTest, SignContextsAndPredictionFollowNeighbourSigns)
{
    jpc_inittables();
    struct Case {
        uint32_t f;
        int ctx;
        int spb;
    };
    const Case cases[] = {
        {0, 13, 0},                                              // H 0, V 0
        {JPC_ESIG, 16, 0},                                       // H 1, V 0
        {JPC_ESIG | JPC_NSIG, 17, 0},                            // H 1, V 1
        {JPC_WSIG | JPC_SSIG | JPC_SSGN, 15, 0},                 // H 1, V -1
        {JPC_NSIG, 14, 0},                                       // H 0, V 1
        {JPC_NSIG | JPC_NSGN, 14, 1},                            // H 0, V -1
        {JPC_ESIG | JPC_ESGN | JPC_SSIG, 15, 1},                 // H -1, V 1
        {JPC_WSIG | JPC_WSGN, 16, 1},                            // H -1, V 0
        {JPC_WSIG | JPC_WSGN | JPC_NSIG | JPC_NSGN, 17, 1},      // H -1, V -1
        {JPC_ESIG | JPC_WSIG | JPC_WSGN, 13, 0},                 // opposite signs cancel
        {JPC_ESIG | JPC_WSIG | JPC_NSIG, 17, 0},                 // clamped at 1
        {JPC_ESGN | JPC_NSGN | JPC_SSGN | JPC_WSGN, 13, 0},      // signs of insignificant ones
        {JPC_ESIG | 0x0f, 16, 0},                                // diagonals do not count
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.f);
        EXPECT_EQ(jpc_getscctxno(c.f), c.ctx);
        EXPECT_EQ(jpc_getspb(c.f), c.spb);
    }
}

TEST(JpcodTest, RefinementContexts)
{
    // Row 1 of a stripe column word (t1col.h): neighbours are the rows
    // 0..2 of the three columns; signs, farther rows and the other rows'
    // refinement do not count.
    const uint32_t s = t1c_sig(1);
    EXPECT_EQ(t1c_magctxno(s, 1), 10);
    EXPECT_EQ(t1c_magctxno(s | t1c_sgn(0) | t1c_sgn(2) | t1c_sig(3) | t1c_sige(-1), 1), 10);
    EXPECT_EQ(t1c_magctxno(s | t1c_refine(0) | t1c_refine(2), 1), 10);
    EXPECT_EQ(t1c_magctxno(s | t1c_sigw(0), 1), 11);
    EXPECT_EQ(t1c_magctxno(s | t1c_sige(2), 1), 11);
    EXPECT_EQ(t1c_magctxno(s | t1c_sig(2), 1), 11);
    EXPECT_EQ(t1c_magctxno(s | t1c_refine(1), 1), 12);
    EXPECT_EQ(t1c_magctxno(s | t1c_refine(1) | T1C_SIGALL, 1), 12);
}

TEST(JpcodTest, InitialContextStates)
{
    for (int i = 0; i < JPC_NUMCTXS; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(jpc_ctxinits[i].mps, 0);
        const int ind = i == JPC_AGGCTXNO ? 3 : i == JPC_ZCCTXNO ? 4 : i == JPC_UCTXNO ? 46 : 0;
        EXPECT_EQ(jpc_ctxinits[i].ind, ind);
    }
}

TEST(JpcodTest, DistortionTables)
{
    jpc_inittables();
    // u = 1: significance lowers the error from 1 to 1/4.
    EXPECT_EQ(jpc_signmsedec[64], 12288);
    EXPECT_EQ(jpc_signmsedec0[64], 16384);
    // u = 1.5 and 0.5: refinement to the exact middle.
    EXPECT_EQ(jpc_refnmsedec[96], 4096);
    EXPECT_EQ(jpc_refnmsedec[32], 4096);
    EXPECT_EQ(jpc_refnmsedec0[0], 16384);
    // (63/64)^2 = 0.9690 rounds to 62/64.
    EXPECT_EQ(jpc_refnmsedec0[127], 15872);
    // Lookup: plane p uses bits p .. p + 6 of the magnitude.
    EXPECT_EQ(jpc_getsignmsedec(64 << 3, 3), 12288);
    EXPECT_EQ(jpc_getsignmsedec(64, 0), 16384);
    EXPECT_EQ(jpc_getrefnmsedec((1 << 10) | (96 << 2), 2), 4096);
}

TEST(JpcodTest, PassAndSegmentRules)
{
    EXPECT_EQ(jpc_passtype(0), JPC_CLNPASS);
    EXPECT_EQ(jpc_passtype(1), JPC_SIGPASS);
    EXPECT_EQ(jpc_passtype(2), JPC_REFPASS);
    EXPECT_EQ(jpc_passtype(3), JPC_CLNPASS);

    const int numpasses = 19;
    for (int n = 0; n < numpasses; ++n) {
        SCOPED_TRACE(n);
        // Without switches: one MQ segment, only the last pass terminated.
        EXPECT_EQ(jpc_segtype(n, 0), SEG_MQ);
        EXPECT_EQ(jpc_isterminated(n, numpasses, 0, 0), n == numpasses - 1);
        // termall: every pass its own segment.
        EXPECT_EQ(jpc_isterminated(n, numpasses, 0, 1), 1);
        EXPECT_EQ(jpc_isterminated(n, numpasses, 1, 1), 1);
        // lazy: raw 10, 11, 13, 14, ...; terminated 9, 11, 12, 14, 15, ...
        const bool raw = n >= 10 && n % 3 != 0;
        EXPECT_EQ(jpc_segtype(n, 1), raw ? SEG_RAW : SEG_MQ);
        const bool term = n == 9 || (n >= 10 && n % 3 != 1) || n == numpasses - 1;
        EXPECT_EQ(jpc_isterminated(n, numpasses, 1, 0), term);
    }
    EXPECT_EQ(jpc_segpasscnt(0, 100, 0, 0), JPC_MAXPASSES);
    EXPECT_EQ(jpc_segpasscnt(0, 7, 0, 0), 7);
    EXPECT_EQ(jpc_segpasscnt(0, 100, 1, 0), 10);
    EXPECT_EQ(jpc_segpasscnt(4, 100, 1, 0), 6);
    EXPECT_EQ(jpc_segpasscnt(10, 100, 1, 0), 2);
    EXPECT_EQ(jpc_segpasscnt(10, 11, 1, 0), 1);
    EXPECT_EQ(jpc_segpasscnt(12, 100, 1, 0), 1);
    EXPECT_EQ(jpc_segpasscnt(5, 100, 1, 1), 1);
}

TEST(JpcodTest, NominalGains)
{
    EXPECT_EQ(jpc_noms_gain(1, 5, 0, LL), 0);
    EXPECT_EQ(jpc_noms_gain(1, 5, 3, LH), 1);
    EXPECT_EQ(jpc_noms_gain(1, 5, 3, HL), 1);
    EXPECT_EQ(jpc_noms_gain(1, 5, 3, HH), 2);
    for (int orient : {LL, LH, HL, HH})
        EXPECT_EQ(jpc_noms_gain(0, 5, 2, orient), 0);
}

}  // namespace
