// Tier-1 round trips: code blocks coded by t1enc and decoded by t1dec give
// back the quantization indices for every code block style; truncated
// segments give the partial reconstruction; damaged data never crashes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tier1/jpcod.h"
#include "decoder/jpdec_tile.h"
#include "encoder/jpenc_tree.h"
#include "base/seq.h"
#include "base/stream.h"
#include "tier1/t1dec.h"
#include "tier1/t1enc.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Encoder side: one component with one LL band of one code block.
struct Encoded {
    jpenc_comp_t comp{};
    std::vector<int32_t> indices;  // expected quantization indices, row by row
    int rows, cols;
    Encoded(int rows_, int cols_, unsigned seed, int maxmag, int sparsity, int cblksty)
        : rows(rows_), cols(cols_)
    {
        jpc_inittables();
        comp.data = matrix_create(rows, cols);
        comp.mctweight = 16384;
        const jpenc_treeparams_t params{1, 64, 64, 1};
        EXPECT_EQ(jpenc_buildcomp(&comp, &params), 0);
        band().numbps = 24;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> mag(0, maxmag);
        std::uniform_int_distribution<int> frac(0, 63);
        std::uniform_int_distribution<int> pick(0, sparsity);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                int m = pick(rng) == 0 ? mag(rng) : mag(rng) % 4;
                if (r % 9 == 4)
                    m = 0;  // zero rows make run-length columns
                const bool neg = rng() & 1;
                const int v = (m << 6) | frac(rng);
                matrix_set(comp.data, r, c, neg ? -v : v);
                indices.push_back(neg ? -m : m);
            }
        EXPECT_EQ(t1enc_encodecomps(&comp, 1, cblksty), 0);
    }
    ~Encoded() { jpenc_destroycomp(&comp); }
    jpenc_band_t& band() { return comp.lvls[0].bands[0]; }
    jpenc_cblk_t& cblk() { return band().cblks[0]; }
};

// Decoder side: the code block's segments as tier-2 decoding would collect
// them, for the first numpasses passes.  With fulldata the last segment
// gets all bytes of its codeword segment, not only those up to the end
// recorded for its last pass.
struct Decoded {
    dec_ccp_t ccp;
    dec_band_t band;
    dec_cblk_t cblk;
    std::vector<int32_t> data;
    Decoded(Encoded& enc, int cblksty, int numpasses, bool fulldata = false)
    {
        const jpenc_cblk_t& ecblk = enc.cblk();
        ccp.cblksty = cblksty;
        ccp.qmfbid = JPC_COX_RFT;  // plain indices (9/7 ones carry a fractional bit)
        band.orient = 0;
        band.numbps = enc.band().numbps;
        data.assign(enc.rows * enc.cols, 0);
        cblk.data = data.data();
        cblk.stride = enc.cols;
        cblk.width = enc.cols;
        cblk.height = enc.rows;
        cblk.numimsbs = ecblk.numimsbs;
        cblk.firstpassno = 3 * ecblk.numimsbs;
        cblk.numpasses = numpasses;
        const bool lazy = cblksty & T1ENC_LAZY, termall = cblksty & T1ENC_TERMALL;
        const unsigned char* bytes = stream_memdata(ecblk.stream);
        int first = 0;
        for (int n = 0; n < numpasses; ++n) {
            if (!ecblk.passes[n].term && n != numpasses - 1)
                continue;
            dec_seg_t seg;
            seg.passno = cblk.firstpassno + first;
            seg.numpasses = n - first + 1;
            seg.maxpasses = jpc_segpasscnt(first, 10000, lazy, termall);
            seg.type = jpc_segtype(first, lazy);
            seg.lyrno = 0;
            seg.stream = stream_memopen(nullptr, 0);
            const int start = ecblk.passes[first].start;
            int last = n;
            while (fulldata && !ecblk.passes[last].term)
                ++last;
            stream_write(seg.stream, bytes + start, ecblk.passes[last].end - start);
            cblk.segs.push_back(seg);
            if (seg.numpasses == seg.maxpasses)
                cblk.curseg = static_cast<int>(cblk.segs.size());
            first = n + 1;
        }
    }
    ~Decoded()
    {
        for (dec_seg_t& seg : cblk.segs)
            dec_seg_destroy(&seg);
    }
    int decode() { return t1dec_decodecblk(&ccp, &band, &cblk, 1, -1); }
};

