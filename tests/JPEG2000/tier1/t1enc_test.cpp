// Tier-1 encoder: pass counts, bit planes, pass types and terminations,
// pass ends and distortion records.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tier1/jpcod.h"
#include "encoder/jpenc_tree.h"
#include "base/seq.h"
#include "base/stream.h"
#include "tier1/t1enc.h"
#include "tier1/t1est.h"

namespace {

// One component with a single LL band of one code block of rows x cols.
struct Block {
    jpenc_comp_t comp{};
    Block(int rows, int cols)
    {
        jpc_inittables();
        comp.data = matrix_create(rows, cols);
        comp.mctweight = 16384;
        const jpenc_treeparams_t params{1, 64, 64, 1};
        EXPECT_EQ(jpenc_buildcomp(&comp, &params), 0);
        band().numbps = 20;
    }
    ~Block() { jpenc_destroycomp(&comp); }
    jpenc_band_t& band() { return comp.lvls[0].bands[0]; }
    jpenc_cblk_t& cblk() { return band().cblks[0]; }
    void set(int r, int c, int v) { matrix_set(comp.data, r, c, v); }
    void fillRandom(unsigned seed, int maxmag)
    {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> dist(-maxmag, maxmag);
        for (int r = 0; r < matrix_numrows(comp.data); ++r)
            for (int c = 0; c < matrix_numcols(comp.data); ++c)
                set(r, c, dist(rng) / 3 * 3);
    }
    int encode(int cblksty) { return t1enc_encodecomps(&comp, 1, cblksty); }
    std::vector<unsigned char> bytes()
    {
        stream_t* s = cblk().stream;
        const unsigned char* p = stream_memdata(s);
        return std::vector<unsigned char>(p, p + stream_memlength(s));
    }
};

TEST(T1encTest, BlockBelowOneIntegerStepHasNoPasses)
{
    Block b(8, 8);
    b.set(3, 3, 63);
    b.set(4, 4, -63);
    ASSERT_EQ(b.encode(0), 0);
    EXPECT_EQ(b.cblk().numbps, 0);
    EXPECT_EQ(b.cblk().numpasses, 0);
    EXPECT_EQ(b.cblk().numimsbs, 20);
    EXPECT_EQ(b.bytes().size(), 0u);
}

TEST(T1encTest, MagnitudeOf64GivesOneTerminatedCleanupPass)
{
    Block b(8, 8);
    b.set(5, 2, -64);
    ASSERT_EQ(b.encode(0), 0);
    EXPECT_EQ(b.cblk().numbps, 1);
    EXPECT_EQ(b.cblk().numimsbs, 19);
    ASSERT_EQ(b.cblk().numpasses, 1);
    const jpenc_pass_t& pass = b.cblk().passes[0];
    EXPECT_EQ(pass.term, 1);
    EXPECT_EQ(pass.type, SEG_MQ);
    EXPECT_EQ(pass.lyrno, -1);
    EXPECT_EQ(pass.start, 0);
    const std::vector<unsigned char> bytes = b.bytes();
    EXPECT_EQ(pass.end, static_cast<int>(bytes.size()));
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), 0xac);
    // Significance at plane 0 removes the whole error of the sample.
    EXPECT_EQ(pass.nmsedec, jpc_signmsedec0[64]);
    EXPECT_EQ(b.cblk().flags, nullptr);
}

TEST(T1encTest, BitPlanesAndMissingPlanesFollowTheLargestMagnitude)
{
    Block b(4, 4);
    b.set(0, 0, 1000 << 6);  // floor(log2(1000)) = 9: 10 planes
    b.set(1, 1, -5 << 6);
    ASSERT_EQ(b.encode(0), 0);
    EXPECT_EQ(b.cblk().numbps, 10);
    EXPECT_EQ(b.cblk().numimsbs, 10);
    EXPECT_EQ(b.cblk().numpasses, 28);

    b.band().numbps = 9;  // fewer planes than the samples need
    EXPECT_EQ(b.encode(0), -1);
}

void expectConsistentEnds(const jpenc_cblk_t& cblk, int64_t length)
{
    int32_t prev = 0;
    for (int n = 0; n < cblk.numpasses; ++n) {
        SCOPED_TRACE(n);
        const jpenc_pass_t& pass = cblk.passes[n];
        EXPECT_GE(pass.start, prev);
        EXPECT_GE(pass.end, pass.start);
        EXPECT_LE(pass.end, length);
        prev = pass.end;
    }
    EXPECT_EQ(cblk.passes[cblk.numpasses - 1].end, length);
}

