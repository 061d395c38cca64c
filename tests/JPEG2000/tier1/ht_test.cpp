// HT block coding round trips: random code blocks of every size from 1x1
// to 64x64 and 1024x4, magnitudes of 1 to 30 bits, sparse and dense, coded
// by htenc at a bit plane and decoded by htdec give back the magnitudes
// from that plane up; damaged and cut segments decode or fail, never
// crash or read outside the segment.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "tier1/htdec.h"
#include "tier1/htenc.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A random block: each sample is 0 with probability zeros/8, else a random
// magnitude of up to bits bits (most of them much smaller, as in wavelet
// bands) and a random sign.
std::vector<int32_t> random_block(int w, int h, int bits, int zeros, std::mt19937& rng)
{
    std::vector<int32_t> b(size_t(w) * h);
    for (int32_t& x : b) {
        if (int(rng() % 8) < zeros)
            continue;
        const int nb = 1 + int(rng() % bits);
        int32_t m = int32_t(rng() & ((uint32_t{1} << nb) - 1));
        if (rng() % 16 == 0)
            m = int32_t((uint32_t{1} << bits) - 1);  // the largest magnitude
        x = (rng() & 1) ? -m : m;
    }
    return b;
}

// The coefficient htdec gives for sample x coded from plane p.
int32_t expected(int32_t x, int p)
{
    const uint32_t mu = (x < 0 ? 0u - uint32_t(x) : uint32_t(x)) >> p;
    if (!mu)
        return 0;
    const int32_t v = int32_t((mu << p) | (p > 0 ? uint32_t{1} << (p - 1) : 0));
    return x < 0 ? -v : v;
}

// The block htdec decodes from the cleanup segment cln at plane p into the
// w x h samples at data, rows stride apart.
htdec_cblk_t cleanup_block(const std::vector<uint8_t>& cln, int p, int w, int h, int32_t* data,
                           int stride)
{
    htdec_cblk_t cb;
    cb.cln = cln.data();
    cb.lcup = int(cln.size());
    cb.p = p;
    cb.width = w;
    cb.height = h;
    cb.data = data;
    cb.stride = stride;
    return cb;
}

TEST(HtBlock, RoundTripsEverySizeDepthAndPlane)
{
    const int sizes[][2] = {{1, 1},  {4, 4},   {5, 3},   {8, 8},   {16, 16},  {17, 33},
                            {32, 32}, {64, 64}, {63, 64}, {64, 1},  {1024, 4}, {4, 1024},
                            {2, 1024}, {1023, 3}};
    std::mt19937 rng(7);
    std::vector<uint8_t> seg;
    htdec_scratch_t scratch;
    int blocks = 0;
    for (const auto& s : sizes) {
        const int w = s[0], h = s[1];
        for (int bits = 1; bits <= 30; bits += (bits < 4 ? 1 : 3)) {
            for (int zeros : {0, 4, 7}) {
                const std::vector<int32_t> src = random_block(w, h, bits, zeros, rng);
                for (int p : {0, 1, bits / 2, bits - 1}) {
                    SCOPED_TRACE(::testing::Message() << w << "x" << h << " bits " << bits
                                                      << " zeros " << zeros << " p " << p);
                    ASSERT_EQ(htenc_encodecln(src.data(), w, w, h, p, seg), 0);
                    ASSERT_GE(seg.size(), 2u);
                    std::vector<int32_t> out(size_t(w + 3) * h, 12345);
                    htdec_cblk_t cb = cleanup_block(seg, p, w, h, out.data(), w + 3);
                    ASSERT_EQ(htdec_decodecblk(cb, scratch), 0);
                    for (int y = 0; y < h; ++y) {
                        for (int x = 0; x < w; ++x)
                            ASSERT_EQ(out[y * (w + 3) + x], expected(src[y * w + x], p))
                                << "at " << x << ", " << y;
                        for (int x = w; x < w + 3; ++x)
                            ASSERT_EQ(out[y * (w + 3) + x], 12345) << "written outside";
                    }
                    ++blocks;
                }
            }
        }
    }
    EXPECT_GT(blocks, 1000);
}

