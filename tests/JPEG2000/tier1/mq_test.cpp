// MQ encoder and decoder: known output, round trips over many contexts and
// codewords, termination, and decoding of short or missing data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tier1/mqdec.h"
#include "tier1/mqenc.h"
#include "base/stream.h"

namespace {

using bytes = std::vector<uint8_t>;

// Initial states of the tier-1 coder's 19 contexts.
std::vector<mqctx_t> t1_ctxs()
{
    std::vector<mqctx_t> ctxs(19, mqctx_t{0, 0});
    ctxs[0].ind = 3;
    ctxs[1].ind = 4;
    ctxs[18].ind = 46;
    return ctxs;
}

bytes stream_bytes(stream_t* s)
{
    const unsigned char* data = stream_memdata(s);
    return bytes(data, data + stream_memlength(s));
}

// A memory stream holding data, positioned at its start.
stream_t* input_stream(const bytes& data)
{
    stream_t* s = stream_memopen(nullptr, 0);
    EXPECT_TRUE(s);
    EXPECT_EQ(stream_write(s, data.data(), static_cast<int64_t>(data.size())),
              static_cast<int64_t>(data.size()));
    EXPECT_EQ(stream_rewind(s), 0);
    return s;
}

struct decision {
    int ctx;
    int bit;
};

// Random decisions: each context has its own skew, some nearly constant.
std::vector<decision> random_decisions(std::mt19937& rng, size_t n, int numctxs)
{
    std::vector<double> p1(numctxs);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (auto& p : p1) {
        const double r = u(rng);
        p = r < 0.3 ? r * r * r : (r < 0.6 ? 1.0 - r * r * r : r);
    }
    std::uniform_int_distribution<int> ctxdist(0, numctxs - 1);
    std::vector<decision> out(n);
    for (auto& d : out) {
        d.ctx = ctxdist(rng);
        d.bit = u(rng) < p1[d.ctx] ? 1 : 0;
    }
    return out;
}

// Encodes decisions into one codeword with the object-held registers.
bytes encode_putbit(const std::vector<decision>& ds, const std::vector<mqctx_t>& init,
                    int* runlen = nullptr)
{
    stream_t* out = stream_memopen(nullptr, 0);
    mqenc_t* enc = mqenc_create(static_cast<int>(init.size()), out);
    mqenc_setctxs(enc, static_cast<int>(init.size()), init.data());
    for (const auto& d : ds) {
        mqenc_setcurctx(enc, d.ctx);
        EXPECT_EQ(mqenc_putbit(enc, d.bit), 0);
    }
    if (runlen)
        *runlen = enc->runlen;
    EXPECT_EQ(mqenc_flush(enc), 0);
    bytes b = stream_bytes(out);
    mqenc_destroy(enc);
    stream_close(out);
    return b;
}

// Decodes n decisions of the given contexts from data with the local-register
// interface, reading the data from a stream with mqdec_decode and, again, in
// place from memory with mqdec_decodeflat: both must give the same decisions.
std::vector<int> decode(const bytes& data, const std::vector<decision>& ds,
                        const std::vector<mqctx_t>& init)
{
    std::vector<int> bits[2];
    stream_t* in = input_stream(data);
    for (int inplace = 0; inplace < 2; ++inplace) {
        mqdec_t* dec = mqdec_create(static_cast<int>(init.size()), inplace ? nullptr : in);
        if (inplace) {
            mqdec_setbuf(dec, data.data(), static_cast<int64_t>(data.size()));
            mqdec_init(dec);
        }
        mqdec_setctxs(dec, static_cast<int>(init.size()), init.data());
        mqdregs_t regs = mqdec_getregs(dec);
        for (const auto& d : ds)
            bits[inplace].push_back(inplace ? mqdec_decodeflat(dec, regs, mqdec_ctx(dec, d.ctx))
                                            : mqdec_decode(dec, regs, mqdec_ctx(dec, d.ctx)));
        mqdec_setregs(dec, regs);
        mqdec_destroy(dec);
    }
    stream_close(in);
    EXPECT_EQ(bits[0], bits[1]) << "stream and in-place input (or the two steps) differ";
    return bits[0];
}

std::vector<int> bits_of(const std::vector<decision>& ds)
{
    std::vector<int> bits;
    for (const auto& d : ds)
        bits.push_back(d.bit);
    return bits;
}

}  // namespace

