// MQ arithmetic decoder and the probability state table.
#include "tier1/mqdec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/fatal.h"

// T.800 Table C.2, one row per probability index: Qe, the index after an MPS
// renormalization, the index after an LPS, and whether an LPS switches the
// MPS.  Each row gives the two entries 2 * index + MPS.
#define MQ_TABLE(X) \
    X(0x5601, 1, 1, 1) /* 0 */ \
    X(0x3401, 2, 6, 0) /* 1 */ \
    X(0x1801, 3, 9, 0) /* 2 */ \
    X(0x0ac1, 4, 12, 0) /* 3 */ \
    X(0x0521, 5, 29, 0) /* 4 */ \
    X(0x0221, 38, 33, 0) /* 5 */ \
    X(0x5601, 7, 6, 1) /* 6 */ \
    X(0x5401, 8, 14, 0) /* 7 */ \
    X(0x4801, 9, 14, 0) /* 8 */ \
    X(0x3801, 10, 14, 0) /* 9 */ \
    X(0x3001, 11, 17, 0) /* 10 */ \
    X(0x2401, 12, 18, 0) /* 11 */ \
    X(0x1c01, 13, 20, 0) /* 12 */ \
    X(0x1601, 29, 21, 0) /* 13 */ \
    X(0x5601, 15, 14, 1) /* 14 */ \
    X(0x5401, 16, 14, 0) /* 15 */ \
    X(0x5101, 17, 15, 0) /* 16 */ \
    X(0x4801, 18, 16, 0) /* 17 */ \
    X(0x3801, 19, 17, 0) /* 18 */ \
    X(0x3401, 20, 18, 0) /* 19 */ \
    X(0x3001, 21, 19, 0) /* 20 */ \
    X(0x2801, 22, 19, 0) /* 21 */ \
    X(0x2401, 23, 20, 0) /* 22 */ \
    X(0x2201, 24, 21, 0) /* 23 */ \
    X(0x1c01, 25, 22, 0) /* 24 */ \
    X(0x1801, 26, 23, 0) /* 25 */ \
    X(0x1601, 27, 24, 0) /* 26 */ \
    X(0x1401, 28, 25, 0) /* 27 */ \
    X(0x1201, 29, 26, 0) /* 28 */ \
    X(0x1101, 30, 27, 0) /* 29 */ \
    X(0x0ac1, 31, 28, 0) /* 30 */ \
    X(0x09c1, 32, 29, 0) /* 31 */ \
    X(0x08a1, 33, 30, 0) /* 32 */ \
    X(0x0521, 34, 31, 0) /* 33 */ \
    X(0x0441, 35, 32, 0) /* 34 */ \
    X(0x02a1, 36, 33, 0) /* 35 */ \
    X(0x0221, 37, 34, 0) /* 36 */ \
    X(0x0141, 38, 35, 0) /* 37 */ \
    X(0x0111, 39, 36, 0) /* 38 */ \
    X(0x0085, 40, 37, 0) /* 39 */ \
    X(0x0049, 41, 38, 0) /* 40 */ \
    X(0x0025, 42, 39, 0) /* 41 */ \
    X(0x0015, 43, 40, 0) /* 42 */ \
    X(0x0009, 44, 41, 0) /* 43 */ \
    X(0x0005, 45, 42, 0) /* 44 */ \
    X(0x0001, 45, 43, 0) /* 45 */ \
    X(0x5601, 46, 46, 0) /* 46 */

#define MQ_ROW(qeval, nmps, nlps, switchmps)                                     \
    {qeval, 0, &mqstates[2 * (nmps)], &mqstates[2 * (nlps) + (switchmps)]},     \
        {qeval, 1, &mqstates[2 * (nmps) + 1], &mqstates[2 * (nlps) + 1 - (switchmps)]},

const mqstate_t mqstates[MQ_NUMSTATES] = {MQ_TABLE(MQ_ROW)};

namespace {

#define MQ_QEVAL(qeval, nmps, nlps, switchmps) qeval,
constexpr uint16_t mq_qevals[MQ_NUMSTATES / 2] = {MQ_TABLE(MQ_QEVAL)};

constexpr mqslot_t mq_entryslot(int entry)
{
    return uint32_t{mq_qevals[entry >> 1]} << 16 | static_cast<uint32_t>(entry);
}

}  // namespace