TEST(T1encTest, PassTypesTerminationsAndEnds)
{
    struct Style {
        int cblksty;
        const char* name;
    };
    const Style styles[] = {{0, "plain"},
                            {T1ENC_TERMALL, "termall"},
                            {T1ENC_LAZY, "lazy"},
                            {T1ENC_LAZY | T1ENC_TERMALL, "lazy termall"},
                            {T1ENC_RESET | T1ENC_VSC | T1ENC_SEGSYM, "reset vsc segsym"}};
    for (const Style& style : styles) {
        SCOPED_TRACE(style.name);
        Block b(32, 32);
        b.fillRandom(7, 1 << 15);
        ASSERT_EQ(b.encode(style.cblksty), 0);
        const jpenc_cblk_t& cblk = b.cblk();
        ASSERT_EQ(cblk.numbps, 9);
        ASSERT_EQ(cblk.numpasses, 25);
        const bool lazy = style.cblksty & T1ENC_LAZY;
        const bool termall = style.cblksty & T1ENC_TERMALL;
        for (int n = 0; n < cblk.numpasses; ++n) {
            SCOPED_TRACE(n);
            const jpenc_pass_t& pass = cblk.passes[n];
            EXPECT_EQ(pass.type, jpc_segtype(n, lazy));
            EXPECT_EQ(pass.term, jpc_isterminated(n, cblk.numpasses, lazy, termall));
            if (n > 0) {
                EXPECT_EQ(pass.cumwmsedec, cblk.passes[n - 1].cumwmsedec + pass.wmsedec);
            }
            EXPECT_GE(pass.wmsedec, 0.0);
        }
        const std::vector<unsigned char> bytes = b.bytes();
        expectConsistentEnds(cblk, bytes.size());
        if (termall) {
            // Every end is an exact segment boundary: the next pass starts there.
            for (int n = 0; n + 1 < cblk.numpasses; ++n)
                EXPECT_EQ(cblk.passes[n].end, cblk.passes[n + 1].start);
        }
        if (lazy) {
            // Raw segments end byte-aligned; an MQ segment ends with 0xAC.
            EXPECT_EQ(bytes[cblk.passes[9].end - 1], 0xac);
            EXPECT_EQ(bytes[cblk.passes[12].end - 1], 0xac);
        }
    }
}

TEST(T1encTest, DistortionOfAllPassesAddsUpToTheSignalEnergy)
{
    // Coding every plane removes the whole error: the cumulative distortion
    // decrease equals the sum of the squared integer magnitudes (within the
    // 1/64 rounding of the tables).
    Block b(16, 16);
    b.fillRandom(3, 1 << 12);
    double energy = 0;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) {
            const double v = (matrix_get(b.comp.data, r, c) >> 6) << 6;
            energy += (v / 64) * (v / 64);
            matrix_set(b.comp.data, r, c, static_cast<int>(v));
        }
    ASSERT_EQ(b.encode(0), 0);
    const jpenc_cblk_t& cblk = b.cblk();
    EXPECT_NEAR(cblk.passes[cblk.numpasses - 1].cumwmsedec, energy, energy * 0.01);
}

TEST(T1encTest, OutputIsDeterministic)
{
    Block a(20, 13), b(20, 13);
    a.fillRandom(11, 1 << 16);
    b.fillRandom(11, 1 << 16);
    const int sty = T1ENC_LAZY | T1ENC_SEGSYM | T1ENC_VSC;
    ASSERT_EQ(a.encode(sty), 0);
    ASSERT_EQ(b.encode(sty), 0);
    EXPECT_EQ(a.bytes(), b.bytes());
    ASSERT_EQ(a.encode(sty), 0);  // coding again replaces the earlier result
    EXPECT_EQ(a.bytes(), b.bytes());
}

}  // namespace