// The test sequence of the MQ coder (ITU-T T.88 Annex H.2): 256 decisions in
// one context starting at index 0, MPS 0, closed by the marker 0xFF 0xAC.
TEST(Mq, KnownSequenceEncodesToKnownBytes)
{
    const bytes input = {0x00, 0x02, 0x00, 0x51, 0x00, 0x00, 0x00, 0xc0, 0x03, 0x52, 0x87,
                         0x2a, 0xaa, 0xaa, 0xaa, 0xaa, 0x82, 0xc0, 0x20, 0x00, 0xfc, 0xd7,
                         0x9e, 0xf6, 0xbf, 0x7f, 0xed, 0x90, 0x4f, 0x46, 0xa3, 0xbf};
    const bytes expected = {0x84, 0xc7, 0x3b, 0xfc, 0xe1, 0xa1, 0x43, 0x04, 0x02, 0x20,
                            0x00, 0x00, 0x41, 0x0d, 0xbb, 0x86, 0xf4, 0x31, 0x7f, 0xff,
                            0x88, 0xff, 0x37, 0x47, 0x1a, 0xdb, 0x6a, 0xdf, 0xff, 0xac};
    std::vector<decision> ds;
    for (uint8_t byte : input)
        for (int i = 7; i >= 0; --i)
            ds.push_back({0, (byte >> i) & 1});
    const std::vector<mqctx_t> init = {{0, 0}};
    EXPECT_EQ(encode_putbit(ds, init), expected);
    EXPECT_EQ(decode(expected, ds, init), bits_of(ds));
}

TEST(Mq, StateTableSuccessors)
{
    // The MPS successor keeps the MPS; the LPS successor switches it only
    // where the table says so (indices 0, 6 and 14).
    for (int i = 0; i < MQ_NUMSTATES; ++i) {
        const mqstate_t* s = &mqstates[i];
        EXPECT_EQ(s->mps, i & 1);
        EXPECT_EQ(s->nmps->mps, s->mps);
        EXPECT_EQ(s->qeval, mqstates[i ^ 1].qeval);
        const int ind = i / 2;
        const bool switches = ind == 0 || ind == 6 || ind == 14;
        EXPECT_EQ(s->nlps->mps, switches ? 1 - s->mps : s->mps) << "entry " << i;
    }
    EXPECT_EQ(mq_stateno(mq_state(1, 46)), 93);
    EXPECT_EQ(mqstates[93].nmps, &mqstates[93]);
}

// Long random sequences over the tier-1 contexts, both interfaces, and the
// decoder reading the codeword with other closings that read as 1 bits.
TEST(Mq, RandomRoundTrips)
{
    std::mt19937 rng(12345);
    const auto init = t1_ctxs();
    for (int trial = 0; trial < 40; ++trial) {
        const size_t n = trial < 10 ? static_cast<size_t>(trial) : 1000 + 5000 * (trial % 7);
        const auto ds = random_decisions(rng, n, 19);
        const bytes code = encode_putbit(ds, init);
        ASSERT_GE(code.size(), 2u);
        EXPECT_EQ(code[code.size() - 2], 0xff);
        EXPECT_EQ(code.back(), 0xac);

        // The local-register interface writes the same codeword.
        stream_t* out = stream_memopen(nullptr, 0);
        mqenc_t* enc = mqenc_create(19, out);
        mqenc_setctxs(enc, 19, init.data());
        mqregs_t regs = mqenc_getregs(enc);
        for (const auto& d : ds)
            mqenc_encode(enc, regs, mqenc_ctx(enc, d.ctx), d.bit);
        mqenc_setregs(enc, regs);
        EXPECT_EQ(mqenc_flush(enc), 0);
        EXPECT_EQ(stream_bytes(out), code);
        mqenc_destroy(enc);
        stream_close(out);

        const auto expected = bits_of(ds);
        EXPECT_EQ(decode(code, ds, init), expected) << "trial " << trial;
        // Without its closing marker, or with another marker and data after
        // it, the codeword decodes alike.
        const bytes stripped(code.begin(), code.end() - 2);
        EXPECT_EQ(decode(stripped, ds, init), expected) << "trial " << trial;
        bytes other = code;
        other.back() = 0x90;
        other.insert(other.end(), {0xff, 0xff, 0xd9});
        EXPECT_EQ(decode(other, ds, init), expected) << "trial " << trial;
    }
}