// The successor slots of the two entries of each row.
#define MQ_NEXT(qeval, nmps, nlps, switchmps)                            \
    mq_entryslot(2 * (nmps)), mq_entryslot(2 * (nlps) + (switchmps)),    \
        mq_entryslot(2 * (nmps) + 1), mq_entryslot(2 * (nlps) + 1 - (switchmps)),

const mqslot_t mqdec_next[2 * MQ_NUMSTATES] = {MQ_TABLE(MQ_NEXT)};

#undef MQ_NEXT
#undef MQ_QEVAL
#undef MQ_ROW
#undef MQ_TABLE

namespace {

// The next input byte, -1 at the end of the data.
inline int mqdec_nextbyte(mqdec_t* dec)
{
    if (dec->bp)
        return dec->bp < dec->bend ? *dec->bp++ : -1;
    return dec->in ? stream_getc(dec->in) : -1;
}

// T.800 BYTEIN, reading ahead while C has room for a byte below the bits it
// holds (CT <= 40).  Past the end of the data the decoder reads 1 bits.
// After a 0xFF the next byte's top bit lands on the 0xFF's last bit (a
// carry of the coder): it is read only when the 0xFF's bits have all been
// shifted out (CT = 0), as T.800 reads it, so that the carry reaches the
// compared bits at the same decision.  After a 0xFF, a byte of 0x90 or more
// is a marker: it feeds 1 bits once and is consumed.  Bytes without a 0xFF
// among them come from one 64-bit load when 8 bytes are left.
void mqdec_fill(mqdec_t* dec, mqdregs_t& regs)
{
    while (regs.ct <= 40) {
        if (dec->eof) {
            regs.c += uint64_t{0xff} << (40 - regs.ct);
            regs.ct += 8;
            continue;
        }
        if (dec->inbuffer == 0xff) {
            if (regs.ct > 0)
                return;
            int b = mqdec_nextbyte(dec);
            if (b < 0) {
                dec->eof = 1;
                b = 0xff;
            }
            if (b < 0x90) {
                regs.c += uint64_t(b) << 41;
                regs.ct = 7;
            } else {
                regs.c += uint64_t{0xff} << 40;
                regs.ct = 8;
            }
            dec->inbuffer = b;
            continue;
        }
        if (dec->bp && dec->bend - dec->bp >= 8) {
            uint64_t v;
            std::memcpy(&v, dec->bp, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            v = __builtin_bswap64(v);
#endif
            // v holds the bytes first in its low end; the first 0xFF
            // (a zero byte of ~v, found exactly at the lowest one) ends
            // the load.
            const uint64_t t = ~v;
            const uint64_t ffs = (t - 0x0101010101010101ull) & ~t & 0x8080808080808080ull;
            int k = (48 - regs.ct) >> 3;
            if (ffs)
                k = std::min(k, (__builtin_ctzll(ffs) >> 3) + 1);
            const uint64_t be = __builtin_bswap64(v);
            regs.c += (be >> (64 - 8 * k)) << (48 - regs.ct - 8 * k);
            regs.ct += 8 * k;
            dec->inbuffer = static_cast<int>((v >> (8 * (k - 1))) & 0xff);
            dec->bp += k;
            continue;
        }
        int b = mqdec_nextbyte(dec);
        if (b < 0) {
            dec->eof = 1;
            b = 0xff;
        }
        regs.c += uint64_t(b) << (40 - regs.ct);
        regs.ct += 8;
        dec->inbuffer = b;
    }
}

void mqdec_setdefault(mqdec_t* dec)
{
    for (int i = 0; i < dec->maxctxs; ++i)
        dec->ctxs[i] = mq_slot(&mqstates[0]);
}

}  // namespace

mqdec_t* mqdec_create(int maxctxs, stream_t* in)
{
    FATAL_CHECK(maxctxs > 0);
    mqdec_t* dec = new (std::nothrow) mqdec_t;
    if (!dec)
        return nullptr;
    dec->ctxs = new (std::nothrow) mqslot_t[maxctxs];
    if (!dec->ctxs) {
        delete dec;
        return nullptr;
    }
    dec->maxctxs = maxctxs;
    dec->curctx = &dec->ctxs[0];
    dec->in = in;
    dec->bp = nullptr;
    dec->bend = nullptr;
    dec->inbuffer = 0;
    dec->eof = 0;
    dec->areg = 0x8000;
    dec->creg = 0;
    dec->ctreg = 0;
    mqdec_setdefault(dec);
    if (in)
        mqdec_init(dec);
    return dec;
}

void mqdec_destroy(mqdec_t* dec)
{
    if (!dec)
        return;
    delete[] dec->ctxs;
    delete dec;
}

void mqdec_setinput(mqdec_t* dec, stream_t* in)
{
    dec->in = in;
    dec->bp = nullptr;
    dec->bend = nullptr;
}

void mqdec_setbuf(mqdec_t* dec, const uint8_t* data, int64_t len)
{
    dec->in = nullptr;
    // A buffer without bytes reads as the end of the data at once.
    static const uint8_t none = 0;
    dec->bp = data && len > 0 ? data : &none;
    dec->bend = data && len > 0 ? data + len : &none;
}

void mqdec_init(mqdec_t* dec)
{
    // The first byte fills C's top 8 bits; the rest come as BYTEIN reads
    // them (a 0xFF first makes the second a carry-taking one).
    mqdregs_t regs{0x8000, 0, 0};
    dec->eof = 0;
    int b = mqdec_nextbyte(dec);
    if (b < 0) {
        dec->eof = 1;
        b = 0xff;
    }
    dec->inbuffer = b;
    regs.c = uint64_t(b) << 48;
    mqdec_fill(dec, regs);
    regs.c <<= 7;
    regs.ct -= 7;
    mqdec_setregs(dec, regs);
}

void mqdec_setctxs(mqdec_t* dec, int numctxs, const mqctx_t* ctxs)
{
    const int n = std::min(numctxs, dec->maxctxs);
    for (int i = 0; i < n; ++i) {
        FATAL_CHECK(ctxs[i].ind >= 0 && ctxs[i].ind < MQ_NUMSTATES / 2);
        dec->ctxs[i] = mq_slot(mq_state(ctxs[i].mps, ctxs[i].ind));
    }
    for (int i = std::max(n, 0); i < dec->maxctxs; ++i)
        dec->ctxs[i] = mq_slot(&mqstates[0]);
}

void mqdec_setctx(mqdec_t* dec, int ctxno, const mqctx_t* ctx)
{
    FATAL_CHECK(ctxno >= 0 && ctxno < dec->maxctxs);
    FATAL_CHECK(ctx->ind >= 0 && ctx->ind < MQ_NUMSTATES / 2);
    dec->ctxs[ctxno] = mq_slot(mq_state(ctx->mps, ctx->ind));
}

// T.800 RENORMD, shifting as many bits at once as CT allows.
mqdregs_t mqdec_renorm_slow(mqdec_t* dec, mqdregs_t regs, int n)
{
    for (;;) {
        mqdec_fill(dec, regs);
        const int k = std::min(n, static_cast<int>(regs.ct));
        regs.a <<= k;
        regs.c <<= k;
        regs.ct -= k;
        n -= k;
        if (n == 0)
            return regs;
    }
}

void mqdec_dump(const mqdec_t* dec, FILE* out)
{
    fprintf(out, "MQDEC A = %08lx, C = %016llx, CT=%08lx, ", static_cast<unsigned long>(dec->areg),
            static_cast<unsigned long long>(dec->creg), static_cast<unsigned long>(dec->ctreg));
    fprintf(out, "CTX = %d, ", static_cast<int>(dec->curctx - dec->ctxs));
    const mqslot_t slot = *dec->curctx;
    fprintf(out, "IND %d, MPS %d, QEVAL %x\n", static_cast<int>(slot & 0xff),
            static_cast<int>(slot & 1), static_cast<unsigned>(slot >> 16));
}
