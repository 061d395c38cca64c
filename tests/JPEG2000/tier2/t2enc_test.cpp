// Packet headers and bodies of the tier-2 encoder on hand-made code blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "codestream/jpc.h"
#include "encoder/jpenc_tree.h"
#include "base/seq.h"
#include "base/stream.h"
#include "tier2/t2enc.h"

namespace {

// A one-level component of 4 x 4 samples with one code block; its band has
// Mb 5 and the code block 3 bit planes (2 missing ones).
class Packets : public ::testing::Test {
protected:
    void SetUp() override
    {
        comp_.data = matrix_create(4, 4);
        jpenc_treeparams_t params = {1, 4, 4, JPC_COX_RFT};
        ASSERT_EQ(jpenc_buildcomp(&comp_, &params), 0);
        band_ = &comp_.lvls[0].bands[0];
        cblk_ = &band_->cblks[0];
        band_->numbps = 5;
        cblk_->numbps = 3;
    }
    void TearDown() override { jpenc_destroycomp(&comp_); }

    // Passes with the given ends (start = previous end) and terminations,
    // all in layer lyr; the code block's bytes are 0, 1, 2, ...
    void setpasses(const std::vector<int>& ends, const std::vector<int>& terms, int lyr)
    {
        int n = static_cast<int>(ends.size());
        cblk_->numpasses = n;
        cblk_->passes = static_cast<jpenc_pass_t*>(std::calloc(n, sizeof(jpenc_pass_t)));
        cblk_->stream = stream_memopen(nullptr, 0);
        int prev = 0;
        for (int i = 0; i < n; ++i) {
            cblk_->passes[i].start = prev;
            cblk_->passes[i].end = ends[i];
            cblk_->passes[i].term = terms[i];
            prev = ends[i];
        }
        for (int i = 0; i < prev; ++i)
            stream_putc(cblk_->stream, i);
        t2enc_reset(&comp_, 1, 1);
        for (int i = 0; i < n; ++i)
            cblk_->passes[i].lyrno = lyr;
    }

    std::vector<uint8_t> packet(int lyrno, int64_t* len = nullptr)
    {
        stream_t* out = stream_memopen(nullptr, 0);
        int64_t n = t2enc_encodepkt(&comp_, out, 0, 0, lyrno, 1);
        if (len)
            *len = n;
        std::vector<uint8_t> b(stream_memdata(out), stream_memdata(out) + stream_memlength(out));
        stream_close(out);
        return b;
    }

    // Bits "1011..." packed most significant first, zero padded.
    static std::vector<uint8_t> bits(const std::string& s)
    {
        std::vector<uint8_t> out;
        int n = 0, acc = 0;
        for (char c : s) {
            if (c == ' ')
                continue;
            acc = acc << 1 | (c == '1');
            if (++n == 8) {
                out.push_back(static_cast<uint8_t>(acc));
                n = acc = 0;
            }
        }
        if (n)
            out.push_back(static_cast<uint8_t>(acc << (8 - n)));
        return out;
    }

    static std::vector<uint8_t> body(int from, int to)
    {
        std::vector<uint8_t> b;
        for (int i = from; i < to; ++i)
            b.push_back(static_cast<uint8_t>(i));
        return b;
    }

    static std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    jpenc_comp_t comp_ = {};
    jpenc_band_t* band_ = nullptr;
    jpenc_cblk_t* cblk_ = nullptr;
};

TEST_F(Packets, CodeBlockNotIncludedGivesTheOneBytePacket)
{
    setpasses({5}, {1}, 1);
    int64_t len = 0;
    EXPECT_EQ(packet(0, &len), bits("1 0"));
    EXPECT_EQ(len, 1);
    // No passes at all: never included.
    TearDown();
    SetUp();
    t2enc_reset(&comp_, 1, 1);
    EXPECT_EQ(packet(0), bits("1 0"));
}

TEST_F(Packets, LengthBitsGrowWithLblock)
{
    // Inclusion 1, zero bit planes 001 (two missing), one pass 0, no Lblock
    // increase 0, length 7 in 3 bits.
    setpasses({7}, {1}, 0);
    EXPECT_EQ(packet(0), cat(bits("1 1 001 0 0 111"), body(0, 7)));
    EXPECT_EQ(cblk_->numlenbits, 3);
    EXPECT_EQ(cblk_->curpass, nullptr);
    EXPECT_EQ(cblk_->numencpasses, 1);
    TearDown();
    SetUp();
    // Length 8 needs Lblock 4: increase 1 0, then 8 in 4 bits.
    setpasses({8}, {1}, 0);
    EXPECT_EQ(packet(0), cat(bits("1 1 001 0 10 1000"), body(0, 8)));
    EXPECT_EQ(cblk_->numlenbits, 4);
}

TEST_F(Packets, TerminatedSegmentsShareOneLblockIncrease)
{
    // Three terminated passes of 3, 20 and 5 bytes: 3 passes are 1100, one
    // increase of 2 (110) makes Lblock 5 for all three lengths.
    setpasses({3, 23, 28}, {1, 1, 1}, 0);
    EXPECT_EQ(packet(0), cat(bits("1 1 001 1100 110 00011 10100 00101"), body(0, 28)));
    EXPECT_EQ(cblk_->numlenbits, 5);
}

TEST_F(Packets, PassCountCodes)
{
    // 6 passes in one segment: 1111 + 00000; the length 60 of one segment of
    // 6 passes needs 6 bits: an increase of 1 (10), then Lblock 4 + 2 bits.
    std::vector<int> ends, terms;
    for (int i = 1; i <= 6; ++i) {
        ends.push_back(10 * i);
        terms.push_back(i == 6);
    }
    setpasses(ends, terms, 0);
    EXPECT_EQ(packet(0), cat(bits("1 1 001 1111 00000 10 111100"), body(0, 60)));
}

TEST_F(Packets, LaterInclusionAndLaterLayers)
{
    // Passes 0-1 in layer 2, pass 2 in layer 3: the inclusion tree codes 0 in
    // layers 0 and 1 and 1 in layer 2; layer 3 spends a single 1 bit.
    setpasses({4, 6, 9}, {0, 0, 1}, 2);
    cblk_->passes[2].lyrno = 3;
    EXPECT_EQ(packet(0), bits("1 0"));
    EXPECT_EQ(packet(1), bits("1 0"));
    EXPECT_EQ(packet(2), cat(bits("1 1 001 10 0 0110"), body(0, 6)));
    EXPECT_EQ(packet(3), cat(bits("1 1 0 0 011"), body(6, 9)));
    EXPECT_EQ(cblk_->curpass, nullptr);
}

TEST_F(Packets, SaveAndRestoreUndoATrial)
{
    setpasses({4, 6, 9}, {0, 0, 1}, 0);
    t2enc_save(&comp_, 1);
    std::vector<uint8_t> first = packet(0);
    EXPECT_EQ(cblk_->curpass, nullptr);
    t2enc_restore(&comp_, 1);
    EXPECT_EQ(cblk_->curpass, cblk_->passes);
    EXPECT_EQ(cblk_->numencpasses, 0);
    EXPECT_EQ(packet(0), first);
    // Counting only: same length, header bytes only.
    t2enc_restore(&comp_, 1);
    stream_t* out = stream_memopen(nullptr, 0);
    EXPECT_EQ(t2enc_encodepkt(&comp_, out, 0, 0, 0, 0), static_cast<int64_t>(first.size()));
    EXPECT_EQ(stream_memlength(out), static_cast<int64_t>(first.size()) - 9);
    stream_close(out);
}

} // namespace