const int kStyles[] = {
    0,
    T1ENC_LAZY,
    T1ENC_RESET,
    T1ENC_TERMALL,
    T1ENC_VSC,
    T1ENC_SEGSYM,
    T1ENC_LAZY | T1ENC_TERMALL,
    T1ENC_LAZY | T1ENC_RESET | T1ENC_SEGSYM,
    T1ENC_TERMALL | T1ENC_VSC | T1ENC_RESET,
    T1ENC_LAZY | T1ENC_RESET | T1ENC_TERMALL | T1ENC_VSC | T1ENC_SEGSYM,
};

struct Shape {
    int rows, cols;
};
const Shape kShapes[] = {{64, 64}, {1, 37}, {7, 5}, {33, 3}, {4, 1}, {13, 64}};

TEST(T1decTest, RoundTripsReproduceTheIndicesForEveryStyle)
{
    unsigned seed = 1;
    for (int cblksty : kStyles)
        for (const Shape& shape : kShapes)
            for (int maxmag : {1, 300, 1 << 17}) {
                SCOPED_TRACE(testing::Message() << "style " << cblksty << " shape " << shape.rows
                                                << "x" << shape.cols << " maxmag " << maxmag);
                Encoded enc(shape.rows, shape.cols, ++seed, maxmag, 5, cblksty);
                Decoded dec(enc, cblksty, enc.cblk().numpasses);
                CaptureStderr();
                ASSERT_EQ(dec.decode(), 0);
                EXPECT_EQ(GetCapturedStderr(), "");
                EXPECT_EQ(dec.data, enc.indices);
                EXPECT_TRUE(dec.cblk.segs.empty());
            }
}

TEST(T1decTest, OrientationsAndRunLengthColumns)
{
    // Dense and very sparse blocks in every band orientation.
    for (int orient = 0; orient < 4; ++orient)
        for (int sparsity : {0, 50}) {
            SCOPED_TRACE(testing::Message() << "orient " << orient << " sparsity " << sparsity);
            jpc_inittables();
            jpenc_comp_t comp{};
            comp.data = matrix_create(16, 16);
            comp.mctweight = 16384;
            const jpenc_treeparams_t params{2, 64, 64, 1};
            ASSERT_EQ(jpenc_buildcomp(&comp, &params), 0);
            // Level 1 holds HL, LH, HH; level 0 LL.
            jpenc_band_t* band = orient == 0 ? &comp.lvls[0].bands[0]
                                             : &comp.lvls[1].bands[orient == 2 ? 0 : orient == 1 ? 1 : 2];
            ASSERT_EQ(band->orient, orient);
            std::mt19937 rng(orient * 100 + sparsity);
            std::vector<int32_t> expect;
            for (int r = 0; r < 8; ++r)
                for (int c = 0; c < 8; ++c) {
                    const int m = sparsity && rng() % sparsity ? 0 : static_cast<int>(rng() % 5000);
                    const int v = (rng() & 1) ? -m : m;
                    matrix_set(band->data, r, c, v << 6);
                    expect.push_back(v);
                }
            for (int lvlno = 0; lvlno < 2; ++lvlno)
                for (int i = 0; i < comp.lvls[lvlno].numbands; ++i)
                    comp.lvls[lvlno].bands[i].numbps = 14;
            ASSERT_EQ(t1enc_encodecomps(&comp, 1, 0), 0);

            dec_ccp_t ccp;
            ccp.qmfbid = JPC_COX_RFT;
            dec_band_t dband;
            dband.orient = orient;
            dband.numbps = 14;
            dec_cblk_t cblk;
            std::vector<int32_t> data(64, 0);
            cblk.data = data.data();
            cblk.stride = 8;
            cblk.width = cblk.height = 8;
            const jpenc_cblk_t& ecblk = band->cblks[0];
            cblk.numimsbs = ecblk.numimsbs;
            cblk.firstpassno = 3 * ecblk.numimsbs;
            if (ecblk.numpasses > 0) {
                dec_seg_t seg;
                seg.passno = cblk.firstpassno;
                seg.numpasses = seg.maxpasses = ecblk.numpasses;
                seg.type = SEG_MQ;
                seg.stream = stream_memopen(nullptr, 0);
                stream_write(seg.stream, stream_memdata(ecblk.stream),
                             ecblk.passes[ecblk.numpasses - 1].end);
                cblk.segs.push_back(seg);
                cblk.curseg = 1;
            }
            ASSERT_EQ(t1dec_decodecblk(&ccp, &dband, &cblk, 1, -1), 0);
            EXPECT_EQ(data, expect);
            jpenc_destroycomp(&comp);
        }
}