// Many short codewords: each decodes, holds no marker before its closing
// 0xFF 0xAC, and never ends in a held 0xFF/0x7F run.
TEST(Mq, ShortCodewords)
{
    std::mt19937 rng(777);
    const auto init = t1_ctxs();
    int withrun = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        // Many short codewords of extreme skew end in 0xFF runs often.
        std::vector<decision> ds;
        if (trial % 4 == 0) {
            ds.resize(1 + trial % 50);
            for (auto& d : ds) {
                d.ctx = trial % 3 == 0 ? 18 : static_cast<int>(rng() % 19);
                d.bit = trial % 8 ? 1 : static_cast<int>(rng() % 2);
            }
        } else {
            ds = random_decisions(rng, rng() % 300, 19);
        }
        int runlen = 0;
        const bytes code = encode_putbit(ds, init, &runlen);
        withrun += runlen > 0;
        ASSERT_GE(code.size(), 2u);
        const size_t k = code.size() - 2;  // index of the closing 0xFF
        ASSERT_EQ(code[k], 0xff);
        ASSERT_EQ(code[k + 1], 0xac);
        for (size_t i = 0; i < k; ++i) {
            if (code[i] == 0xff) {
                ASSERT_LT(code[i + 1], 0x90) << "trial " << trial << " at " << i;
            }
        }
        if (k >= 1) {
            ASSERT_NE(code[k - 1], 0xff) << "trial " << trial;
        }
        if (k >= 2) {
            ASSERT_FALSE(code[k - 1] == 0x7f && code[k - 2] == 0xff) << "trial " << trial;
        }
        ASSERT_EQ(decode(code, ds, init), bits_of(ds)) << "trial " << trial;
    }
    EXPECT_GT(withrun, 30);  // runs pending when the flush began
}

// One code block's life: several codewords in turn, registers initialised
// after every flush, contexts carried on or reset, and the decoder pointed at
// each codeword's own stream.
TEST(Mq, SegmentsWithInitAndResets)
{
    std::mt19937 rng(4242);
    const auto init = t1_ctxs();
    for (int trial = 0; trial < 20; ++trial) {
        const int numsegs = 1 + trial % 9;
        const bool resetprob = trial % 2;
        std::vector<std::vector<decision>> segs;
        for (int i = 0; i < numsegs; ++i)
            segs.push_back(random_decisions(rng, rng() % 3000, 19));

        stream_t* out = stream_memopen(nullptr, 0);
        mqenc_t* enc = mqenc_create(19, out);
        mqenc_setctxs(enc, 19, init.data());
        std::vector<int64_t> ends;
        for (const auto& seg : segs) {
            for (const auto& d : seg) {
                mqenc_setcurctx(enc, d.ctx);
                ASSERT_EQ(mqenc_putbit(enc, d.bit), 0);
            }
            ASSERT_EQ(mqenc_flush(enc), 0);
            mqencstate_t state;
            mqenc_getstate(enc, &state);
            EXPECT_EQ(state.lastbyte, 0xac);
            mqenc_init(enc);
            if (resetprob)
                mqenc_setctxs(enc, 19, init.data());
            ends.push_back(stream_memlength(out));
        }
        const bytes all = stream_bytes(out);
        mqenc_destroy(enc);
        stream_close(out);

        mqdec_t* dec = mqdec_create(19, nullptr);
        mqdec_setctxs(dec, 19, init.data());
        int64_t start = 0;
        for (int i = 0; i < numsegs; ++i) {
            const bytes part(all.begin() + start, all.begin() + ends[i]);
            EXPECT_EQ(part.back(), 0xac);
            stream_t* in = input_stream(part);
            mqdec_setinput(dec, in);
            mqdec_init(dec);
            for (const auto& d : segs[i]) {
                mqdec_setcurctx(dec, d.ctx);
                ASSERT_EQ(mqdec_getbit(dec), d.bit) << "trial " << trial << " segment " << i;
            }
            if (resetprob)
                mqdec_setctxs(dec, 19, init.data());
            stream_close(in);
            start = ends[i];
        }
        mqdec_destroy(dec);
    }
}

