// MQ arithmetic decoder and the probability state table.
#include "tier1/mqdec.h"

#include <algorithm>
#include <new>

#include "base/fatal.h"

// T.800 Table C.2, one row per probability index: Qe, the index after an MPS
// renormalization, the index after an LPS, and whether an LPS switches the
// MPS.  Each row gives the two entries 2 * index + MPS.
#define MQ_ROW(qeval, nmps, nlps, switchmps)                                               \
    {qeval, 0, &mqstates[2 * (nmps)], &mqstates[2 * (nlps) + (switchmps)]},                \
    {                                                                                      \
        qeval, 1, &mqstates[2 * (nmps) + 1], &mqstates[2 * (nlps) + 1 - (switchmps)]     \
    }

const mqstate_t mqstates[MQ_NUMSTATES] = {
    MQ_ROW(0x5601, 1, 1, 1),    // 0
    MQ_ROW(0x3401, 2, 6, 0),    // 1
    MQ_ROW(0x1801, 3, 9, 0),    // 2
    MQ_ROW(0x0ac1, 4, 12, 0),   // 3
    MQ_ROW(0x0521, 5, 29, 0),   // 4
    MQ_ROW(0x0221, 38, 33, 0),  // 5
    MQ_ROW(0x5601, 7, 6, 1),    // 6
    MQ_ROW(0x5401, 8, 14, 0),   // 7
    MQ_ROW(0x4801, 9, 14, 0),   // 8
    MQ_ROW(0x3801, 10, 14, 0),  // 9
    MQ_ROW(0x3001, 11, 17, 0),  // 10
    MQ_ROW(0x2401, 12, 18, 0),  // 11
    MQ_ROW(0x1c01, 13, 20, 0),  // 12
    MQ_ROW(0x1601, 29, 21, 0),  // 13
    MQ_ROW(0x5601, 15, 14, 1),  // 14
    MQ_ROW(0x5401, 16, 14, 0),  // 15
    MQ_ROW(0x5101, 17, 15, 0),  // 16
    MQ_ROW(0x4801, 18, 16, 0),  // 17
    MQ_ROW(0x3801, 19, 17, 0),  // 18
    MQ_ROW(0x3401, 20, 18, 0),  // 19
    MQ_ROW(0x3001, 21, 19, 0),  // 20
    MQ_ROW(0x2801, 22, 19, 0),  // 21
    MQ_ROW(0x2401, 23, 20, 0),  // 22
    MQ_ROW(0x2201, 24, 21, 0),  // 23
    MQ_ROW(0x1c01, 25, 22, 0),  // 24
    MQ_ROW(0x1801, 26, 23, 0),  // 25
    MQ_ROW(0x1601, 27, 24, 0),  // 26
    MQ_ROW(0x1401, 28, 25, 0),  // 27
    MQ_ROW(0x1201, 29, 26, 0),  // 28
    MQ_ROW(0x1101, 30, 27, 0),  // 29
    MQ_ROW(0x0ac1, 31, 28, 0),  // 30
    MQ_ROW(0x09c1, 32, 29, 0),  // 31
    MQ_ROW(0x08a1, 33, 30, 0),  // 32
    MQ_ROW(0x0521, 34, 31, 0),  // 33
    MQ_ROW(0x0441, 35, 32, 0),  // 34
    MQ_ROW(0x02a1, 36, 33, 0),  // 35
    MQ_ROW(0x0221, 37, 34, 0),  // 36
    MQ_ROW(0x0141, 38, 35, 0),  // 37
    MQ_ROW(0x0111, 39, 36, 0),  // 38
    MQ_ROW(0x0085, 40, 37, 0),  // 39
    MQ_ROW(0x0049, 41, 38, 0),  // 40
    MQ_ROW(0x0025, 42, 39, 0),  // 41
    MQ_ROW(0x0015, 43, 40, 0),  // 42
    MQ_ROW(0x0009, 44, 41, 0),  // 43
    MQ_ROW(0x0005, 45, 42, 0),  // 44
    MQ_ROW(0x0001, 45, 43, 0),  // 45
    MQ_ROW(0x5601, 46, 46, 0),  // 46
};

#undef MQ_ROW