// The decrease of the squared error the encoder reports for the cleanup
// pass is the floating point sum, quad by quad, of each sample's
// m^2 - (m - rebuilt)^2 as rec * (2m - rec): bit for bit, for small
// magnitudes (summed exactly in integers) as for large ones, and for
// reconstruction offsets at or above the plane.
TEST(HtBlock, DistortionDecreaseIsTheQuadByQuadSum)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> seg;
    const int sizes[][2] = {{64, 64}, {17, 33}, {1024, 4}, {5, 3}};
    for (const auto& s : sizes) {
        const int w = s[0], h = s[1];
        for (int bits : {6, 19, 21, 30}) {
            const std::vector<int32_t> src = random_block(w, h, bits, 3, rng);
            for (int p : {0, 1, bits / 2, bits - 1})
                for (uint32_t half : {p ? uint32_t{1} << (p - 1) : 0u, 0u, uint32_t{3} << p}) {
                    auto term = [&](int x, int y) {
                        if (x >= w || y >= h)
                            return 0.0;
                        const int32_t v = src[y * w + x];
                        const uint32_t m = v < 0 ? 0u - uint32_t(v) : uint32_t(v);
                        const uint32_t mu = m >> p;
                        const double rec = mu ? double((mu << p) | half) : 0.0;
                        return rec * (2.0 * m - rec);
                    };
                    double want = 0;
                    for (int y = 0; y < h; y += 2)
                        for (int x = 0; x < w; x += 2) {
                            if (x + 1 < w && y + 1 < h) {
                                want += (term(x, y) + term(x, y + 1)) +
                                        (term(x + 1, y) + term(x + 1, y + 1));
                            } else {
                                for (int n = 0; n < 4; ++n)
                                    want += term(x + (n >> 1), y + (n & 1));
                            }
                        }
                    double got = -1;
                    ASSERT_EQ(htenc_encodecln(src.data(), w, w, h, p, seg, half, &got), 0);
                    EXPECT_EQ(got, want) << w << "x" << h << " bits " << bits << " p " << p
                                         << " half " << half;
                }
        }
    }
}

// Magnitudes chosen for their cost (trimmed exponent bounds, significance
// raised or dropped near 2^p): what htdec reads back is each magnitude,
// or where the encoder cut it the power of two just below it, or where it
// chose the significance (blocks of more than 256 samples) the other side
// of 2^p with the same sign; the decrease of the squared error that the
// encoder reports is that of what the decoder rebuilds.
TEST(HtBlock, ChosenMagnitudesDecodeAsReported)
{
    std::mt19937 rng(5);
    std::vector<uint8_t> seg;
    htdec_scratch_t scratch;
    const int sizes[][2] = {{64, 64}, {17, 33}, {1024, 4}, {5, 3}};
    int cut = 0, raised = 0, dropped = 0;
    for (const auto& s : sizes) {
        const int w = s[0], h = s[1];
        for (int bits : {8, 19})
            for (int zeros : {2, 6}) {
                const std::vector<int32_t> src = random_block(w, h, bits, zeros, rng);
                for (int p : {1, 3})
                    for (double trim : {0.15, 1e9}) {
                        SCOPED_TRACE(::testing::Message() << w << "x" << h << " bits " << bits
                                                          << " p " << p << " trim " << trim);
                        const uint32_t half = uint32_t{1} << (p - 1);
                        double got = -1;
                        ASSERT_EQ(htenc_encodecln(src.data(), w, w, h, p, seg, half, &got,
                                                  nullptr, trim), 0);
                        std::vector<int32_t> out(size_t(w) * h);
                        htdec_cblk_t cb = cleanup_block(seg, p, w, h, out.data(), w);
                        ASSERT_EQ(htdec_decodecblk(cb, scratch), 0);
                        double want = 0;
                        for (size_t i = 0; i < src.size(); ++i) {
                            const int32_t x = src[i], d = out[i];
                            const int32_t e = expected(x, p);
                            const uint32_t mu = uint32_t(std::abs(e)) >> p;
                            const uint32_t md = uint32_t(std::abs(d)) >> p;
                            if (d != e) {
                                ASSERT_TRUE(d == 0 || (d < 0) == (x < 0)) << "at " << i;
                                if (mu == 0 || (mu == 1 && d == 0)) {
                                    // Significance chosen, in large blocks.
                                    ASSERT_GT(w * h, 256) << "at " << i;
                                    ASSERT_EQ(md, 1u - mu) << "at " << i;
                                    ++(mu ? dropped : raised);
                                } else {
                                    // Cut one step, to a power of two.
                                    ASSERT_EQ(md, mu - 1) << "at " << i;
                                    ASSERT_TRUE(std::has_single_bit(mu - 1)) << "at " << i;
                                    ++cut;
                                }
                            }
                            const double m = std::abs(double(x)), rec = std::abs(double(d));
                            want += m * m - (m - rec) * (m - rec);
                        }
                        EXPECT_NEAR(got, want, 1e-9 * std::abs(want));
                    }
            }
    }
    EXPECT_GT(cut, 100);
    EXPECT_GT(raised, 100);
    EXPECT_GT(dropped, 10);
}

// The coefficient htdec gives for sample x with a cleanup pass at plane p
// and numref refinement passes at plane p - 1.
int32_t expected_ref(int32_t x, int p, int numref)
{
    const uint32_t m = x < 0 ? 0u - uint32_t(x) : uint32_t(x);
    const uint32_t mu = m >> p;
    const uint32_t half = p > 1 ? uint32_t{1} << (p - 2) : 0;
    uint32_t v = 0;
    if (mu)
        v = numref >= 2 ? ((mu << p) | (m & (uint32_t{1} << (p - 1))) | half)
                        : ((mu << p) | (uint32_t{1} << (p - 1)));
    return x < 0 ? -int32_t(v) : int32_t(v);
}