// Expected value of a sample of index v after all passes down to the
// cleanup pass of bit plane b: the known bits plus half the rest.
int32_t partial(int32_t v, int b)
{
    const int32_t m = v < 0 ? -v : v;
    if (m >> b == 0)
        return 0;
    const int32_t r = ((m >> b) << b) + (b > 0 ? 1 << (b - 1) : 0);
    return v < 0 ? -r : r;
}

TEST(T1decTest, TruncationAfterAnyPass)
{
    for (int cblksty : {0, int(T1ENC_LAZY), int(T1ENC_TERMALL), int(T1ENC_LAZY | T1ENC_RESET),
                        int(T1ENC_SEGSYM | T1ENC_VSC)}) {
        Encoded enc(24, 19, 77 + cblksty, 1 << 12, 3, cblksty);
        const int numbps = enc.cblk().numbps;
        ASSERT_GE(numbps, 10);
        // The ends of passes inside a segment are estimates: decoding exactly
        // that many bytes must still reproduce the passes, and after a
        // cleanup pass every sample sits in the middle of its interval.  A
        // raw segment cut after its first pass has no fill bits yet.
        for (int n = 0; n < enc.cblk().numpasses; ++n) {
            SCOPED_TRACE(testing::Message() << "style " << cblksty << " through pass " << n);
            Decoded dec(enc, cblksty, n + 1);
            CaptureStderr();
            ASSERT_EQ(dec.decode(), 0);
            EXPECT_EQ(GetCapturedStderr(), "");
            // The recorded end is enough: more bytes of the segment decode
            // the same passes to the same values.
            Decoded full(enc, cblksty, n + 1, true);
            CaptureStderr();
            ASSERT_EQ(full.decode(), 0);
            GetCapturedStderr();
            ASSERT_EQ(dec.data, full.data);
            if (n % 3 != 0)
                continue;
            const int b = numbps - 1 - n / 3;
            for (size_t i = 0; i < enc.indices.size(); ++i)
                ASSERT_EQ(dec.data[i], partial(enc.indices[i], b)) << "sample " << i;
        }
    }
}

