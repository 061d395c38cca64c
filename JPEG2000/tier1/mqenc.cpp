// MQ arithmetic encoder.
#include "tier1/mqenc.h"

#include <algorithm>
#include <new>

#include "base/fatal.h"

namespace {

inline void mqenc_putbyte(mqenc_t* enc, int c)
{
    if (stream_putc(enc->out, c) < 0) {
        enc->err = 1;
        return;
    }
    enc->lastbyte = c;
}

// Commits the held byte B.  Runs of alternating 0xFF, 0x7F bytes are held
// back: at the end of a codeword (finalbyte) a run that B continues is
// replaced by a single 0xFF, which the decoder reads as 1 bits.  Out of
// line: it is seldom needed, and in line it would cost every byte output
// registers to save.
__attribute__((noinline)) void mqenc_emit_slow(mqenc_t* enc)
{
    const int b = enc->outbuf;
    if (b < 0) {
        enc->outbuf = 0;
        return;
    }
    if ((b == 0xff && !(enc->runlen & 1)) || (b == 0x7f && (enc->runlen & 1))) {
        if (enc->finalbyte) {
            enc->runlen = 0;
            mqenc_putbyte(enc, 0xff);
        } else {
            ++enc->runlen;
        }
        return;
    }
    for (int i = 0; i < enc->runlen; ++i)
        mqenc_putbyte(enc, (i & 1) ? 0x7f : 0xff);
    enc->runlen = 0;
    mqenc_putbyte(enc, b);
}

// The common case in line: a byte that neither starts nor continues a run.
inline void mqenc_emit(mqenc_t* enc)
{
    const int b = enc->outbuf;
    if (static_cast<unsigned>(b) < 0xff && enc->runlen == 0)  // B held, not 0xFF, no run
        mqenc_putbyte(enc, b);
    else
        mqenc_emit_slow(enc);
}

// T.800 BYTEOUT with bit stuffing after 0xFF and carry propagation into B.
inline void mqenc_byteout(mqenc_t* enc, mqregs_t& regs)
{
    int b = enc->outbuf;
    if (b != 0xff && (regs.c & 0x8000000)) {
        // The carry reaches B.
        enc->outbuf = static_cast<int16_t>(++b);
        if (b == 0xff)
            regs.c &= 0x7ffffff;
    }
    mqenc_emit(enc);
    if (b == 0xff) {
        enc->outbuf = static_cast<int16_t>((regs.c >> 20) & 0xff);
        regs.c &= 0xfffff;
        regs.ct = 7;
    } else {
        enc->outbuf = static_cast<int16_t>((regs.c >> 19) & 0xff);
        regs.c &= 0x7ffff;
        regs.ct = 8;
    }
}

}  // namespace

mqenc_t* mqenc_create(int maxctxs, stream_t* out)
{
    FATAL_CHECK(maxctxs > 0);
    mqenc_t* enc = new (std::nothrow) mqenc_t;
    if (!enc)
        return nullptr;
    enc->ctxs = new (std::nothrow) mqslot_t[maxctxs];
    if (!enc->ctxs) {
        delete enc;
        return nullptr;
    }
    enc->maxctxs = maxctxs;
    enc->curctx = &enc->ctxs[0];
    enc->out = out;
    for (int i = 0; i < maxctxs; ++i)
        enc->ctxs[i] = mq_slot(&mqstates[0]);
    mqenc_init(enc);
    return enc;
}

void mqenc_destroy(mqenc_t* enc)
{
    if (!enc)
        return;
    delete[] enc->ctxs;
    delete enc;
}

void mqenc_init(mqenc_t* enc)
{
    enc->areg = 0x8000;
    enc->creg = 0;
    enc->ctreg = 12;
    enc->outbuf = -1;
    enc->runlen = 0;
    enc->finalbyte = 0;
    enc->lastbyte = -1;
    enc->err = 0;
}

void mqenc_setctxs(mqenc_t* enc, int numctxs, const mqctx_t* ctxs)
{
    const int n = std::min(numctxs, enc->maxctxs);
    for (int i = 0; i < n; ++i) {
        FATAL_CHECK(ctxs[i].ind >= 0 && ctxs[i].ind < MQ_NUMSTATES / 2);
        enc->ctxs[i] = mq_slot(mq_state(ctxs[i].mps, ctxs[i].ind));
    }
    for (int i = std::max(n, 0); i < enc->maxctxs; ++i)
        enc->ctxs[i] = mq_slot(&mqstates[0]);
}