namespace {

// With a budget, tier-1 estimates each bit plane first: the distortion
// and byte estimates must be near the coder's own figures, and a
// short budget must leave the low planes uncoded until the allocation asks
// for them.
TEST(T1encTest, BudgetLeavesLowPlanesUncodedUntilTheAllocationReachesThem)
{
    Block b(64, 64);
    b.fillRandom(7, 1 << 14);
    ASSERT_EQ(b.encode(0), 0);
    const jpenc_cblk_t& full = b.cblk();
    const int numbps = full.numbps;
    ASSERT_EQ(full.numpasses, 3 * numbps - 2);
    std::vector<t1est_plane_t> est(numbps);
    t1est_planes(&full, numbps, double(t1enc_weight(&b.comp, &b.band())), est.data());
    double prevdist = 0, bytes = 0;
    for (int p = numbps - 1, last = 0; p >= 0; --p, last += 3) {
        const double dist = full.passes[last].cumwmsedec - prevdist;
        EXPECT_NEAR(est[p].dist, dist, 0.05 * dist) << "plane " << p;
        prevdist = full.passes[last].cumwmsedec;
        bytes += est[p].bytes;
    }
    const double coded = full.passes[full.numpasses - 1].end;
    EXPECT_GT(bytes, coded / 2);
    EXPECT_LT(bytes, coded * 2);

    ASSERT_EQ(t1enc_encodecomps(&b.comp, 1, 0, {coded / 20, -1}), 0);
    const jpenc_cblk_t& cut = b.cblk();
    ASSERT_LT(cut.numpasses, 3 * numbps - 2);
    EXPECT_EQ((cut.numpasses + 2) % 3, 0);  // whole planes
    EXPECT_EQ(cut.passes[cut.numpasses - 1].term, 1);
    EXPECT_EQ(t1enc_completecomps(&b.comp, 1, 0), 0);  // no layer reached it
    cut.passes[cut.numpasses - 1].lyrno = 0;
    EXPECT_EQ(t1enc_completecomps(&b.comp, 1, 0), 1);
    EXPECT_EQ(b.cblk().numpasses, 3 * numbps - 2);
}

// HT: the byte model must be near the coded candidates; after an
// allocation that took the last coded candidate one more is coded, while a
// block of a few samples (whose error need not fall from one candidate to
// the next) is coded whole.
TEST(T1encTest, HtCandidatesGrowOneAtATimeAndTinyBlocksWhole)
{
    Block b(64, 64);
    b.fillRandom(7, 1 << 14);
    ASSERT_EQ(b.encode(T1ENC_HT), 0);
    const int numbps = b.cblk().numbps;
    ASSERT_EQ(t1enc_encodehtcblk(&b.comp, &b.band(), &b.cblk(), 0, -1, 0, -1), 0);
    std::vector<t1est_plane_t> est(numbps);
    t1est_htplanes(&b.cblk(), numbps, double(t1enc_weight(&b.comp, &b.band())), est.data(), 1);
    double model = 0;
    for (int k = 0; k < numbps; ++k) {
        model += est[numbps - 1 - k].bytes;
        const double coded = b.cblk().passes[3 * k].end;
        if (coded > 100) {
            EXPECT_GT(model, coded / 1.5) << "candidate " << k;
            EXPECT_LT(model, coded * 1.5) << "candidate " << k;
        }
    }
    const double all = b.cblk().passes[3 * (numbps - 1)].end;
    ASSERT_EQ(t1enc_encodecomps(&b.comp, 1, T1ENC_HT, {all / 8, -1}), 0);
    jpenc_cblk_t& cut = b.cblk();
    const int coded = cut.numpasses;
    ASSERT_LT(coded, 3 * numbps - 2);
    for (int i = 0; i < coded; ++i)
        cut.passes[i].lyrno = 0;
    EXPECT_EQ(t1enc_completecomps(&b.comp, 1, T1ENC_HT), 1);
    EXPECT_EQ(b.cblk().numpasses, coded + 3);

    Block one(1, 1);
    one.set(0, 0, 12345 << 6);
    ASSERT_EQ(t1enc_encodecomps(&one.comp, 1, T1ENC_HT, {2, -1}), 0);
    ASSERT_LT(one.cblk().numpasses, 3 * one.cblk().numbps - 2);
    for (int i = 0; i < one.cblk().numpasses; ++i)
        one.cblk().passes[i].lyrno = 0;
    EXPECT_EQ(t1enc_completecomps(&one.comp, 1, T1ENC_HT), 1);
    EXPECT_EQ(one.cblk().numpasses, 3 * one.cblk().numbps - 2);
}

} // namespace