TEST(HtBlock, RefinementPassesRoundTrip)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> cln, sp, spmr;
    htdec_scratch_t scratch;
    for (const auto& s : {std::pair{4, 4}, {5, 7}, {64, 64}, {1024, 4}, {33, 17}})
        for (int bits : {2, 9, 20})
            for (bool vcausal : {false, true}) {
                const int w = s.first, h = s.second;
                const std::vector<int32_t> src = random_block(w, h, bits, 3, rng);
                for (int p = 1; p < bits; p += 3) {
                    SCOPED_TRACE(::testing::Message() << w << "x" << h << " bits " << bits
                                                      << " p " << p << " vc " << vcausal);
                    ASSERT_EQ(htenc_encodecln(src.data(), w, w, h, p, cln), 0);
                    double dd[2];
                    htenc_encoderef(src.data(), w, w, h, p, vcausal, sp, spmr,
                                    p > 1 ? uint32_t{1} << (p - 2) : 0, dd);
                    double lower = 0;  // the decrease so far of the squared error
                    for (int numref : {1, 2}) {
                        const std::vector<uint8_t>& ref = numref == 1 ? sp : spmr;
                        std::vector<int32_t> out(size_t(w) * h);
                        htdec_cblk_t cb = cleanup_block(cln, p, w, h, out.data(), w);
                        cb.ref = ref.data();
                        cb.lref = int(ref.size());
                        cb.numrefpasses = numref;
                        cb.vcausal = vcausal;
                        ASSERT_EQ(htdec_decodecblk(cb, scratch), 0);
                        for (int i = 0; i < w * h; ++i) {
                            const int32_t x = src[i];
                            const uint32_t m = x < 0 ? 0u - uint32_t(x) : uint32_t(x);
                            int32_t want = expected_ref(x, p, numref);
                            if (!(m >> p) && ((m >> (p - 1)) & 1) && out[i] != 0) {
                                // Newly significant in SigProp (when a
                                // neighbour is significant).
                                const uint32_t v = (uint32_t{1} << (p - 1)) |
                                                   (p > 1 ? uint32_t{1} << (p - 2) : 0);
                                want = x < 0 ? -int32_t(v) : int32_t(v);
                            }
                            ASSERT_EQ(out[i], want) << "sample " << i << " numref " << numref;
                        }
                        // The decrease reported against the decoder's pictures.
                        double fall = 0;
                        for (int i = 0; i < w * h; ++i) {
                            const double m = std::abs(double(src[i]));
                            const double a = m - std::abs(double(expected(src[i], p)));
                            const double b = m - std::abs(double(out[i]));
                            fall += a * a - b * b;
                        }
                        lower += dd[numref - 1];
                        EXPECT_NEAR(lower, fall, 1e-9 * std::max(1.0, std::abs(fall)));
                    }
                }
            }
}

// Damaged segments: every byte flipped in turn, cut at every length, and
// random bytes, with refinement segments of random bytes too.
TEST(HtBlock, DamagedSegmentsNeverCrash)
{
    std::mt19937 rng(3);
    const int w = 32, h = 16;
    std::vector<int32_t> src = random_block(w, h, 12, 3, rng);
    std::vector<uint8_t> seg;
    ASSERT_EQ(htenc_encodecln(src.data(), w, w, h, 0, seg), 0);
    htdec_scratch_t scratch;
    std::vector<int32_t> out(size_t(w) * h);
    auto decode = [&](const std::vector<uint8_t>& cln, const std::vector<uint8_t>& ref, int p,
                      int numref) {
        // Exact-size copies, so that a read past the end is caught by the
        // sanitizers.
        std::vector<uint8_t> c(cln), r(ref);
        htdec_cblk_t cb;
        cb.cln = c.data();
        cb.lcup = int(c.size());
        cb.ref = r.empty() ? nullptr : r.data();
        cb.lref = int(r.size());
        cb.numrefpasses = numref;
        cb.p = p;
        cb.width = w;
        cb.height = h;
        cb.data = out.data();
        cb.stride = w;
        return htdec_decodecblk(cb, scratch);
    };
    CaptureStderr();
    int failed = 0;
    for (size_t i = 0; i < seg.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> d = seg;
            d[i] ^= uint8_t(1 << bit);
            failed += decode(d, {}, int(i % 4), 0) != 0;
        }
    for (size_t n = 0; n < seg.size(); ++n)
        failed += decode(std::vector<uint8_t>(seg.begin(), seg.begin() + n), {}, 2, 2) != 0;
    for (int t = 0; t < 300; ++t) {
        std::vector<uint8_t> d(1 + rng() % 300), r(rng() % 40);
        for (uint8_t& b : d)
            b = uint8_t(rng());
        for (uint8_t& b : r)
            b = uint8_t(rng());
        failed += decode(d, r, 1 + int(rng() % 20), 1 + int(rng() % 2)) != 0;
    }
    GetCapturedStderr();
    EXPECT_GT(failed, 0);  // some damage is detected
}

}  // namespace