namespace {

// The next input byte, -1 at the end of the data.
inline int mqdec_nextbyte(mqdec_t* dec)
{
    if (dec->bp)
        return dec->bp < dec->bend ? *dec->bp++ : -1;
    return dec->in ? stream_getc(dec->in) : -1;
}

// T.800 BYTEIN.  Past the end of the data the decoder reads 1 bits.  After a
// 0xFF, a byte of 0x90 or more is a marker: it feeds 1 bits once and is
// consumed.
void mqdec_bytein(mqdec_t* dec, mqregs_t& regs)
{
    if (dec->eof) {
        regs.c += 0xff00;
        regs.ct = 8;
        return;
    }
    int b = mqdec_nextbyte(dec);
    if (b < 0) {
        dec->eof = 1;
        b = 0xff;
    }
    if (dec->inbuffer == 0xff) {
        if (b < 0x90) {
            regs.c += static_cast<uint32_t>(b) << 9;
            regs.ct = 7;
        } else {
            regs.c += 0xff00;
            regs.ct = 8;
        }
    } else {
        regs.c += static_cast<uint32_t>(b) << 8;
        regs.ct = 8;
    }
    dec->inbuffer = b;
}

void mqdec_setdefault(mqdec_t* dec)
{
    for (int i = 0; i < dec->maxctxs; ++i)
        dec->ctxs[i] = &mqstates[0];
}

}  // namespace

mqdec_t* mqdec_create(int maxctxs, stream_t* in)
{
    FATAL_CHECK(maxctxs > 0);
    mqdec_t* dec = new (std::nothrow) mqdec_t;
    if (!dec)
        return nullptr;
    dec->ctxs = new (std::nothrow) const mqstate_t*[maxctxs];
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
    mqregs_t regs{0, 0, 0};
    dec->eof = 0;
    int b = mqdec_nextbyte(dec);
    if (b < 0) {
        dec->eof = 1;
        b = 0xff;
    }
    dec->inbuffer = b;
    regs.c = static_cast<uint32_t>(b) << 16;
    mqdec_bytein(dec, regs);
    regs.c <<= 7;
    regs.ct -= 7;
    regs.a = 0x8000;
    mqdec_setregs(dec, regs);
}

void mqdec_setctxs(mqdec_t* dec, int numctxs, const mqctx_t* ctxs)
{
    const int n = std::min(numctxs, dec->maxctxs);
    for (int i = 0; i < n; ++i) {
        FATAL_CHECK(ctxs[i].ind >= 0 && ctxs[i].ind < MQ_NUMSTATES / 2);
        dec->ctxs[i] = mq_state(ctxs[i].mps, ctxs[i].ind);
    }
    for (int i = std::max(n, 0); i < dec->maxctxs; ++i)
        dec->ctxs[i] = &mqstates[0];
}

void mqdec_setctx(mqdec_t* dec, int ctxno, const mqctx_t* ctx)
{
    FATAL_CHECK(ctxno >= 0 && ctxno < dec->maxctxs);
    FATAL_CHECK(ctx->ind >= 0 && ctx->ind < MQ_NUMSTATES / 2);
    dec->ctxs[ctxno] = mq_state(ctx->mps, ctx->ind);
}

// T.800 RENORMD, shifting as many bits at once as CT allows.
mqregs_t mqdec_renorm_slow(mqdec_t* dec, mqregs_t regs, int n)
{
    while (n > 0) {
        if (regs.ct == 0)
            mqdec_bytein(dec, regs);
        const int k = std::min(n, static_cast<int>(regs.ct));
        regs.a <<= k;
        regs.c <<= k;
        regs.ct -= k;
        n -= k;
    }
    return regs;
}

void mqdec_dump(const mqdec_t* dec, FILE* out)
{
    fprintf(out, "MQDEC A = %08lx, C = %08lx, CT=%08lx, ", static_cast<unsigned long>(dec->areg),
            static_cast<unsigned long>(dec->creg), static_cast<unsigned long>(dec->ctreg));
    fprintf(out, "CTX = %d, ", static_cast<int>(dec->curctx - dec->ctxs));
    const mqstate_t* state = *dec->curctx;
    fprintf(out, "IND %d, MPS %d, QEVAL %x\n", mq_stateno(state), state->mps, state->qeval);
}