// A codeword cut where a pass ended, at the length that the finished
// codeword's bytes allow (mostly shorter than the bound of a few bytes after
// the written data and the held-back run), still decodes that pass: the
// tier-1 coder's pass ends.
TEST(Mq, CutAfterHeldRunDecodesThePass)
{
    std::mt19937 rng(1);
    int withrun = 0, shorter = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        stream_t* out = stream_memopen(nullptr, 0);
        mqenc_t* enc = mqenc_create(19, out);
        std::vector<decision> ds;
        std::vector<size_t> passend;
        std::vector<int64_t> cut;  // bytes written at each pass end
        std::vector<mqencstate_t> states;
        const int numpasses = 2 + static_cast<int>(rng() % 8);
        for (int p = 0; p < numpasses; ++p) {
            // Runs of 1 decisions make long 0xFF, 0x7F runs.
            const auto more = random_decisions(rng, rng() % 200, 19);
            for (auto d : more) {
                if (trial % 3 == 0)
                    d.bit = 1;
                ds.push_back(d);
                mqenc_setcurctx(enc, d.ctx);
                mqenc_putbit(enc, d.bit);
            }
            mqencstate_t state;
            mqenc_getstate(enc, &state);
            withrun += state.runlen > 0;
            passend.push_back(ds.size());
            states.push_back(state);
            cut.push_back(stream_tell(out));
        }
        mqenc_flush(enc);
        const bytes code = stream_bytes(out);
        mqenc_destroy(enc);
        stream_close(out);
        for (int p = 0; p < numpasses; ++p) {
            const int64_t bound = std::min<int64_t>(
                cut[p] + states[p].runlen + 4 + (states[p].lastbyte == 0xff) + (states[p].ctreg < 5),
                int64_t(code.size()));
            const size_t len = size_t(mqenc_trunclen(&states[p], cut[p], code.data(), code.size()));
            ASSERT_LE(int64_t(len), bound);
            shorter += int64_t(len) < bound;
            const std::vector<decision> head(ds.begin(), ds.begin() + passend[p]);
            ASSERT_EQ(decode(bytes(code.begin(), code.begin() + len), head, std::vector<mqctx_t>(19)),
                      bits_of(head))
                << "trial " << trial << " pass " << p;
        }
    }
    EXPECT_GT(withrun, 100);
    EXPECT_GT(shorter, 3000);  // the bytes themselves mostly allow a shorter cut
}

// Missing data reads as 1 bits: empty input, a prefix of a codeword, and the
// same prefix padded with 0xFF decode alike, without reading past the end.
TEST(Mq, DecoderPastTheEnd)
{
    std::mt19937 rng(99);
    const auto init = t1_ctxs();
    const auto ds = random_decisions(rng, 4000, 19);
    const bytes code = encode_putbit(ds, init);
    for (size_t len : {size_t{0}, size_t{1}, size_t{2}, code.size() / 3, code.size() / 2}) {
        const bytes prefix(code.begin(), code.begin() + len);
        bytes padded = prefix;
        padded.insert(padded.end(), 64, 0xff);
        stream_t* in = input_stream(prefix);
        mqdec_t* dec = mqdec_create(19, in);
        mqdec_setctxs(dec, 19, init.data());
        std::vector<int> got;
        for (const auto& d : ds) {
            mqdec_setcurctx(dec, d.ctx);
            got.push_back(mqdec_getbit(dec));
        }
        EXPECT_EQ(stream_tell(in), static_cast<int64_t>(len));
        mqdec_destroy(dec);
        stream_close(in);
        EXPECT_EQ(got, decode(padded, ds, init)) << "prefix " << len;
        EXPECT_EQ(decode(prefix, ds, init), got) << "prefix " << len;
    }
    // No input stream at all behaves as empty data.
    mqdec_t* dec = mqdec_create(1, nullptr);
    mqdec_init(dec);
    for (int i = 0; i < 1000; ++i) {
        const int bit = mqdec_getbit(dec);
        ASSERT_TRUE(bit == 0 || bit == 1);
    }
    mqdec_destroy(dec);
}

