// The encoder coding tree: band geometry, code block grid, views into the
// component matrix, and release.
#include <gtest/gtest.h>

#include "tier1/jpcod.h"
#include "encoder/jpenc_tree.h"
#include "base/seq.h"
#include "tier2/tagtree.h"
#include "transform/tsfb.h"

namespace {

// A component over a fresh rows x cols matrix, built with the given
// settings; destroyed (with ASan watching) when it goes out of scope.
struct Comp {
    jpenc_comp_t comp{};
    int ret;
    Comp(int rows, int cols, int maxrlvls, int cblkw = 64, int cblkh = 64, int qmfbid = 1)
    {
        comp.data = matrix_create(rows, cols);
        comp.hsamp = comp.vsamp = 1;
        comp.mctweight = 16384;
        const jpenc_treeparams_t params{maxrlvls, cblkw, cblkh, qmfbid};
        ret = jpenc_buildcomp(&comp, &params);
    }
    ~Comp() { jpenc_destroycomp(&comp); }
    jpenc_band_t& band(int lvlno, int i) { return comp.lvls[lvlno].bands[i]; }
};

void expectBand(const jpenc_band_t& band, int orient, int xoff, int yoff, int cols, int rows)
{
    EXPECT_EQ(band.orient, orient);
    EXPECT_EQ(band.xoff, xoff);
    EXPECT_EQ(band.yoff, yoff);
    EXPECT_EQ(matrix_numcols(band.data), cols);
    EXPECT_EQ(matrix_numrows(band.data), rows);
}

TEST(JpencTreeTest, FiveByFiveWithThreeLevels)
{
    Comp c(5, 5, 3);
    ASSERT_EQ(c.ret, 0);
    EXPECT_EQ(c.comp.numrlvls, 3);
    EXPECT_EQ(c.comp.numstepsizes, 7);
    EXPECT_EQ(c.comp.width, 5);
    EXPECT_EQ(c.comp.height, 5);
    ASSERT_EQ(c.comp.lvls[0].numbands, 1);
    ASSERT_EQ(c.comp.lvls[1].numbands, 3);
    ASSERT_EQ(c.comp.lvls[2].numbands, 3);
    // Level 2 surrounds a 3 x 3 low-pass region.
    expectBand(c.band(2, 0), TSFB_HL, 3, 0, 2, 3);
    expectBand(c.band(2, 1), TSFB_LH, 0, 3, 3, 2);
    expectBand(c.band(2, 2), TSFB_HH, 3, 3, 2, 2);
    // Level 1 surrounds a 2 x 2 low-pass region.
    expectBand(c.band(1, 0), TSFB_HL, 2, 0, 1, 2);
    expectBand(c.band(1, 1), TSFB_LH, 0, 2, 2, 1);
    expectBand(c.band(1, 2), TSFB_HH, 2, 2, 1, 1);
    expectBand(c.band(0, 0), TSFB_LL, 0, 0, 2, 2);
    // Gains and weights follow the band list of the filter bank tree.
    EXPECT_EQ(c.band(0, 0).analgain, 0);
    EXPECT_EQ(c.band(2, 0).analgain, 1);
    EXPECT_EQ(c.band(2, 1).analgain, 1);
    EXPECT_EQ(c.band(2, 2).analgain, 2);
    EXPECT_EQ(c.band(0, 0).synweight, tsfb_synweight(c.comp.tsfb, 0));
    EXPECT_EQ(c.band(1, 2).synweight, tsfb_synweight(c.comp.tsfb, 3));
    EXPECT_EQ(c.band(2, 0).synweight, tsfb_synweight(c.comp.tsfb, 4));
    EXPECT_NE(c.band(2, 0).synweight, c.band(1, 0).synweight);
    // Every band has one code block, a view that writes through.
    for (int lvlno = 0; lvlno < 3; ++lvlno)
        for (int i = 0; i < c.comp.lvls[lvlno].numbands; ++i) {
            jpenc_band_t& band = c.band(lvlno, i);
            ASSERT_EQ(band.numcblks, 1);
            EXPECT_EQ(band.lvl, &c.comp.lvls[lvlno]);
            EXPECT_EQ(band.cblks[0].numlenbits, 3);
            EXPECT_EQ(band.cblks[0].numpasses, 0);
            EXPECT_NE(band.incltree, nullptr);
            EXPECT_NE(band.savednlibtree, nullptr);
        }
    matrix_set(c.band(2, 2).cblks[0].data, 1, 0, 42);
    EXPECT_EQ(matrix_get(c.comp.data, 4, 3), 42);
}

TEST(JpencTreeTest, CodeBlockGridClipsAtTheBandEdge)
{
    // maxrlvls 1: a single LL band over the whole 100 x 30 component.
    Comp c(30, 100, 1);
    ASSERT_EQ(c.ret, 0);
    EXPECT_EQ(c.comp.numstepsizes, 1);
    ASSERT_EQ(c.comp.lvls[0].numbands, 1);
    jpenc_band_t& band = c.band(0, 0);
    expectBand(band, TSFB_LL, 0, 0, 100, 30);
    EXPECT_EQ(band.synweight, 16384);
    EXPECT_EQ(band.numhcblks, 2);
    EXPECT_EQ(band.numvcblks, 1);
    ASSERT_EQ(band.numcblks, 2);
    EXPECT_EQ(matrix_numcols(band.cblks[0].data), 64);
    EXPECT_EQ(matrix_numcols(band.cblks[1].data), 36);
    EXPECT_EQ(matrix_numrows(band.cblks[1].data), 30);
    EXPECT_EQ(matrix_getref(band.cblks[1].data, 0, 0), matrix_getref(c.comp.data, 0, 64));
    EXPECT_EQ(band.incltree->numleafsh_, 2);
    EXPECT_EQ(band.incltree->numleafsv_, 1);
}

TEST(JpencTreeTest, RasterOrderOfCodeBlocks)
{
    Comp c(10, 9, 1, 4, 4);
    ASSERT_EQ(c.ret, 0);
    jpenc_band_t& band = c.band(0, 0);
    ASSERT_EQ(band.numcblks, 9);
    // Block 5 is row 1, column 2: rows 4..7, column 8.
    EXPECT_EQ(matrix_getref(band.cblks[5].data, 0, 0), matrix_getref(c.comp.data, 4, 8));
    EXPECT_EQ(matrix_numcols(band.cblks[5].data), 1);
    EXPECT_EQ(matrix_numrows(band.cblks[5].data), 4);
    EXPECT_EQ(matrix_numrows(band.cblks[8].data), 2);
}

TEST(JpencTreeTest, EmptyBandsOfATinyComponent)
{
    // 1 x 1 with 3 levels: every high-pass band is empty and has no code
    // blocks, yet building and destroying is clean.
    Comp c(1, 1, 3);
    ASSERT_EQ(c.ret, 0);
    EXPECT_EQ(c.band(0, 0).numcblks, 1);
    for (int lvlno = 1; lvlno < 3; ++lvlno)
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(c.band(lvlno, i).numcblks, 0);
}

TEST(JpencTreeTest, IrreversibleBandsHaveNoGain)
{
    Comp c(8, 8, 2, 64, 64, 0);
    ASSERT_EQ(c.ret, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(c.band(1, i).analgain, 0);
}

TEST(JpencTreeTest, RefusesLevelCountsTheTreeCannotHold)
{
    Comp none(4, 4, 0);
    EXPECT_EQ(none.ret, -1);
    Comp many(4, 4, 40);
    EXPECT_EQ(many.ret, -1);
}

}  // namespace