TEST(T1decTest, BadSegmentationSymbolWarns)
{
    const int sty = T1ENC_SEGSYM;
    Encoded enc(8, 8, 5, 1000, 0, sty);
    Decoded dec(enc, sty, enc.cblk().numpasses);
    // A block coded without symbols, decoded as if it had them.
    Encoded plain(8, 8, 5, 1000, 0, 0);
    Decoded wrong(plain, sty, plain.cblk().numpasses);
    CaptureStderr();
    EXPECT_EQ(wrong.decode(), 0);
    EXPECT_NE(GetCapturedStderr().find("warning: bad segmentation symbol\n"), std::string::npos);
    CaptureStderr();
    EXPECT_EQ(dec.decode(), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(T1decTest, BadFillPatternOfRawSegmentWarns)
{
    const int sty = T1ENC_LAZY | T1ENC_TERMALL;
    // Find a block whose first raw segment ends with fill bits.
    for (unsigned seed = 1; seed < 50; ++seed) {
        Encoded enc(8, 8, seed, 1 << 12, 0, sty);
        const jpenc_cblk_t& c = enc.cblk();
        if (c.numpasses < 11)
            continue;
        Decoded dec(enc, sty, c.numpasses);
        // Segment 10 holds raw pass 10; flip its last fill bit.
        stream_t* s = dec.cblk.segs[10].stream;
        const int64_t len = stream_memlength(s);
        if (len == 0 || stream_memdata(s)[len - 1] == 0xff || stream_memdata(s)[len - 1] & 1)
            continue;
        stream_memdata(s)[len - 1] ^= 1;
        CaptureStderr();
        EXPECT_EQ(dec.decode(), 0);
        EXPECT_NE(GetCapturedStderr().find("warning: bad fill pattern\n"), std::string::npos);
        return;
    }
    FAIL() << "no block with fill bits found";
}

TEST(T1decTest, MalformedCodeBlocksAreRefused)
{
    Encoded enc(8, 8, 9, 1000, 0, 0);
    {
        Decoded dec(enc, 0, enc.cblk().numpasses);
        dec.band.numbps = 60;  // coefficients would need more than 31 bits
        CaptureStderr();
        EXPECT_EQ(dec.decode(), -1);
        EXPECT_NE(GetCapturedStderr(), "");
    }
    {
        // Passes below bit plane 0 (a band's Mb a plane or more short, as
        // in streams the peers decode) end the block: no failure, and the
        // block's data is released.
        for (int extra : {0, 2}) {
            Decoded dec(enc, 0, enc.cblk().numpasses);
            dec.cblk.numimsbs += extra;
            dec.cblk.segs[0].numpasses = 90;
            EXPECT_EQ(dec.decode(), 0);
            EXPECT_TRUE(dec.cblk.segs.empty());
        }
    }
    {
        Decoded dec(enc, 0, enc.cblk().numpasses);
        dec.cblk.segs[0].type = SEG_RAW;  // a cleanup pass is never raw
        CaptureStderr();
        EXPECT_EQ(dec.decode(), -1);
        EXPECT_EQ(GetCapturedStderr(), "damaged code block: a cleanup pass in a raw segment\n");
    }
}

TEST(T1decTest, RawSegmentEndingEarlyReadsOneBits)
{
    // An encoder may drop trailing bytes of a raw segment (a final 0xFF):
    // past its end a raw segment reads as 1 bits, just as if it were
    // padded with 0xFF bytes, and the code block still decodes.
    const int sty = T1ENC_LAZY;
    Encoded enc(32, 32, 21, 1 << 14, 0, sty);
    ASSERT_GE(enc.cblk().numpasses, 12);
    auto decodeWithRawSegment = [&](const std::string& bytes) {
        Decoded dec(enc, sty, enc.cblk().numpasses);
        dec_seg_t& raw = dec.cblk.segs[1];
        EXPECT_EQ(raw.type, SEG_RAW);
        stream_close(raw.stream);
        raw.stream = stream_memopen(nullptr, 0);
        stream_write(raw.stream, bytes.data(), bytes.size());
        CaptureStderr();
        EXPECT_EQ(dec.decode(), 0);
        GetCapturedStderr();
        return dec.data;
    };
    EXPECT_EQ(decodeWithRawSegment("\x12"), decodeWithRawSegment("\x12" + std::string(600, '\xff')));

    // The same segment still open (its second pass not yet received) and
    // empty: the planes above it stay decoded.
    Decoded open(enc, sty, 11);
    ASSERT_EQ(open.cblk.segs.size(), 2u);
    stream_close(open.cblk.segs[1].stream);
    open.cblk.segs[1].stream = stream_memopen(nullptr, 0);
    open.cblk.segs[1].numpasses = 0;
    CaptureStderr();
    EXPECT_EQ(open.decode(), 0);
    GetCapturedStderr();
    const int b = enc.cblk().numbps - 4;
    for (size_t i = 0; i < enc.indices.size(); ++i)
        ASSERT_EQ(open.data[i], partial(enc.indices[i], b)) << "sample " << i;
}

TEST(T1decTest, DamagedDataNeverCrashes)
{
    for (int cblksty : kStyles) {
        Encoded enc(20, 20, 99, 1 << 10, 2, cblksty);
        std::mt19937 rng(cblksty);
        for (int trial = 0; trial < 20; ++trial) {
            Decoded dec(enc, cblksty, enc.cblk().numpasses);
            for (dec_seg_t& seg : dec.cblk.segs) {
                unsigned char* p = stream_memdata(seg.stream);
                const int64_t len = stream_memlength(seg.stream);
                for (int64_t i = 0; i < len; ++i)
                    if (rng() % 4 == 0)
                        p[i] = static_cast<unsigned char>(rng());
            }
            CaptureStderr();
            const int ret = dec.decode();
            GetCapturedStderr();
            EXPECT_TRUE(ret == 0 || ret == -1);
        }
    }
}

}  // namespace