// T.800 RENORME from the point where CT runs out (n >= CT), for C: as many
// shifts as CT allows before each byte output.
uint64_t mqenc_renorm_slow(mqenc_t* enc, uint32_t c, int32_t ct, int n)
{
    mqregs_t regs{0, c, ct};
    do {
        regs.c <<= regs.ct;
        n -= regs.ct;
        mqenc_byteout(enc, regs);
    } while (n >= regs.ct);
    regs.c <<= n;
    regs.ct -= n;
    return uint64_t{static_cast<uint32_t>(regs.ct)} << 32 | regs.c;
}

int mqenc_flush(mqenc_t* enc)
{
    mqregs_t regs = mqenc_getregs(enc);
    // SETBITS: as many 1 bits as the interval allows.
    const uint32_t top = regs.c + regs.a;
    regs.c |= 0xffff;
    if (regs.c >= top)
        regs.c -= 0x8000;
    regs.c <<= regs.ct;
    mqenc_byteout(enc, regs);
    regs.c <<= regs.ct;
    mqenc_byteout(enc, regs);
    enc->finalbyte = 1;
    mqenc_emit(enc);
    // Close with the marker 0xFF 0xAC, from which the decoder reads 1 bits:
    // SETBITS leaves bits of C below the bytes written that must read as 1.
    // A codeword that ends with a collapsed run has its 0xFF already.
    if (enc->lastbyte != 0xff)
        mqenc_putbyte(enc, 0xff);
    mqenc_putbyte(enc, 0xac);
    mqenc_setregs(enc, regs);
    return enc->err ? -1 : 0;
}

void mqenc_getstate(const mqenc_t* enc, mqencstate_t* state)
{
    state->areg = enc->areg;
    state->creg = enc->creg;
    state->ctreg = enc->ctreg;
    state->lastbyte = enc->lastbyte;
    state->runlen = enc->runlen;
    state->outbuf = enc->outbuf;
}

int64_t mqenc_trunclen(const mqencstate_t* state, int64_t written, const unsigned char* code,
                       int64_t size)
{
    const int64_t bound = std::min<int64_t>(written + state->runlen + 4 +
                                                (state->lastbyte == 0xff ? 1 : 0) +
                                                (state->ctreg < 5 ? 1 : 0),
                                            size);
    // B sits after the pending run; later coding can only have carried
    // into it, and the run went out as it was.
    const int64_t q = written + state->runlen;
    if (state->outbuf < 0 || q >= bound || state->ctreg < 1 || state->ctreg > 12)
        return bound;
    for (int i = 0; i < state->runlen; ++i)
        if (code[written + i] != ((i & 1) ? 0x7f : 0xff))
            return bound;
    if (code[q] != state->outbuf && code[q] != state->outbuf + 1)
        return bound;
    // Values in units of 2^-24 of C's lowest bit.  The bit of C at 27 - CT
    // is the lowest of B; each byte after it lies 8 bits lower, 7 after
    // 0xFF (its top bit, a carry, has the weight of the 0xFF's lowest).
    // The interval at this point is [B C, B C + A).  The decoder reads the
    // bytes kept and then 1 bits from just below the last one (after 0xFF
    // too, where a kept byte would have overlapped): what it sees lies
    // between the prefix and the prefix plus the last byte's unit, which
    // must both fall in the interval.
    constexpr int S = 24;
    int w = 27 - state->ctreg;
    const int64_t low = ((int64_t(state->outbuf) << w) + int64_t(uint32_t(state->creg))) << S;
    const int64_t top = low + (int64_t(uint32_t(state->areg)) << S);
    int64_t prefix = 0;
    for (int64_t j = q; j < bound; ++j) {
        if (w + S < 0)
            break;
        prefix += int64_t(code[j]) << (w + S);
        if (prefix >= low && prefix + (int64_t(1) << (w + S)) <= top)
            return j + 1;
        w -= code[j] == 0xff ? 7 : 8;
    }
    return bound;
}

void mqenc_dump(const mqenc_t* enc, FILE* out)
{
    fprintf(out, "AREG = %08x, CREG = %08x, CTREG = %d\n", static_cast<unsigned>(enc->areg),
            static_cast<unsigned>(enc->creg), static_cast<int>(enc->ctreg));
    const mqslot_t slot = *enc->curctx;
    fprintf(out, "IND = %02d, MPS = %d, QEVAL = %04x\n", static_cast<int>(slot & 0xff),
            static_cast<int>(slot & 1), static_cast<unsigned>(slot >> 16));
}