// Any bytes, damaged ones too, decode as T.800's byte-at-a-time decoder
// decodes them (C of 32 bits, a byte read when CT runs out): the decoder's
// bytes read ahead must not move a carry after a 0xFF, a marker or the end
// of the data to another decision.  A moved carry seldom changes a
// decision, so the registers are compared.
TEST(Mq, ReadAheadDecodesAsByteAtATime)
{
    struct reference {
        const bytes& d;
        size_t pos = 0;
        int last = 0;
        bool eof = false;
        uint32_t a = 0x8000, c = 0;
        int ct = 0;
        int next()
        {
            if (pos < d.size())
                return d[pos++];
            eof = true;
            return 0xff;
        }
        void bytein()
        {
            if (eof) {
                c += 0xff00, ct = 8;
                return;
            }
            const int b = next();
            if (last == 0xff && b < 0x90)
                c += uint32_t(b) << 9, ct = 7;
            else
                c += uint32_t(last == 0xff ? 0xff : b) << 8, ct = 8;
            last = b;
        }
        explicit reference(const bytes& data) : d(data)
        {
            last = next();
            c = uint32_t(last) << 16;
            bytein();
            c <<= 7, ct -= 7;
        }
        int decode(const mqstate_t*& s)
        {
            int bit;
            a -= s->qeval;
            if ((c >> 16) < s->qeval) {
                bit = a < s->qeval ? s->mps : 1 - s->mps;
                const bool lps = a >= s->qeval;
                a = s->qeval;
                s = lps ? s->nlps : s->nmps;
            } else {
                c -= uint32_t(s->qeval) << 16;
                if (a & 0x8000)
                    return s->mps;
                bit = a < s->qeval ? 1 - s->mps : s->mps;
                s = a < s->qeval ? s->nlps : s->nmps;
            }
            do {
                if (ct == 0)
                    bytein();
                a <<= 1, c <<= 1, --ct;
            } while (!(a & 0x8000));
            return bit;
        }
    };
    std::mt19937 rng(2718);
    const auto init = t1_ctxs();
    for (int trial = 0; trial < 3000; ++trial) {
        // Bytes of 0xFF, carries (0x80..0x8F), markers and anything else.
        bytes data(rng() % 40);
        for (auto& b : data) {
            const unsigned r = rng() % 8;
            b = r < 2 ? 0xff : r < 3 ? 0x80 + rng() % 16 : r < 4 ? 0x90 + rng() % 0x70 : rng() & 0xff;
        }
        const auto ds = random_decisions(rng, 400, 19);
        reference ref(data);
        std::vector<const mqstate_t*> states;
        for (const auto& c : init)
            states.push_back(mq_state(c.mps, c.ind));
        // The registers agree after each decision: A, and C's bits down to
        // the last one that the byte-at-a-time decoder read.
        mqdec_t* dec = mqdec_create(19, nullptr);
        mqdec_setbuf(dec, data.data(), static_cast<int64_t>(data.size()));
        mqdec_init(dec);
        mqdec_setctxs(dec, 19, init.data());
        mqdregs_t regs = mqdec_getregs(dec);
        std::vector<int> expected;
        for (size_t i = 0; i < ds.size(); ++i) {
            expected.push_back(ref.decode(states[ds[i].ctx]));
            ASSERT_EQ(mqdec_decode(dec, regs, mqdec_ctx(dec, ds[i].ctx)), expected.back());
            ASSERT_EQ(regs.a, ref.a);
            ASSERT_EQ(regs.c >> (48 - ref.ct), ref.c >> (16 - ref.ct))
                << "trial " << trial << " decision " << i;
        }
        mqdec_destroy(dec);
        ASSERT_EQ(decode(data, ds, init), expected) << "trial " << trial;
    }
}

// A refused byte sets the error flag: encode and flush report it.
TEST(Mq, WriteFailureIsReported)
{
    stream_t* out = stream_memopen(nullptr, 0);
    stream_setrwlimit(out, 2);
    mqenc_t* enc = mqenc_create(1, out);
    std::mt19937 rng(5);
    int failed = 0;
    for (int i = 0; i < 2000; ++i)
        failed |= mqenc_putbit(enc, static_cast<int>(rng() & 1)) < 0;
    EXPECT_TRUE(failed);
    EXPECT_EQ(mqenc_flush(enc), -1);
    EXPECT_TRUE(mqenc_error(enc));
    mqenc_init(enc);
    EXPECT_FALSE(mqenc_error(enc));
    mqenc_destroy(enc);
    stream_close(out);
}
